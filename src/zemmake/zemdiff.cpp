// zemmake: a patch from an original image and a modified one.
#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <system_error>
#include <thread>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include "cdscan.hpp"
#include "cdsector.hpp"
#include "tool.hpp"
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

bool readdiz(const char *path, long &len)
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

bool writecheck(PatchOut &out, const disc::Image &img)
{
    unsigned char check[zem::imagesizelen + zem::checkblocklen] = {};
    zem::putle32(check, int32_t(img.size));
    // Where the original ends before the block does, the block holds zeros.
    int failed = -1;
    if (disc::readimage(img, check + zem::imagesizelen, zem::checkblocklen, zem::imageblockpos, &failed) < 0)
        return readfailed(img, failed, errno);
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

// A mask of where 64 bytes of a and b differ: bit k for byte k. With SSE2
// (every x86-64 has it) that takes four compares.
static inline uint64_t diffmask(const unsigned char *a, const unsigned char *b)
{
#ifdef __SSE2__
    uint64_t same = 0;
    for (int k = 0; k < 4; k++) {
        __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i *>(a) + k);
        __m128i y = _mm_loadu_si128(reinterpret_cast<const __m128i *>(b) + k);
        same |= uint64_t(unsigned(_mm_movemask_epi8(_mm_cmpeq_epi8(x, y)))) << (16 * k);
    }
    return ~same;
#else
    uint64_t m = 0;
    for (int k = 0; k < 64; k++) m |= uint64_t(a[k] != b[k]) << k;
    return m;
#endif
}

// Finds the runs of bytes where a and b differ among their first n bytes,
// from from on, and puts them in runs (start and end, in pairs), up to most
// runs; returns how many. Sets from to where to go on: n, or the end of the
// last run put when that filled runs.
static long findruns(const unsigned char *a, const unsigned char *b, long n, long &from,
                     int32_t *runs, long most)
{
    long nruns = 0;
    long start = -1;   // of the run being found
    long i = from;
    while (i < n) {
        // A mask of the chunk of up to 64 bytes at i, bit k for byte i + k.
        const long len = std::min<long>(64, n - i);
        uint64_t m = 0;
        if (len == 64) {
            m = diffmask(a + i, b + i);
        } else {
            for (long k = 0; k < len; k++) m |= uint64_t(a[i + k] != b[i + k]) << k;
        }
        const uint64_t inchunk = len == 64 ? ~uint64_t(0) : (uint64_t(1) << len) - 1;

        /* The ends of runs within it */
        for (long k = 0; k < len;) {
            uint64_t look = (start < 0 ? m : ~m & inchunk) & (~uint64_t(0) << k);
            if (look == 0) break;
            k = __builtin_ctzll(look);
            if (start < 0) {
                start = i + k;
                continue;
            }
            runs[2 * nruns] = int32_t(start);
            runs[2 * nruns + 1] = int32_t(i + k);
            start = -1;
            if (++nruns == most) {
                from = i + k;
                return nruns;
            }
        }
        i += len;
    }
    if (start >= 0) {
        runs[2 * nruns] = int32_t(start);
        runs[2 * nruns + 1] = int32_t(n);
        nruns++;
    }
    from = n;
    return nruns;
}

// Blocks of both images: two threads read and compare them, each every
// other block, while the main thread plans and writes the records in turn.
// The images' bytes stay with the thread that read them; the planner gets
// the runs of changed bytes and copies only those bytes. A thread that has to wait
// sleeps until half the slots are ready for it, so that the threads wake
// each other every other block rather than for every block.
struct Slot {
    unsigned char orig[compareblock], mod[compareblock];
    int32_t runs[2 * slotruns];         // where they differ: start and end, in pairs
    long nruns;
    long rest;                          // where runs that did not fit begin, or n
    long n;                             // bytes of the modified image
    int err;                            // 0, the errno of a failed read, or -1: a file became shorter
    const disc::Image *errimage;        // the image whose read failed,
    int errfile;                        // in this file of it (-1: the last)
    bool ready;                         // compared, not yet planned
    bool raw;                           // of a run of raw sectors (cdscan's sector map),
    int64_t firstsector;                // and the number of its first sector
    /* Changed data sectors whose codes are wrong in the modified image (and
       with -e, right in mod now) */
    long codeswrong;
    int64_t codesfirst[namedsectors];
};
constexpr long comparers = 2;
static int32_t moreruns[2 * slotruns];
constexpr long slotbatch = compareslots / 2;
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

