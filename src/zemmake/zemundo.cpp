// zemmake: an undo patch, holding the image bytes that a patch will overwrite.
//
// Every undo record carries the image's bytes as they are before the patch,
// so where the patch's records overlap, all undo records for a byte put back
// the same value and their order does not matter. The patch is read once,
// front to back; memory stays fixed whatever its size.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "zemmake.hpp"
#include "zemreader.hpp"

static Planner planner;

static unsigned char zemspace[256 * 1024];   // the record reader's buffer

// Identifies the patch and finds its records area, as every program does.
static bool findarea(int zemfd, int64_t zemlen, const char *zempath, zem::kind &kind,
                     zem::Area &area)
{
    unsigned char head[zem::methodpos + 1] = {};
    long got = readat(zemfd, head, sizeof head, 0);
    if (got < 0) return fail("reading %s failed: %s", zempath, strerror(errno));
    kind = zem::identify(head, got);
    if (kind == zem::notzem) return fail("%s is not a ZEM patch", zempath);
    if (kind == zem::unknownmethod)
        return fail("%s uses encoding method %d, which zemmake does not know", zempath,
                    head[zem::methodpos]);

    unsigned char tail[zem::diztagfromend] = {};
    zem::Trailer trailer = {false, 0};
    if (kind == zem::version2 && zemlen >= zem::diztagfromend) {
        if (readat(zemfd, tail, sizeof tail, zemlen - zem::diztagfromend) < 0)
            return fail("reading %s failed: %s", zempath, strerror(errno));
        trailer = zem::findtrailer(tail, zemlen);
    }
    area = zem::recordsarea(kind, trailer, zemlen);
    if (area.damage != zem::flawnone)
        return fail("%s is damaged: %s", zempath, zem::describe(area.damage));
    return true;
}

// Warns when the image is not the one a version 2.0 patch was made for.
static void checkimage(int zemfd, int imagefd, int64_t imagelen, const char *imagepath,
                       const char *zempath)
{
    unsigned char stored[zem::imagesizelen + zem::checkblocklen] = {};
    unsigned char block[zem::checkblocklen] = {};
    readat(zemfd, stored, sizeof stored, zem::imagesizepos);
    readat(imagefd, block, sizeof block, zem::imageblockpos);
    if (zem::getle32(stored) != imagelen ||
        memcmp(stored + zem::imagesizelen, block, sizeof block) != 0)
        fprintf(stderr,
                "zemmake: warning: %s is not the image %s was made for (size or validation "
                "block differ); the undo patch restores the image as it is now\n",
                imagepath, zempath);
}

// Counts in covered the image bytes in [lo, hi) that the records write,
// each once however many records write it: a bit per byte, coverwindow
// bytes at a time, reading the records again for each window.
static bool countcovered(int zemfd, const zem::Area &area, int64_t lo, int64_t hi,
                         const char *zempath, int64_t &covered)
{
    static uint64_t bits[coverwindow / 64];
    covered = 0;
    for (int64_t base = lo; base < hi; base += coverwindow) {
        const int64_t top = std::min(base + coverwindow, hi);
        const size_t words = size_t((top - base + 63) / 64);
        memset(bits, 0, words * sizeof bits[0]);
        zem::RecordReader rd;
        zem::readrecords(rd, area, zemfd, zemspace, sizeof zemspace);
        for (zem::step s; (s = zem::nextrecord(rd)) != zem::stepend;) {
            if (s != zem::steprecord)   // it was whole a moment ago
                return fail("reading %s failed: %s", zempath,
                            s == zem::stepfailed ? strerror(errno) : "it changed");
            const int64_t from = std::max<int64_t>(rd.pos, base);
            const int64_t to = std::min<int64_t>(rd.pos + rd.len, top);
            for (int64_t p = from; p < to; p++) bits[(p - base) / 64] |= uint64_t(1) << ((p - base) % 64);
        }
        for (size_t w = 0; w < words; w++) covered += __builtin_popcountll(bits[w]);
    }
    return true;
}

// Reads the records, plans an undo record for each range they write.
// Ranges that touch or overlap the one before are joined first. Where no
// record starts before the range being joined, the joined ranges are
// disjoint and their lengths add up to the bytes restored; else those are
// counted again, exactly.
static bool walkrecords(int zemfd, const zem::Area &area, int64_t imagelen, const char *zempath,
                        Summary &sum)
{
    zem::RecordReader rd;
    zem::readrecords(rd, area, zemfd, zemspace, sizeof zemspace);
    int64_t pendstart = -1, pendend = -1;
    int64_t maxend = imagelen;
    int64_t lo = imagelen, hi = 0;   // where the ranges lie within the image
    bool ascending = true;
    for (;;) {
        zem::step s = zem::nextrecord(rd);
        if (s == zem::stepend) break;
        if (s == zem::stepfailed) return fail("reading %s failed: %s", zempath, strerror(errno));
        if (s == zem::stepdamaged)
            return fail("%s is damaged at patch offset %lld: %s", zempath, (long long)rd.recat,
                        zem::describe(rd.damage));
        if (rd.len == 0) continue;

        /* The image range it overwrites; bytes past the image's end have no old value */
        int64_t pos = rd.pos;
        int64_t end = pos + rd.len;
        if (end > maxend) maxend = end;
        if (end > imagelen) end = imagelen;
        if (pos >= end) continue;
        lo = std::min(lo, pos);
        hi = std::max(hi, end);
        if (pendstart >= 0 && pos >= pendstart && pos <= pendend) {
            if (end > pendend) pendend = end;
            continue;
        }
        if (pendstart >= 0 && pos < pendstart) ascending = false;
        if (pendstart >= 0 && !planrun(planner, pendstart, pendend - pendstart)) return false;
        sum.changed += pendstart >= 0 ? pendend - pendstart : 0;
        pendstart = pos;
        pendend = end;
    }
    if (pendstart >= 0) {
        if (!planrun(planner, pendstart, pendend - pendstart)) return false;
        sum.changed += pendend - pendstart;
    }
    sum.grows = maxend - imagelen;
    if (!ascending && !countcovered(zemfd, area, lo, hi, zempath, sum.changed)) return false;
    return planfinish(planner);
}

bool makeundo(const MakeArgs &args, const char *imagepath, const char *zempath,
              const char *target, PatchOut &out, Summary &sum)
{
    /* Inputs */
    int64_t imagelen = 0, zemlen = 0;
    int imagefd, zemfd;
    if (!openinputs(imagepath, imagefd, imagelen, zempath, zemfd, zemlen)) return false;
    zem::kind kind = zem::notzem;
    zem::Area area = {};
    bool ok = fitsoffsets(imagepath, imagelen);
    if (ok) ok = findarea(zemfd, zemlen, zempath, kind, area);
    if (ok && kind == zem::version2)
        checkimage(zemfd, imagefd, imagelen, imagepath, zempath);

    /* The undo patch: version 1.0, records only */
    if (ok) ok = outopen(out, target);
    if (ok) {
        planinit(planner, out, imagefd);
        ok = outheader(out, zem::methodv1, args.desc) &&
             walkrecords(zemfd, area, imagelen, zempath, sum);
        planend(planner);
        ok = ok && outclose(out);
        if (!ok) outabort(out);
    }
    close(zemfd);
    close(imagefd);
    return ok;
}
