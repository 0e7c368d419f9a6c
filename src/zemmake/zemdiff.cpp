// zemmake: a patch from an original image and a modified one.
#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>
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

// Bit i of the mask (byte i of the word as it lies in memory) is set when
// that byte of d is not zero: per byte, adding 0x7f to the low seven bits
// carries into the high bit unless they are all zero; the multiplication
// gathers the eight high bits into the top byte without carries.
static inline uint64_t nonzerobytes(uint64_t d)
{
    constexpr uint64_t lows = 0x7f7f7f7f7f7f7f7fu, highs = 0x8080808080808080u;
    uint64_t t = (((d & lows) + lows) | d) & highs;
    return (t >> 7) * 0x0102040810204080u >> 56;
}

// Sets bit i of bits (bit i % 64 of word i / 64) where a[i] and b[i] differ,
// for n bytes; the bits past n in the last word stay clear. Equal stretches
// go 64 bytes at a time.
static void diffbits(const unsigned char *a, const unsigned char *b, long n, uint64_t *bits)
{
    long w = 0;
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    for (; (w + 1) * 64 <= n; w++) {
        uint64_t x[8], y[8], any = 0;
        memcpy(x, a + w * 64, sizeof x);
        memcpy(y, b + w * 64, sizeof y);
        for (int k = 0; k < 8; k++) any |= x[k] ^ y[k];
        uint64_t m = 0;
        if (any != 0)
            for (int k = 0; k < 8; k++) m |= nonzerobytes(x[k] ^ y[k]) << (8 * k);
        bits[w] = m;
    }
#endif
    for (; w * 64 < n; w++) {
        uint64_t m = 0;
        for (long i = w * 64; i < std::min(n, (w + 1) * 64); i++)
            m |= uint64_t(a[i] != b[i]) << (i % 64);
        bits[w] = m;
    }
}

// The first bit at or after i (up to n) that is set, or with set false clear.
static long nextbit(const uint64_t *bits, long i, long n, bool set)
{
    long w = i / 64;
    uint64_t word = (set ? bits[w] : ~bits[w]) & (~uint64_t(0) << (i % 64));
    while (word == 0) {
        if (++w * 64 >= n) return n;
        word = set ? bits[w] : ~bits[w];
    }
    return std::min(n, w * 64 + __builtin_ctzll(word));
}

// Blocks of both images: two threads read and compare them, each every
// other block, while the main thread plans and writes the records in turn.
// The images' bytes stay with the thread that read them; the planner sees a
// bit per byte and copies only the changed ones. A thread that has to wait
// sleeps until a few slots are ready for it, so that the threads wake each
// other a few times per slots' worth of blocks, not for every block.
struct Slot {
    unsigned char orig[compareblock], mod[compareblock];
    uint64_t bits[compareblock / 64];   // where they differ
    long n;                             // bytes of the modified image
    int err;                            // 0, the errno of a failed read, or -1: a file became shorter
    bool ready;                         // compared, not yet planned
};
constexpr long comparers = 2;
constexpr long slotbatch = compareslots / 4;
static Slot slots[compareslots];
static std::mutex slotlock;
static std::condition_variable slotsfree, slotsready;
static long nblocks;
static long blocksplanned;   // blocks planned, in turn; their slots are free
static bool stopreading;     // the planner failed or ended

// Compared blocks ready from the next one to plan on, in turn.
static long readyahead()
{
    long k = blocksplanned;
    while (k < nblocks && k - blocksplanned < compareslots && slots[k % compareslots].ready) k++;
    return k - blocksplanned;
}

// One of the comparing threads: reads and compares every comparers-th block
// from first on, as the slots come free.
static void compareblocks(long first, int origfd, int64_t origlen, int modfd, int64_t modlen)
{
    for (long k = first; k < nblocks; k += comparers) {
        {
            std::unique_lock<std::mutex> hold(slotlock);
            if (k - blocksplanned >= compareslots)
                slotsfree.wait(hold, [k] {
                    return k - blocksplanned <= compareslots - slotbatch || stopreading;
                });
            if (stopreading) return;
        }
        Slot &sl = slots[k % compareslots];
        const int64_t pos = int64_t(k) * compareblock;
        sl.n = long(std::min<int64_t>(modlen - pos, compareblock));
        long orign = origlen <= pos ? 0 : long(std::min<int64_t>(origlen - pos, sl.n));
        errno = 0;
        sl.err = 0;
        if (readat(modfd, sl.mod, sl.n, pos) != sl.n ||
            readat(origfd, sl.orig, orign, pos) != orign)
            sl.err = errno ? errno : -1;
        memset(sl.orig + orign, 0, size_t(sl.n - orign));
        diffbits(sl.orig, sl.mod, sl.n, sl.bits);
        bool wake;
        {
            std::lock_guard<std::mutex> hold(slotlock);
            sl.ready = true;
            long ahead = readyahead();
            wake = ahead >= slotbatch || blocksplanned + ahead == nblocks || sl.err != 0;
        }
        if (wake) slotsready.notify_one();
        if (sl.err != 0) return;
    }
}