// The blocks compared: each run of the sector map (of the modified image when
// it is a cue sheet, else of the original) in blocks of whole sectors of its
// own size, compareblock bytes for raw sectors, so that no sector lies across
// two blocks and an audio or cooked track is never taken for raw sectors.
// A single file is one run: blocks of compareblock bytes from 0 on.
static cd::SectorMap sectormap;
static long runblock[disc::maxtracks + 1];   // the first block of each run; the last: nblocks
static long runstep[disc::maxtracks];        // bytes of each of its blocks, the last one shorter

static long layblocks(const disc::Image &layout, int64_t modlen)
{
    cd::mapsectors(layout, modlen, sectormap);
    long n = 0;
    for (int r = 0; r < sectormap.nruns; r++) {
        const cd::SectorRun &run = sectormap.runs[r];
        runblock[r] = n;
        runstep[r] = compareblock / run.size * run.size;
        n += long((run.end - run.pos + runstep[r] - 1) / runstep[r]);
    }
    runblock[sectormap.nruns] = n;
    return n;
}

// Block k: where it starts, its length and its run.
static int blockat(long k, int64_t &pos, long &len)
{
    int r = 0;
    while (runblock[r + 1] <= k) r++;
    const cd::SectorRun &run = sectormap.runs[r];
    pos = run.pos + int64_t(k - runblock[r]) * runstep[r];
    len = long(std::min<int64_t>(runstep[r], run.end - pos));
    return r;
}

// The two images being compared.
struct Inputs {
    const disc::Image *orig;
    int64_t origlen;
    const disc::Image *mod;
    int64_t modlen;
    bool fixcodes;
};

// Judges the codes of sector i of the slot's block, one that differs from
// the original: a data sector whose EDC was computed (not zero in the
// original, or in the modified image where the original lacks the sector)
// and whose EDC, P or Q is wrong is noted, and with fixcodes given right
// codes. Returns whether it was given them.
static bool judgesector(Slot &sl, long i, int64_t pos, const Inputs &in)
{
    const long off = i * zem::sectorlen;
    if (off + zem::sectorlen > sl.n) return false;   // the modified image's last bytes
    unsigned char *mod = sl.mod + off;
    cd::Kind kind = cd::kindof(mod);
    if (kind == cd::Kind::none) return false;
    const bool inorig = pos + off + zem::sectorlen <= in.origlen;
    if (cd::storededc(inorig ? sl.orig + off : mod, kind) == 0) return false;
    bool wrong;
    if (in.fixcodes) {
        // Writing the codes and comparing costs one computation of them, not two.
        constexpr long from = 2064;   // the codes of every kind lie past it
        unsigned char old[zem::sectorlen - from];
        memcpy(old, mod + from, sizeof old);
        cd::writecodes(mod, kind);
        wrong = memcmp(old, mod + from, sizeof old) != 0;
    } else {
        wrong = !cd::checkcodes(mod).right();
    }
    if (!wrong) return false;
    if (sl.codeswrong < namedsectors) sl.codesfirst[sl.codeswrong] = sl.firstsector + i;
    sl.codeswrong++;
    return in.fixcodes;
}

// Judges the codes of the sectors of the slot's block that the runs found
// touch, and of those past the runs that did not fit that differ. When codes
// were written, finds the runs again.
static void judgecodes(Slot &sl, int64_t pos, const Inputs &in)
{
    sl.codeswrong = 0;
    long last = -1;   // the last sector judged
    bool fixed = false;
    for (long r = 0; r < sl.nruns; r++) {
        for (long i = std::max(last + 1, long(sl.runs[2 * r] / zem::sectorlen));
             i <= (sl.runs[2 * r + 1] - 1) / zem::sectorlen; i++)
            fixed |= judgesector(sl, i, pos, in);
        last = std::max(last, long((sl.runs[2 * r + 1] - 1) / zem::sectorlen));
    }
    for (long i = std::max(last + 1, sl.rest / zem::sectorlen); i * zem::sectorlen < sl.n; i++) {
        long off = i * zem::sectorlen, len = std::min(zem::sectorlen, sl.n - off);
        if (memcmp(sl.orig + off, sl.mod + off, size_t(len)) != 0) fixed |= judgesector(sl, i, pos, in);
    }
    if (fixed) {
        sl.rest = 0;
        sl.nruns = findruns(sl.orig, sl.mod, sl.n, sl.rest, sl.runs, slotruns);
    }
}

