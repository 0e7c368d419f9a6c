// zemmake: a patch from an original image and a modified one.
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "zemmake.hpp"

// Fixed markers in the trailer's bytes that Mavrin does not examine.
static const char dizheadmark[] = "zemmake FILE_ID:  ";
static const char diztailmark[] = "  :FILE_ID  ";
static const char dizpadding[] = "       ";   // the text bytes Mavrin never shows
static_assert(sizeof dizheadmark - 1 == zem::dizheadskip, "trailer head marker");
static_assert(sizeof diztailmark - 1 == zem::diztailskip, "trailer tail marker");
static_assert(sizeof dizpadding - 1 == zem::dizhidden, "trailer padding");

// The longest FILE_ID.DIZ text that Mavrin shows whole.
constexpr long dizfilemax = zem::diztextmax - zem::dizhidden;

static unsigned char origbuf[compareblock];
static unsigned char modbuf[compareblock];
static char diztext[dizfilemax + 1];
static Planner planner;

// Reads the FILE_ID.DIZ text file; sets its length.
static bool readdiz(const char *path, long &len)
{
    int64_t size = 0;
    int fd = openinput(path, size);
    if (fd < 0) return false;
    long got = readat(fd, reinterpret_cast<unsigned char *>(diztext), dizfilemax + 1, 0);
    int err = errno;
    close(fd);
    if (got < 0) return fail("reading %s failed: %s", path, strerror(err));
    if (got > dizfilemax)
        return fail("%s is too long for a FILE_ID.DIZ text: at most %ld bytes fit", path,
                    dizfilemax);
    const void *zero = memchr(diztext, 0, size_t(got));
    if (zero)
        return fail("%s holds a zero byte at offset %ld; Mavrin would stop showing the text "
                    "there",
                    path, long(static_cast<const char *>(zero) - diztext));
    len = got;
    return true;
}

// Writes the version 2.0 part of the header: image size and validation block.
static bool writecheck(PatchOut &out, int origfd, int64_t origlen)
{
    unsigned char check[zem::imagesizelen + zem::checkblocklen] = {};
    zem::putle32(check, int32_t(origlen));
    // Where the original ends before the block does, the block holds zeros.
    if (readat(origfd, check + zem::imagesizelen, zem::checkblocklen, zem::imageblockpos) < 0)
        return fail("reading the original failed: %s", strerror(errno));
    return outwrite(out, check, sizeof check);
}

// Writes the trailer that makes Mavrin show exactly the text read by readdiz.
static bool writediz(PatchOut &out, long textlen)
{
    unsigned char le[zem::dizlenlen];
    zem::putle32(le, int32_t(textlen + zem::dizhidden));
    return outwrite(out, dizheadmark, zem::dizheadskip) &&
           outwrite(out, diztext, size_t(textlen)) &&
           outwrite(out, dizpadding, zem::dizhidden) &&
           outwrite(out, diztailmark, zem::diztailskip) &&
           outwrite(out, zem::diztagtext, zem::diztaglen) && outwrite(out, le, sizeof le);
}

// Where bytes of a and b are equal from i on, and where they are not: the
// index of the first byte at or after i that differs (same == true) or that
// is equal (same == false), n at most. A word at a time: in w = a ^ b an
// equal byte is a zero byte, and the lowest bit of the zero-byte mask
// (w - 0x01..) & ~w & 0x80.. marks the first one exactly (a borrow only
// ever runs into higher bytes).
static long scanto(const unsigned char *a, const unsigned char *b, long i, long n, bool same)
{
    constexpr uint64_t ones = 0x0101010101010101u, highs = 0x8080808080808080u;
    constexpr long w = long(sizeof(uint64_t));
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    if (same) {
        /* Long equal stretches go four words at a time */
        for (; i + 4 * w <= n; i += 4 * w) {
            uint64_t x[4], y[4];
            memcpy(x, a + i, sizeof x);
            memcpy(y, b + i, sizeof y);
            if (((x[0] ^ y[0]) | (x[1] ^ y[1]) | (x[2] ^ y[2]) | (x[3] ^ y[3])) != 0) break;
        }
    }
    for (; i + w <= n; i += w) {
        uint64_t x, y;
        memcpy(&x, a + i, sizeof x);
        memcpy(&y, b + i, sizeof y);
        uint64_t d = x ^ y;
        uint64_t hit = same ? d : (d - ones) & ~d & highs;
        if (hit != 0) return i + __builtin_ctzll(hit) / 8;
    }
#endif
    while (i < n && (a[i] == b[i]) == same) i++;
    return i;
}

