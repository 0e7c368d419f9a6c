// zemmake: an undo patch, holding the image bytes that a patch will overwrite.
//
// Every undo record carries the image's bytes as they are before the patch,
// so where the patch's records overlap, all undo records for a byte put back
// the same value and their order does not matter. The patch is read front to
// back: once when its records come in ascending order, as zemmake makes
// them; else again for every undobatch records, sorted (see sortedundo).
// Memory stays fixed whatever its size.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "applied.hpp"
#include "tool.hpp"
#include "zemmake.hpp"
#include "zemreader.hpp"

static Planner planner;

static unsigned char zemspace[256 * 1024];   // the record reader's buffer

bool findarea(int zemfd, int64_t zemlen, const char *zempath, zem::kind &kind, zem::Area &area)
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

// Judges, as zeminfo does, how much of the patch the image holds already.
// A patch that writes no byte (no records, or only empty ones) changes
// nothing on any image: its undo, which writes nothing either, is made with
// a warning, whatever the image. Else refuses an image that holds all of
// it, since the undo would restore nothing; warns when it holds part of it,
// which the undo cannot restore, or when it is not the image a version 2.0
// patch was made for.
static bool checkimage(int zemfd, int64_t zemlen, const disc::Image &img, const char *imagepath,
                       const char *zempath)
{
    AppliedFacts af;
    std::string error;
    if (!judgeapplied(zemfd, zemlen, zempath, img, af, error)) return fail("%s", error.c_str());
    tool::progressclear();
    if (af.writesnothing) {
        fprintf(stderr,
                "zemmake: warning: %s writes no byte, so it changes nothing: the undo patch "
                "changes nothing either\n",
                zempath);
        return true;
    }
    if (af.state == fullyapplied)
        return fail("%s already holds what %s writes: an undo made now would change nothing; make "
                    "it from the image before applying %s",
                    imagepath, zempath, zempath);
    if (af.state == partlyapplied)
        fprintf(stderr,
                "zemmake: warning: %s already holds part of what %s writes (%lld of %lld records, "
                "%lld of %lld bytes): the undo cannot restore what is already overwritten; only an "
                "undo made before applying %s can\n",
                imagepath, zempath, (long long)af.inplace, (long long)af.records, (long long)af.held,
                (long long)af.byteswritten, zempath);
    else if (!af.madefor)
        fprintf(stderr,
                "zemmake: warning: %s is not the image %s was made for (size or validation "
                "block differ); the undo patch restores the image as it is now\n",
                imagepath, zempath);
    return true;
}

// The ranges the undo restores, handed over by ascending start: joined while
// they touch or overlap, then planned and counted, so every restored byte is
// planned and counted once.
struct Joined {
    int64_t start = -1, end = -1;
    int64_t restored = 0;
};

static bool join(Joined &j, int64_t start, int64_t end)
{
    if (j.start >= 0 && start <= j.end) {
        j.end = std::max(j.end, end);
        return true;
    }
    if (j.start >= 0) {
        if (!planrun(planner, j.start, j.end - j.start)) return false;
        j.restored += j.end - j.start;
    }
    j.start = start;
    j.end = end;
    return true;
}

static bool joinfinish(Joined &j)
{
    if (j.start >= 0 && !join(j, INT64_MAX, INT64_MAX)) return false;
    j.start = -1;
    return true;
}

// Records by the span of the image they start in (records that restore
// something start below the image's end, below 2^31).
constexpr long undospans = long((int64_t(1) << 31) / undospan) + 1;
static uint32_t spanrecords[undospans];

// Reads the records, plans an undo record for each range they write, as long
// as the ranges come in ascending order of start; sets ascending to say
// whether they did. Counts the records that start in each span either way.
static bool walkrecords(int zemfd, const zem::Area &area, int64_t imagelen, const char *zempath,
                        Summary &sum, bool &ascending)
{
    zem::RecordReader rd;
    zem::readrecords(rd, area, zemfd, zemspace, sizeof zemspace);
    Joined j;
    int64_t maxend = imagelen;
    ascending = true;
    memset(spanrecords, 0, sizeof spanrecords);
    for (;;) {
        zem::step s = zem::nextrecord(rd);
        if (s == zem::stepend) break;
        if (rd.records % 4096 == 0)
            tool::progress("reading the patch", zem::nextat(rd) - area.first, area.len);
        if (s == zem::stepfailed) return fail("reading %s failed: %s", zempath, strerror(errno));
        if (s == zem::stepdamaged)
            return fail("%s is damaged at patch offset %lld: %s", zempath, (long long)rd.recat,
                        zem::describe(rd.damage));
        if (rd.len == 0) continue;

        /* The image range it overwrites; bytes past the image's end have no old value */
        const int64_t pos = rd.pos;
        const int64_t end = std::min<int64_t>(pos + rd.len, imagelen);
        maxend = std::max<int64_t>(maxend, pos + rd.len);
        if (pos >= end) continue;
        spanrecords[pos / undospan]++;
        if (pos < j.start) ascending = false;
        if (ascending && !join(j, pos, end)) return false;
    }
    sum.grows = maxend - imagelen;
    if (!ascending) return true;
    if (!joinfinish(j)) return false;
    sum.changed = j.restored;
    return planfinish(planner);
}

// Sets the bits of bytes [from, to) of a bitmap.
static void setbits(uint64_t *bits, int64_t from, int64_t to)
{
    for (int64_t p = from; p < to;) {
        const int shift = int(p % 64);
        const int64_t n = std::min<int64_t>(64 - shift, to - p);
        const uint64_t ones = n == 64 ? ~uint64_t(0) : ((uint64_t(1) << n) - 1) << shift;
        bits[p / 64] |= ones;
        p += n;
    }
}