// Reads block k of both images into its slot and finds the runs; a failed
// read is noted in the slot.
static void readblock(long k, const Inputs &in)
{
    Slot &sl = slots[k % compareslots];
    int64_t pos;
    const cd::SectorRun &run = sectormap.runs[blockat(k, pos, sl.n)];
    sl.raw = run.kind == cd::Run::raw;
    sl.firstsector = run.first + (pos - run.pos) / run.size;
    sl.codeswrong = 0;
    long orign = in.origlen <= pos ? 0 : long(std::min<int64_t>(in.origlen - pos, sl.n));
    errno = 0;
    sl.err = 0;
    sl.errfile = -1;
    sl.errimage = in.mod;
    if (disc::readimage(*in.mod, sl.mod, sl.n, pos, &sl.errfile) != sl.n) {
        sl.err = errno ? errno : -1;
    } else if (disc::readimage(*in.orig, sl.orig, orign, pos, &sl.errfile) != orign) {
        sl.err = errno ? errno : -1;
        sl.errimage = in.orig;
    }
    memset(sl.orig + orign, 0, size_t(sl.n - orign));
    sl.rest = 0;
    sl.nruns = findruns(sl.orig, sl.mod, sl.n, sl.rest, sl.runs, slotruns);
    if (sl.err == 0 && sl.raw) judgecodes(sl, pos, in);
}

