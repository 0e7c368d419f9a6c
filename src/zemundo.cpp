// zemmake: an undo patch, holding the image bytes that a patch will overwrite.
//
// Every undo record carries the image's bytes as they are before the patch,
// so where the patch's records overlap, all undo records for a byte put back
// the same value and their order does not matter. The patch is read once,
// front to back; memory stays fixed whatever its size.
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "zemmake.hpp"

static Planner planner;

// The records area of a patch, found and checked the way Mavrin does.
struct Area {
    int method;
    int64_t first;   // patch offset of the first record
    int64_t len;
};

// Identifies the patch and finds its records area.
static bool findarea(int zemfd, int64_t zemlen, const char *zempath, Area &area)
{
    unsigned char head[zem::v1headerlen] = {};
    long got = readat(zemfd, head, sizeof head, 0);
    if (got < 0) return fail("reading %s failed: %s", zempath, strerror(errno));
    if (got < zem::magiclen || memcmp(head, zem::magictext, zem::magiclen) != 0)
        return fail("%s is not a ZEM patch", zempath);
    area.method = head[zem::methodpos];   // a file too short for it reads as version 1.0
    if (area.method != zem::methodv1 && area.method != zem::methodv2)
        return fail("%s uses encoding method %d, which zemmake does not know", zempath,
                    area.method);

    if (area.method == zem::methodv1) {
        area.first = zem::v1headerlen;
        area.len = zemlen - zem::v1headerlen;
    } else {
        area.first = zem::v2headerlen;
        area.len = zemlen - zem::v2headerlen;
        unsigned char end[zem::diztagfromend];
        if (zemlen >= zem::diztagfromend &&
            readat(zemfd, end, sizeof end, zemlen - zem::diztagfromend) == long(sizeof end) &&
            memcmp(end, zem::diztagtext, zem::diztaglen) == 0)
            area.len -= zem::dizfixedlen + int64_t(zem::getle32(end + zem::diztaglen));
    }
    if (area.len < 0 || area.first + area.len > zemlen)
        return fail("%s is damaged: too short for its header and trailer", zempath);
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

// Reads the records, plans an undo record for each range they write.
// Ranges that touch or overlap the one before are joined first.
static bool walkrecords(FILE *zem, const Area &area, int64_t imagelen, const char *zempath,
                        Summary &sum)
{
    if (fseeko(zem, area.first, SEEK_SET) != 0)
        return fail("reading %s failed: %s", zempath, strerror(errno));
    int64_t left = area.len;
    int64_t at = area.first;
    int64_t pendstart = -1, pendend = -1;
    int64_t maxend = imagelen;
    unsigned char rec[zem::recheadlen + zem::recmaxdata];
    while (left > 0) {
        /* One record, checked as Mavrin checks it */
        if (left < zem::recheadlen ||
            fread(rec, 1, zem::recheadlen, zem) != size_t(zem::recheadlen))
            return fail("%s is damaged: its records do not fill the records area exactly", zempath);
        int64_t pos = zem::getle32(rec);
        long anz = rec[zem::recposlen];
        if (pos < 0)
            return fail("%s is damaged: the record at patch offset %lld has a negative image "
                        "offset",
                        zempath, (long long)at);
        if (zem::recheadlen + anz > left ||
            fread(rec + zem::recheadlen, 1, size_t(anz), zem) != size_t(anz))
            return fail("%s is damaged: its records do not fill the records area exactly", zempath);
        left -= zem::recheadlen + anz;
        at += zem::recheadlen + anz;
        if (anz == 0) continue;

        /* The image range it overwrites; bytes past the image's end have no old value */
        int64_t end = pos + anz;
        if (end > maxend) maxend = end;
        if (end > imagelen) end = imagelen;
        if (pos >= end) continue;
        if (pendstart >= 0 && pos >= pendstart && pos <= pendend) {
            if (end > pendend) pendend = end;
            continue;
        }
        if (pendstart >= 0 && !planrun(planner, pendstart, pendend - pendstart)) return false;
        sum.changed += pendstart >= 0 ? pendend - pendstart : 0;
        pendstart = pos;
        pendend = end;
    }
    if (ferror(zem)) return fail("reading %s failed: %s", zempath, strerror(errno));
    if (pendstart >= 0) {
        if (!planrun(planner, pendstart, pendend - pendstart)) return false;
        sum.changed += pendend - pendstart;
    }
    sum.grows = maxend - imagelen;
    return planfinish(planner);
}

bool makeundo(const MakeArgs &args, const char *imagepath, const char *zempath,
              const char *target, PatchOut &out, Summary &sum)
{
    /* Inputs */
    int64_t imagelen = 0, zemlen = 0;
    int imagefd, zemfd;
    if (!openinputs(imagepath, imagefd, imagelen, zempath, zemfd, zemlen)) return false;
    FILE *zem = fdopen(zemfd, "rb");
    if (!zem) {
        close(zemfd);
        close(imagefd);
        return fail("%s: %s", zempath, strerror(errno));
    }
    Area area = {};
    bool ok = fitsoffsets(imagepath, imagelen);
    if (ok) ok = findarea(zemfd, zemlen, zempath, area);
    if (ok && area.method == zem::methodv2)
        checkimage(zemfd, imagefd, imagelen, imagepath, zempath);

    /* The undo patch: version 1.0, records only */
    if (ok) ok = outopen(out, target);
    if (ok) {
        planinit(planner, out, imagefd);
        ok = outheader(out, zem::methodv1, args.desc) &&
             walkrecords(zem, area, imagelen, zempath, sum) && outfinish(out, args.force);
        if (!ok) outabort(out);
    }
    fclose(zem);
    close(imagefd);
    return ok;
}