// Hands the planner the runs of changed bytes of each compared block in
// turn. Past the original's end the modified image was compared with zeros,
// since Mavrin fills a gap with zeros; only its very last byte must be
// written to give the image its size.
static bool planblocks(int64_t origlen, int64_t modlen, Summary &sum)
{
    int64_t changed = 0;   // differing bytes within the original
    unsigned char last = 0;
    for (long k = 0; k < nblocks; k++) {
        Slot &sl = slots[k % compareslots];
        {
            std::unique_lock<std::mutex> hold(slotlock);
            if (!sl.ready)
                slotsready.wait(hold, [k, &sl] {
                    long ahead = readyahead();
                    return ahead >= std::min(slotbatch, nblocks - k) || (sl.ready && sl.err != 0);
                });
        }
        if (sl.err != 0)
            return fail("reading the images failed: %s",
                        sl.err > 0 ? strerror(sl.err) : "a file became shorter");
        const int64_t pos = int64_t(k) * compareblock;
        planblock(planner, sl.mod, pos, sl.n);
        for (long i = nextbit(sl.bits, 0, sl.n, true); i < sl.n; i = nextbit(sl.bits, i, sl.n, true)) {
            long end = nextbit(sl.bits, i, sl.n, false);
            if (!planrun(planner, pos + i, end - i)) return false;
            changed += std::max<int64_t>(0, std::min<int64_t>(pos + end, origlen) - (pos + i));
            i = end;
        }
        last = sl.mod[sl.n - 1];
        planblock(planner, nullptr, 0, 0);   // the slot is about to be read into again
        bool wake;
        {
            std::lock_guard<std::mutex> hold(slotlock);
            sl.ready = false;
            blocksplanned = k + 1;
            wake = blocksplanned % slotbatch == 0;
        }
        if (wake) slotsfree.notify_all();
    }
    if (modlen > origlen && last == 0) {
        planblock(planner, &last, modlen - 1, 1);
        if (!planrun(planner, modlen - 1, 1)) return false;
    }
    sum.grows = modlen - origlen;
    sum.changed = changed;
    return planfinish(planner);
}

// Compares the two images on two threads and plans the records on this one.
static bool compareimages(int origfd, int64_t origlen, int modfd, int64_t modlen, Summary &sum)
{
    // Both images are read front to back: a larger read-ahead from the disk.
    posix_fadvise(origfd, 0, 0, POSIX_FADV_SEQUENTIAL);
    posix_fadvise(modfd, 0, 0, POSIX_FADV_SEQUENTIAL);
    nblocks = long((modlen + compareblock - 1) / compareblock);
    blocksplanned = 0;
    stopreading = false;
    for (Slot &sl : slots) sl.ready = false;
    std::thread comparing[comparers];
    for (long t = 0; t < comparers; t++)
        comparing[t] = std::thread(compareblocks, t, origfd, origlen, modfd, modlen);
    bool ok = planblocks(origlen, modlen, sum);
    {
        std::lock_guard<std::mutex> hold(slotlock);
        stopreading = true;
    }
    slotsfree.notify_all();
    for (std::thread &t : comparing) t.join();
    return ok;
}

// Writes the header, the records and, when asked for, the trailer.
static bool makebody(const MakeArgs &args, int origfd, int64_t origlen, int modfd,
                     int64_t modlen, long dizlen, PatchOut &out, Summary &sum)
{
    int method = args.v1 ? zem::methodv1 : zem::methodv2;
    if (!outheader(out, method, args.desc)) return false;
    if (!args.v1 && !writecheck(out, origfd, origlen)) return false;

    planinit(planner, out, -1);
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