// One of the comparing threads: compares every comparers-th block from
// first on, as the slots come free.
static void compareblocks(long first, Inputs in)
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
        readblock(k, in);
        Slot &sl = slots[k % compareslots];
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
// turn; without comparing threads (solo) it compares them first. Past the
// original's end the modified image was compared with zeros, since Mavrin
// fills a gap with zeros; only its very last byte must be written to give
// the image its size.
static bool planblocks(const Inputs &in, bool solo, Summary &sum)
{
    const int64_t origlen = in.origlen, modlen = in.modlen;
    int64_t changed = 0;   // differing bytes within the original
    unsigned char last = 0;
    for (long k = 0; k < nblocks; k++) {
        Slot &sl = slots[k % compareslots];
        if (solo) {
            readblock(k, in);
        } else {
            std::unique_lock<std::mutex> hold(slotlock);
            if (!sl.ready)
                slotsready.wait(hold, [k, &sl] {
                    long ahead = readyahead();
                    return ahead >= std::min(slotbatch, nblocks - k) || (sl.ready && sl.err != 0);
                });
        }
        if (sl.err != 0) return readfailed(*sl.errimage, sl.errfile, sl.err > 0 ? sl.err : 0);
        int64_t pos;
        long blocklen;
        blockat(k, pos, blocklen);
        tool::progress("comparing the images", k, nblocks);
        planblock(planner, sl.mod, pos, sl.n);
        // Runs that did not fit in the slot, the planner finds itself.
        const int32_t *runs = sl.runs;
        long nruns = sl.nruns;
        for (long rest = sl.rest;;) {
            for (long r = 0; r < nruns; r++) {
                const long start = runs[2 * r], end = runs[2 * r + 1];
                if (!planrun(planner, pos + start, end - start)) return false;
                changed += std::max<int64_t>(0, std::min<int64_t>(pos + end, origlen) - (pos + start));
            }
            if (rest == sl.n) break;
            nruns = findruns(sl.orig, sl.mod, sl.n, rest, moreruns, slotruns);
            runs = moreruns;
        }
        last = sl.mod[sl.n - 1];
        for (long i = 0; i < sl.codeswrong && i < namedsectors; i++)
            if (sum.codeswrong + i < namedsectors) sum.codesfirst[sum.codeswrong + i] = sl.codesfirst[i];
        sum.codeswrong += sl.codeswrong;
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

// Compares the two images on two threads and plans the records on this
// one; where the threads cannot be started, this one compares too.
static bool compareimages(const disc::Image &orig, const disc::Image &mod, bool fixcodes, Summary &sum)
{
    const Inputs in = {&orig, orig.size, &mod, mod.size, fixcodes};
    const int64_t modlen = mod.size;
    // Both images are read front to back: a larger read-ahead from the disk.
    for (const disc::Image *img : {&orig, &mod})
        for (int i = 0; i < img->nfiles; i++) posix_fadvise(img->files[i].fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    nblocks = layblocks(mod.cue ? mod : orig, modlen);
    blocksplanned = 0;
    stopreading = false;
    for (Slot &sl : slots) sl.ready = false;
    std::thread comparing[comparers];
    bool solo = false;
    try {
        for (long t = 0; t < comparers; t++) comparing[t] = std::thread(compareblocks, t, in);
    } catch (const std::system_error &) {
        solo = true;
    }
    if (solo) {
        /* The threads started so far stop; no block was planned yet */
        {
            std::lock_guard<std::mutex> hold(slotlock);
            stopreading = true;
        }
        slotsfree.notify_all();
        for (std::thread &t : comparing)
            if (t.joinable()) t.join();
    }
    bool ok = planblocks(in, solo, sum);
    {
        std::lock_guard<std::mutex> hold(slotlock);
        stopreading = true;
    }
    slotsfree.notify_all();
    for (std::thread &t : comparing)
        if (t.joinable()) t.join();
    return ok;
}

// Writes the header, the records and, when asked for, the trailer.
static bool makebody(const MakeArgs &args, const disc::Image &orig, const disc::Image &mod,
                     long dizlen, PatchOut &out, Summary &sum)
{
    int method = args.v1 ? zem::methodv1 : zem::methodv2;
    if (!outheader(out, method, args.desc)) return false;
    if (!args.v1 && !writecheck(out, orig)) return false;

    planinit(planner, out, nullptr);
    if (!compareimages(orig, mod, args.fixcodes, sum)) return false;

    if (args.v1) return true;
    return endv2(args, out, dizlen);
}

bool endv2(const MakeArgs &args, PatchOut &out, long dizlen)
{
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

// Whether two cue sheets' track files can be patched as one image: the
// same number of them, of the same sizes, but for the last one, which may
// grow. A record across two files, or a file that moved, would not land
// where it belongs in the track files; says why not when they cannot.
static bool samelayout(const disc::Image &orig, const char *origpath, const disc::Image &mod,
                       const char *modpath)
{
    const char *why = "a patch of the whole images could not keep the track files apart";
    if (orig.nfiles != mod.nfiles)
        return fail("%s lists %d track files, %s %d; %s", origpath, orig.nfiles, modpath, mod.nfiles, why);
    for (int i = 0; i + 1 < orig.nfiles; i++) {
        if (orig.files[i].size == mod.files[i].size) continue;
        return fail("track file %d is %lld bytes in %s (%s) but %lld in %s (%s): only the last "
                    "track file may change its size, else %s",
                    i + 1, (long long)orig.files[i].size, origpath, orig.files[i].path,
                    (long long)mod.files[i].size, modpath, mod.files[i].path, why);
    }
    return true;
}

bool makepatch(const MakeArgs &args, const char *origpath, const char *modpath,
               const char *target, PatchOut &out, Summary &sum)
{
    /* Inputs: static, for an Image is large */
    static disc::Image orig, mod;
    long dizlen = 0;
    if (args.dizpath && !readdiz(args.dizpath, dizlen)) return false;
    if (!openimagein(origpath, orig, target)) return false;
    if (!openimagein(modpath, mod, target)) {
        disc::closeimage(orig);
        return false;
    }
    bool ok = !orig.cue || !mod.cue || samelayout(orig, origpath, mod, modpath);
    if (ok && mod.size < orig.size)
        ok = fail("%s (%lld bytes) is shorter than %s (%lld bytes); a ZEM patch cannot "
                  "shorten an image",
                  modpath, (long long)mod.size, origpath, (long long)orig.size);

    /* The patch */
    if (ok) ok = outopen(out, target);
    if (ok) {
        ok = makebody(args, orig, mod, dizlen, out, sum) && outclose(out);
        if (!ok) outabort(out);
    }
    disc::closeimage(orig);
    disc::closeimage(mod);
    return ok;
}