// Plans the undo of a patch whose records are out of order. The image is
// taken span by span, front to back, as many spans at once as undobatch
// records allow: one more reading of the patch gathers their records'
// ranges, which are sorted by start. A span that alone has more records is
// marked byte by byte in a bitmap instead. Either way the ranges reach the
// planner in ascending order, and each restored byte is counted once.
static bool sortedundo(int zemfd, const zem::Area &area, int64_t imagelen, const char *zempath,
                       Summary &sum)
{
    static uint64_t keys[undobatch];   // start << 8 | length, by span: sorted by start
    static uint32_t spanat[undospans];   // where the next key of each span goes
    static uint64_t bits[(undospan + zem::recmaxdata) / 64 + 1];
    Joined j;
    const long nspans = long((imagelen + undospan - 1) / undospan);
    for (long first = 0; first < nspans;) {
        long last = first + 1;
        uint64_t want = spanrecords[first];
        const bool bitmap = want > uint64_t(undobatch);
        while (!bitmap && last < nspans && want + spanrecords[last] <= uint64_t(undobatch))
            want += spanrecords[last++];
        const int64_t lo = first * int64_t(undospan);
        const int64_t hi = std::min<int64_t>(last * int64_t(undospan), imagelen);
        first = last;
        tool::progress("sorting the records by image offset", lo, imagelen);
        if (want == 0) continue;

        if (bitmap) memset(bits, 0, sizeof bits);
        for (long sp = long(lo / undospan), at = 0; !bitmap && sp < last; sp++) {
            spanat[sp] = uint32_t(at);
            at += spanrecords[sp];
        }
        uint64_t got = 0;
        zem::RecordReader rd;
        zem::readrecords(rd, area, zemfd, zemspace, sizeof zemspace);
        for (zem::step s; (s = zem::nextrecord(rd)) != zem::stepend;) {
            if (s != zem::steprecord)   // it was whole a moment ago
                return fail("reading %s failed: %s", zempath,
                            s == zem::stepfailed ? strerror(errno) : "it changed");
            const int64_t pos = rd.pos;
            const int64_t end = std::min<int64_t>(pos + rd.len, imagelen);
            if (pos < lo || pos >= hi || pos >= end) continue;
            if (++got > want) break;
            if (bitmap) {
                setbits(bits, pos - lo, end - lo);
                continue;
            }
            uint32_t &at = spanat[pos / undospan];
            if (at >= want) return fail("reading %s failed: it changed", zempath);
            keys[at++] = uint64_t(pos) << 8 | uint64_t(end - pos);
        }
        if (got != want) return fail("reading %s failed: it changed", zempath);

        if (bitmap) {
            const int64_t n = std::min<int64_t>(undospan + zem::recmaxdata, imagelen - lo);
            for (int64_t p = 0; p < n;) {
                if (bits[p / 64] >> (p % 64) == 0) {   // nothing more in this word
                    p = (p / 64 + 1) * 64;
                    continue;
                }
                p += __builtin_ctzll(bits[p / 64] >> (p % 64));
                int64_t q = p + 1;
                while (q < n && (bits[q / 64] >> (q % 64) & 1)) q++;
                if (!join(j, lo + p, lo + q)) return false;
                p = q;
            }
        } else {
            // Each span's keys are already in place; sorting them apart
            // keeps every sort within the processor's cache.
            for (long sp = long(lo / undospan), at = 0; sp < last; sp++) {
                if (spanat[sp] != at + spanrecords[sp])   // a span got another's keys
                    return fail("reading %s failed: it changed", zempath);
                std::sort(keys + at, keys + spanat[sp]);
                at = spanat[sp];
            }
            for (uint64_t k = 0; k < want; k++) {
                const int64_t pos = int64_t(keys[k] >> 8);
                if (!join(j, pos, pos + int64_t(keys[k] & 0xff))) return false;
            }
        }
    }
    if (!joinfinish(j)) return false;
    sum.changed = j.restored;
    return planfinish(planner);
}

bool makeundo(const MakeArgs &args, const char *imagepath, const char *zempath,
              const char *target, PatchOut &out, Summary &sum)
{
    /* Inputs: the image static, for an Image is large */
    static disc::Image img;
    int64_t zemlen = 0;
    int zemfd = openinput(zempath, zemlen);
    if (zemfd < 0) return false;
    if (!openimagein(imagepath, img, target, zempath, "the patch")) {
        close(zemfd);
        return false;
    }
    const int64_t imagelen = img.size;
    zem::kind kind = zem::notzem;
    zem::Area area = {};
    bool ok = findarea(zemfd, zemlen, zempath, kind, area);
    if (ok) ok = checkimage(zemfd, zemlen, img, imagepath, zempath);
    // What the patch appends lands in the last file: the one to cut back.
    sum.lastfile = img.cue ? img.files[img.nfiles - 1].path : imagepath;
    sum.lastsize = img.files[img.nfiles - 1].size;

    /* The undo patch: version 1.0, records only */
    if (ok) ok = outopen(out, target);
    if (ok) {
        planinit(planner, out, &img);
        bool ascending = true;
        ok = outheader(out, zem::methodv1, args.desc) &&
             walkrecords(zemfd, area, imagelen, zempath, sum, ascending);
        if (ok && !ascending) {
            // What was planned while the records came in order is dropped:
            // the undo patch starts again from its records sorted.
            planend(planner);
            outabort(out);
            ok = outopen(out, target);
            if (ok) {
                planinit(planner, out, &img);
                ok = outheader(out, zem::methodv1, args.desc) &&
                     sortedundo(zemfd, area, imagelen, zempath, sum);
            }
        }
        planend(planner);
        ok = ok && outclose(out);
        if (!ok) outabort(out);
    }
    close(zemfd);
    disc::closeimage(img);
    return ok;
}