// Hands the planner every run of bytes where b differs from a, n bytes at base.
static bool comparerun(const unsigned char *a, const unsigned char *b, long n, int64_t base,
                       int64_t &changed)
{
    for (long i = scanto(a, b, 0, n, true); i < n; i = scanto(a, b, i, n, true)) {
        long start = i;
        i = scanto(a, b, i, n, false);
        if (!planrun(planner, base + start, i - start)) return false;
        changed += i - start;
    }
    return true;
}

// Compares the two images block by block. Past the original's end the
// modified image is compared with zeros, since Mavrin fills a gap with
// zeros; only its very last byte must be written to give the image its size.
static bool compareimages(int origfd, int64_t origlen, int modfd, int64_t modlen, Summary &sum)
{
    int64_t changed = 0;      // differing bytes within the original
    int64_t tailwritten = 0;  // non-zero bytes past it
    for (int64_t pos = 0; pos < modlen; pos += compareblock) {
        long n = long(modlen - pos < compareblock ? modlen - pos : compareblock);
        long orign = origlen <= pos ? 0 : long(origlen - pos < n ? origlen - pos : n);
        errno = 0;
        if (readat(modfd, modbuf, n, pos) != n || readat(origfd, origbuf, orign, pos) != orign)
            return fail("reading the images failed: %s",
                        errno ? strerror(errno) : "a file became shorter");
        memset(origbuf + orign, 0, size_t(n - orign));
        if (!comparerun(origbuf, modbuf, orign, pos, changed) ||
            !comparerun(origbuf + orign, modbuf + orign, n - orign, pos + orign, tailwritten))
            return false;
    }
    if (modlen > origlen && modbuf[(modlen - 1) % compareblock] == 0 &&
        !planrun(planner, modlen - 1, 1))
        return false;

    sum.grows = modlen - origlen;
    sum.changed = changed;
    return planfinish(planner);
}

// Writes the header, the records and, when asked for, the trailer.
static bool makebody(const MakeArgs &args, int origfd, int64_t origlen, int modfd,
                     int64_t modlen, long dizlen, PatchOut &out, Summary &sum)
{
    int method = args.v1 ? zem::methodv1 : zem::methodv2;
    if (!outheader(out, method, args.desc)) return false;
    if (!args.v1 && !writecheck(out, origfd, origlen)) return false;

    planinit(planner, out, modfd);
    if (!compareimages(origfd, origlen, modfd, modlen, sum)) return false;

    if (args.v1) return true;
    if (args.dizpath) return writediz(out, dizlen);
    // Mavrin looks for a trailer tag near the end of every version 2.0 patch:
    // should the records end in one by chance, an empty record hides it.
    if (!outflush(out)) return false;
    if (memcmp(out.tail, zem::diztagtext, zem::diztaglen) == 0) {
        static const unsigned char none[1] = {0};
        return outrecord(out, 0, none, 0);
    }
    return true;
}

bool makepatch(const MakeArgs &args, const char *origpath, const char *modpath,
               const char *target, PatchOut &out, Summary &sum)
{
    /* Inputs */
    long dizlen = 0;
    if (args.dizpath && !readdiz(args.dizpath, dizlen)) return false;
    int64_t origlen = 0, modlen = 0;
    int origfd, modfd;
    if (!openinputs(origpath, origfd, origlen, modpath, modfd, modlen)) return false;
    bool ok = fitsoffsets(origpath, origlen) && fitsoffsets(modpath, modlen);
    if (ok && modlen < origlen)
        ok = fail("%s (%lld bytes) is shorter than %s (%lld bytes); a ZEM patch cannot "
                  "shorten an image",
                  modpath, (long long)modlen, origpath, (long long)origlen);

    /* The patch */
    if (ok) ok = outopen(out, target);
    if (ok) {
        ok = makebody(args, origfd, origlen, modfd, modlen, dizlen, out, sum) &&
             outclose(out);
        if (!ok) outabort(out);
    }
    close(origfd);
    close(modfd);
    return ok;
}
