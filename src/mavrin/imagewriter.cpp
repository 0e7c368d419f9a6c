// The image writer: puts records into the image by the cheapest way each
// stretch of it allows, and the two write passes that feed it.
//
// A write per record costs a system call each, so the writer holds up to
// spanlen bytes of the image in rs.span and sends them with one pwrite:
// - where many records lie close together, it reads their stretch of the
//   image first, copies them in and writes the stretch back (a few large
//   reads instead of a synchronous read of every page a record touches,
//   when the image is not in the page cache), or writes the records straight
//   into a shared mapping of the image there: which of the two costs less
//   differs from machine to machine (a page fault costs 0.2 us on one and
//   5 us on another, see bench/README.md), so each stretch is timed and the
//   cheaper way, as measured in this run, is taken;
// - elsewhere it gathers records that join one another (a run of adjacent
//   records covers whole pages and needs no read) and writes each run.
// Records out of file order are first sorted by span, a batch at a time.
// Where the image has holes, a stretch read first is written back only where
// records changed it, so that the image takes no more blocks of the disk
// than writing the records one by one would; such a stretch is never mapped.
// The image may be a cue sheet's track files: every read and write goes
// through the image layer, and what is asked of a file (its holes, its page
// cache, a mapping) is asked of the file that holds each part of a stretch.
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include "runstate.hpp"

namespace {

// A stretch is read first when it holds at least rmwleast records, no more
// than rmwbytes of image apart on average (one page a record: reading it
// costs less than a write per record, and dirties few pages no record
// touches), and no gap wider than gapmax lies between them.
constexpr long rmwleast = 8;
constexpr long rmwbytes = 4096;
constexpr long gapmax = 16 * 1024;
// Patch bytes the planner looks at ahead of the record it places.
constexpr long lookahead = 128 * 1024;
// A sorted batch keeps each record's place as a 32-bit distance from the
// batch's first record. Empty records take no place in a batch but lengthen
// it, so a batch also ends at an empty record past keyroom: the records of
// data that may follow (no more than batchmax) keep the distances below 4 GiB.
constexpr int64_t keyroom = int64_t(UINT32_MAX) - batchmax * (zem::recheadlen + zem::recmaxdata);

// Writes len bytes at the image's pos, into the files that hold them.
bool writeat(RunState &rs, const unsigned char *data, long len, int64_t pos)
{
    return disc::writeimage(rs.image, data, len, pos);
}

// Reads up to len bytes at the image's pos: the count read, short only at
// its end, or -1.
long readat(const RunState &rs, unsigned char *data, long len, int64_t pos)
{
    return long(disc::readimage(rs.image, data, len, pos));
}

// Calls each(fd, at, n) for the part of the image's bytes [lo, hi) in each
// file that holds some, the last file taking what lies past the end, until
// each returns false.
template <class Each> void eachpart(const RunState &rs, int64_t lo, int64_t hi, Each each)
{
    const disc::Image &img = rs.image;
    for (int i = disc::fileat(img, lo); lo < hi && i < img.nfiles; i++) {
        const disc::ImageFile &f = img.files[i];
        int64_t end = i == img.nfiles - 1 ? hi : std::min(hi, f.first + f.size);
        if (end > lo && !each(f.fd, lo - f.first, end - lo)) return;
        lo = std::max(lo, end);
    }
}

// Notes that the image's bytes [pos, end) were written: they may lengthen
// it, and a write that starts where the image has no holes leaves none.
void wrote(RunState &rs, int64_t pos, int64_t end)
{
    if (end > rs.binsize) rs.binsize = end;
    if (pos <= rs.densesize && end > rs.densesize) rs.densesize = end;
}

// Whether the image has a hole in [lo, hi), or ends before hi. Asks the file
// system only where the image is not known to have none.
bool holein(const RunState &rs, int64_t lo, int64_t hi)
{
    if (hi <= rs.densesize) return false;
    if (hi > rs.binsize) return true;
    bool hole = false;
    eachpart(rs, lo, hi, [&hole](int fd, int64_t at, int64_t n) {
        off_t h = lseek(fd, off_t(at), SEEK_HOLE);
        hole = h < 0 || int64_t(h) < at + n;   // when it cannot say, as if there were one
        return !hole;
    });
    return hole;
}

// Writes the units of the span (1 << unitshift bytes, aligned in the image)
// whose bytes differ from what the image holds, a run of them at a time: a
// unit that no record changed is not written, so no block is taken that the
// records do not need. Past the image's end it holds zeros, as a gap there
// reads; the unit where the span ends is written all the same, so that the
// image grows to where the last record ends.
bool writechanged(RunState &rs)
{
    int64_t end = rs.spanpos + rs.spanfill;
    long have = readat(rs, rs.spanwas, rs.spanfill, rs.spanpos);
    if (have < 0) return false;
    std::memset(rs.spanwas + have, 0, size_t(rs.spanfill - have));
    int64_t from = -1;   // start of the changed units before lo, when there are some
    for (int64_t lo = rs.spanpos;;) {
        int64_t hi = ((lo >> unitshift) + 1) << unitshift;
        if (hi > end) hi = end;
        long at = long(lo - rs.spanpos);
        bool changed = lo < end && (std::memcmp(rs.span + at, rs.spanwas + at, size_t(hi - lo)) != 0 ||
                                    (hi == end && end > rs.binsize));
        if (changed && from < 0) from = lo;
        if (!changed && from >= 0) {
            if (!writeat(rs, rs.span + (from - rs.spanpos), long(lo - from), from)) return false;
            rs.nwrites++;
            wrote(rs, from, lo);
            from = -1;
        }
        if (lo == end) return true;
        lo = hi;
    }
}

// After a write of a span read first failed for space: gives back the
// blocks within it that are to hold only zeros, which the failed write may
// have taken where the image had holes (a hole reads as zeros, so the image
// reads as it should). The image is not what its size in blocks said: from
// now on the writer asks where its holes are.
void giveback(RunState &rs)
{
    int64_t end = rs.spanpos + rs.spanfill;
    int64_t from = -1;   // start of the zero blocks before b, when there are some
    for (int64_t b = (rs.spanpos + rs.blocksize - 1) / rs.blocksize * rs.blocksize;; b += rs.blocksize) {
        bool whole = b + rs.blocksize <= end;
        const unsigned char *at = whole ? rs.span + (b - rs.spanpos) : nullptr;
        bool zero = whole && at[0] == 0 && std::memcmp(at, at + 1, size_t(rs.blocksize - 1)) == 0;
        if (zero && from < 0) from = b;
        if (!zero && from >= 0) {
            eachpart(rs, from, b, [](int fd, int64_t off, int64_t n) {
                int mode = FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE;
                (void)fallocate(fd, mode, off_t(off), off_t(n));   // where it cannot, no matter
                return true;
            });
            from = -1;
        }
        if (!whole) break;
    }
    rs.densesize = 0;
}

// Reads len bytes at pos; false when the image holds fewer.
bool readall(const RunState &rs, unsigned char *data, long len, int64_t pos)
{
    return readat(rs, data, len, pos) == len;
}

// The first stretches read first take the two ways in turn, each way's
// figure the least of them (the first reads of a cold disk, or of a file
// just opened, cost more than what follows); then each goes the way of the
// lower figure, and every 32nd the other, so that a change (the image coming
// into the page cache, another program's load) is seen, at a small cost
// where the ways differ much.
constexpr int64_t trystretches = 16, retryevery = 32;

double clocknow()
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

// Writes what the span holds and empties it. A span read first over a hole
// is written only where records changed it; one whose write fails for space
// is written so too, for its records may still fit one by one. A stretch
// written through the mapping is in the image already. What a stretch read
// first cost a record, from its start to here, is added to the figure of its
// way (a record costs its fault or its share of the copies either way).
bool flushspan(RunState &rs)
{
    if (rs.spanfill == 0) return true;
    if (rs.spanmapped) {
    } else if (rs.spanloaded && rs.spansparse) {
        if (!writechanged(rs)) return false;
    } else if (writeat(rs, rs.span, rs.spanfill, rs.spanpos)) {
        rs.nwrites++;
        wrote(rs, rs.spanpos, rs.spanpos + rs.spanfill);
    } else {
        if (!rs.spanloaded || (errno != ENOSPC && errno != EDQUOT)) return false;
        giveback(rs);
        if (!writechanged(rs)) return false;
    }
    if (rs.spanloaded) {
        double cost = (clocknow() - rs.spanstarted) / double(rs.spanrecs > 0 ? rs.spanrecs : 1);
        double &was = rs.spanmapped ? rs.costmap : rs.costread;
        // Later, a stretch may wait for another program's turn on the
        // processor (or the move of the mapping): one such counts at most
        // four times the figure, which a lasting change still soon raises.
        if (was == 0 || (rs.nstretches <= trystretches && cost < was))
            was = cost;
        else if (rs.nstretches > trystretches)
            was = 0.5 * was + 0.5 * std::min(cost, 4 * was);
    }
    rs.spanfill = 0;
    rs.spanloaded = false;
    rs.spanmapped = false;
    return true;
}

// The mapping moves in steps of mapstep and holds mapwindow bytes of one
// file, so that a stretch of up to spanlen bytes lies within it.
constexpr int64_t mapstep = 4 << 20, mapwindow = 8 << 20;

void unmapimage(RunState &rs)
{
    if (rs.imgmap) munmap(rs.imgmap, size_t(rs.imgmaplen));
    rs.imgmap = nullptr;
}

// Whether the image's bytes [lo, hi) can be written through the mapping,
// moved there when they lie outside it: they must lie within one file, as
// large as it was when the write pass began, and over no hole, whatever the
// file's size in blocks says (a write fault that needs a block the disk
// does not have cannot be written one record at a time instead), and below
// the file size limit, which a write through a mapping would not meet.
bool mapstretch(RunState &rs, int64_t lo, int64_t hi)
{
    const disc::Image &img = rs.image;
    const disc::ImageFile &f = img.files[disc::fileat(img, lo)];
    if (hi > f.first + f.size) return false;   // across files, or past the end
    if (hi - f.first > rs.maplimit) return false;
    off_t h = lseek(f.fd, off_t(lo - f.first), SEEK_HOLE);
    if (h < 0 || int64_t(h) < hi - f.first) return false;
    if (rs.imgmap && lo >= rs.imgmapat && hi <= rs.imgmapat + rs.imgmaplen) return true;
    unmapimage(rs);
    int64_t at = (lo - f.first) / mapstep * mapstep;
    int64_t len = std::min(mapwindow, f.size - at);
    void *p = mmap(nullptr, size_t(len), PROT_READ | PROT_WRITE, MAP_SHARED, f.fd, off_t(at));
    if (p == MAP_FAILED) return false;
    rs.imgmap = static_cast<unsigned char *>(p);
    rs.imgmapat = f.first + at;
    rs.imgmaplen = len;
    return true;
}

// Whether the next stretch read first goes through the mapping. Where the
// image is not in the page cache, never: reads that carry on from one
// another are the sequential stream the kernel reads ahead of, and faults
// taken between them break it (measured: the two ways in turn took a cold
// image twice as long as either alone).
bool choosemap(const RunState &rs)
{
    if (rs.writeway != 0) return rs.writeway == 2;
    if (rs.imagecold) return false;
    if (rs.nstretches < trystretches || rs.costread == 0 || rs.costmap == 0) return rs.nstretches % 2 == 1;
    return (rs.costmap < rs.costread) != (rs.nstretches % retryevery == 0);
}

// Starts the stretch [lo, hi) read first, either way: it is timed from here.
void beginstretch(RunState &rs, int64_t lo, int64_t hi)
{
    rs.spanstarted = clocknow();
    rs.nstretches++;
    rs.readend = hi;
    rs.spanrecs = 0;
    rs.spanpos = lo;
    rs.spanfill = long(hi - lo);
    rs.spanloaded = true;
}

// Makes the empty span the image's bytes [lo, hi) through the mapping;
// false, with nothing done, where they cannot be mapped.
bool mapspan(RunState &rs, int64_t lo, int64_t hi)
{
    if (!mapstretch(rs, lo, hi)) return false;
    beginstretch(rs, lo, hi);
    rs.nmapped++;
    rs.spanmapped = true;
    rs.spansparse = false;
    if (rs.stretchmapped) rs.stretchmapped(rs);
    return true;
}

// Fills the empty span with the image's bytes [lo, hi), at most spanlen of
// them; past the image's end they are zeros, as a gap left by a record past
// the end reads. Fails when the image holds less than it did (another
// program cut it short) or cannot be read.
bool readspan(RunState &rs, int64_t lo, int64_t hi)
{
    long len = long(hi - lo);
    long have = rs.binsize > lo ? long(rs.binsize - lo < len ? rs.binsize - lo : len) : 0;
    double started = clocknow();
    if (!readall(rs, rs.span, have, lo)) return false;
    std::memset(rs.span + have, 0, size_t(len - have));
    rs.nloads++;
    beginstretch(rs, lo, hi);
    rs.spanstarted = started;
    rs.spansparse = holein(rs, lo, hi);
    return true;
}

// Whether a record of len bytes at pos can go into the span as it stands:
// within the bytes read, or, for gathered records, starting within or right
// behind them and within the buffer.
bool fits(const RunState &rs, int64_t pos, long len)
{
    if (rs.spanloaded) return pos >= rs.spanpos && pos + len <= rs.spanpos + rs.spanfill;
    return rs.spanfill > 0 && pos >= rs.spanpos && pos <= rs.spanpos + rs.spanfill &&
           pos + len <= rs.spanpos + spanlen;
}

// Copies a record into the span; it fits, or the span is empty. A later
// record's bytes land over an earlier one's, as in file order.
void copyin(RunState &rs, int64_t pos, const unsigned char *data, long len)
{
    if (rs.spanfill == 0 && !rs.spanloaded) rs.spanpos = pos;
    long at = long(pos - rs.spanpos);
    unsigned char *to = rs.spanmapped ? rs.imgmap + (rs.spanpos - rs.imgmapat) : rs.span;
    std::memcpy(to + at, data, size_t(len));
    rs.spanrecs++;
    if (at + len > rs.spanfill) rs.spanfill = at + len;
}

// Whether a record at pos joins the gathered bytes (and does not fit only
// because the buffer is full).
bool joins(const RunState &rs, int64_t pos)
{
    return !rs.spanloaded && rs.spanfill > 0 && pos >= rs.spanpos && pos <= rs.spanpos + rs.spanfill;
}

// Makes room for a record at pos that joins the gathered bytes: sends off
// the whole blocks before it and keeps the rest in front of the buffer. A
// block written in part is read first when it is not in the page cache, so a
// long run goes out in whole blocks, its end block written with what follows.
bool sendblocks(RunState &rs, int64_t pos)
{
    int64_t end = rs.spanpos + rs.spanfill;
    int64_t cut = (pos < end ? pos : end) / rs.blocksize * rs.blocksize;
    if (cut <= rs.spanpos) return true;
    long sent = long(cut - rs.spanpos);
    if (!writeat(rs, rs.span, sent, rs.spanpos)) return false;
    rs.nwrites++;
    wrote(rs, rs.spanpos, cut);
    std::memmove(rs.span, rs.span + sent, size_t(rs.spanfill - sent));
    rs.spanpos = cut;
    rs.spanfill -= sent;
    return true;
}

// Whether the image's bytes at pos are not in the page cache: a read that
// must not wait for the disk finds nothing there. Past the end, nothing is
// read, so they count as cached.
bool cold(const RunState &rs, int64_t pos)
{
    if (pos >= rs.binsize) return false;
    const disc::ImageFile &f = rs.image.files[disc::fileat(rs.image, pos)];
    unsigned char byte;
    struct iovec v = {&byte, 1};
    return preadv2(f.fd, &v, 1, off_t(pos - f.first), RWF_NOWAIT) < 0 && errno == EAGAIN;
}

// Asks the kernel to start reading the image's bytes [lo, hi) that writing
// them will need: all of a stretch that will be read first; of a run of
// joined records (joined), only its partial end blocks.
void advise(const RunState &rs, int64_t lo, int64_t len)
{
    eachpart(rs, lo, lo + len, [](int fd, int64_t at, int64_t n) {
        (void)posix_fadvise(fd, off_t(at), off_t(n), POSIX_FADV_WILLNEED);
        return true;
    });
}

void hint(const RunState &rs, int64_t lo, int64_t hi, bool joined)
{
    if (lo >= rs.binsize) return;
    if (hi > rs.binsize) hi = rs.binsize;
    if (!joined) {
        advise(rs, lo, hi - lo);
        return;
    }
    bool headpart = lo % rs.blocksize != 0, tailpart = hi % rs.blocksize != 0;
    if (headpart) advise(rs, lo, 1);
    if (tailpart && (!headpart || (hi - 1) / rs.blocksize != lo / rs.blocksize))
        advise(rs, hi - 1, 1);
}

// When the image is not in the page cache, hints at the blocks that the
// record at pos and those the reader has at hand behind it will need, so
// that the disk reads them while the writer works, instead of one at a time
// as each write waits for its block. Records close together count as a
// stretch, as planrecord takes them. A stretch that will be read first and
// starts right behind the one read before it (the records in image order,
// close together) gets no hint: its reads carry on from the last, so the
// kernel's own read-ahead reads it, in large reads as far ahead as the disk
// is set to, where hints would cut that stream into requests of a stretch.
void prefetchahead(RunState &rs, int64_t pos, long len)
{
    zem::RecordReader ahead;
    zem::peekrecords(rs.reader, ahead);
    rs.prefetchto = ahead.fileat;
    rs.imagecold = cold(rs, pos);
    if (!rs.imagecold) return;
    int64_t lo = pos, hi = pos + len, follow = rs.readend;
    long n = 1;
    bool joined = true;
    auto group = [&] {
        bool read = !joined && n >= rmwleast && hi - lo <= n * rmwbytes;
        if (read && lo >= follow && lo - follow <= gapmax) {
            follow = hi;
            return;
        }
        if (read) follow = hi;
        hint(rs, lo, hi, joined);
    };
    while (zem::nextrecord(ahead) == zem::steprecord) {
        if (ahead.len == 0) continue;
        int64_t at = ahead.pos, end = at + ahead.len;
        if (at >= lo && at <= hi + gapmax && end <= lo + spanlen) {
            if (at > hi) joined = false;
            if (end > hi) hi = end;
            n++;
            continue;
        }
        group();
        lo = at;
        hi = end;
        n = 1;
        joined = true;
    }
    group();
}

// Places a record that does not fit the span: sends the span off, then
// looks at the records that follow in the patch. When enough of them lie
// close behind this one, their stretch is read in; otherwise the record
// starts a new run of gathered records.
bool planrecord(RunState &rs, int64_t pos, long len)
{
    if (!flushspan(rs)) return false;
    if (pos >= rs.binsize) return true;   // past the end: nothing to read
    (void)zem::fillahead(rs.reader, lookahead);   // a failure is met by nextrecord
    if (rs.reader.recat >= rs.prefetchto) prefetchahead(rs, pos, len);
    zem::RecordReader ahead;
    zem::peekrecords(rs.reader, ahead);
    int64_t hi = pos + len;
    long n = 1;
    bool joined = true;   // every record so far joins the ones before: gather them
    // A stretch to be mapped need not be known to its end: no byte of it is
    // read or written but the records', so once its first records show it
    // dense enough, it reaches as far as a span can, within the file.
    bool map = choosemap(rs), early = false;
    while (zem::nextrecord(ahead) == zem::steprecord) {
        if (ahead.len == 0) continue;
        int64_t at = ahead.pos, end = at + ahead.len;
        if (at < pos || end > pos + spanlen || at > hi + gapmax) break;
        if (at > hi) joined = false;
        if (end > hi) hi = end;
        if (++n >= rmwleast && joined) break;
        if (map && n >= rmwleast && hi - pos <= n * rmwbytes) {
            early = true;
            break;
        }
    }
    if (!early && (joined || n < rmwleast || hi - pos > n * rmwbytes)) return true;
    if (map) {
        const disc::ImageFile &f = rs.image.files[disc::fileat(rs.image, pos)];
        int64_t reach = std::min(std::min(pos + spanlen, f.first + f.size), rs.binsize);
        if (mapspan(rs, pos, early && reach > hi ? reach : hi)) return true;
    }
    return readspan(rs, pos, hi);
}

// The run whose mapped patch or image a fault may come from.
RunState *busrun;

// A read of the mapped patch or a write to the mapped image that faults (the
// file was cut short by another program, its disk failed or is full) ends
// the write pass where it set busjump, as a failed write; any other fault
// ends the process as it would have.
void onbus(int, siginfo_t *si, void *)
{
    const unsigned char *at = static_cast<const unsigned char *>(si->si_addr);
    if (busrun && ((at >= busrun->zemmap && at < busrun->zemmap + busrun->zemmaplen) ||
                   (at >= busrun->imgmap && at < busrun->imgmap + busrun->imgmaplen)))
        siglongjmp(busrun->busjump, 1);
    struct sigaction dfl = {};
    dfl.sa_handler = SIG_DFL;
    sigaction(SIGBUS, &dfl, nullptr);   // the fault comes again and ends the process
}

void guardbus(RunState &rs)
{
    struct sigaction sa = {};
    sa.sa_sigaction = onbus;
    sa.sa_flags = SA_SIGINFO;
    sigemptyset(&sa.sa_mask);
    busrun = &rs;
    sigaction(SIGBUS, &sa, &rs.oldbus);
}

void unguardbus(RunState &rs)
{
    sigaction(SIGBUS, &rs.oldbus, nullptr);
    busrun = nullptr;
}

// What the record a piece comes from is known by: its patch offset and head.
// A batch sums it over the pieces it sorts, and over those it then fetches
// by their keys, in another order; the sums must agree.
uint64_t placehash(const zem::RecordReader &r)
{
    uint64_t head = uint64_t(uint32_t(r.pos)) << 8 | uint64_t(r.len);
    return (uint64_t(r.recat) * 0x9e3779b97f4a7c15u ^ head) * 0xbf58476d1ce4e5b9u;
}

// Counts the pieces of the next records (each record, cut at span edges)
// per span, with the stretch they cover, until batchmax pieces, an empty
// record past keyroom from batchat, or the end. Returns the records read, or
// -1 when the patch is not what the check pass read.
int64_t countbatch(RunState &rs, int64_t batchat)
{
    std::memset(rs.spancount, 0, sizeof rs.spancount);
    long pieces = 0;
    int64_t n = 0;
    while (pieces <= batchmax - 2) {
        zem::step s = zem::nextrecord(rs.reader);
        if (s == zem::stepend) break;
        if (s != zem::steprecord) return -1;
        n++;
        if (rs.reader.len == 0 && nextat(rs.reader) - batchat > keyroom) break;
        int64_t pos = rs.reader.pos, end = pos + rs.reader.len;
        for (int64_t k = pos >> spanshift; pos < end && k <= (end - 1) >> spanshift; k++) {
            int64_t lo = pos > k << spanshift ? pos : k << spanshift;
            int64_t hi = end < (k + 1) << spanshift ? end : (k + 1) << spanshift;
            if (rs.spancount[k]++ == 0 || lo < rs.spanlo[k]) rs.spanlo[k] = lo;
            if (rs.spancount[k] == 1 || hi > rs.spanhi[k]) rs.spanhi[k] = hi;
            pieces++;
        }
    }
    return n;
}

// Whether span k of a batch is dense enough with records to be read first.
bool readsfirst(const RunState &rs, long k)
{
    uint32_t n = rs.spancount[k] - rs.spanstart[k];
    return n >= uint32_t(rmwleast) && rs.spanhi[k] - rs.spanlo[k] <= int64_t(n) * rmwbytes &&
           rs.spanlo[k] < rs.binsize;
}

// The piece of the record whose key is key that lies in span k: false when
// the record is not what was counted (the patch changed since).
bool piece(zem::RecordReader &pick, long k, int64_t batchat, uint32_t key, int64_t &pos,
           int64_t &end, const unsigned char *&data)
{
    zem::seekrecord(pick, batchat + key);
    if (zem::nextrecord(pick) != zem::steprecord) return false;
    int64_t spanat = int64_t(k) << spanshift;
    pos = pick.pos;
    end = pos + pick.len;
    data = pick.data;
    if (pos < spanat) {
        data += spanat - pos;
        pos = spanat;
    }
    if (end > spanat + spanlen) end = spanat + spanlen;
    return pos < end;
}

// When the image is not in the page cache, hints at the blocks the batch's
// spans will need, all before the first write, so that the disk reads them
// in the order the writer takes them while it works.
void prefetchbatch(RunState &rs, const zem::RecordReader &mark, int64_t batchat)
{
    long k = 0;
    while (k < nspans && rs.spancount[k] == rs.spanstart[k]) k++;
    if (k == nspans) return;
    rs.imagecold = cold(rs, rs.spanlo[k]);
    if (!rs.imagecold) return;
    zem::RecordReader pick = mark;
    for (; k < nspans; k++) {
        if (rs.spancount[k] == rs.spanstart[k]) continue;
        if (readsfirst(rs, k)) {
            hint(rs, rs.spanlo[k], rs.spanhi[k], false);
            continue;
        }
        for (uint32_t i = rs.spanstart[k]; i < rs.spancount[k]; i++) {
            int64_t pos, end;
            const unsigned char *data;
            if (piece(pick, k, batchat, rs.batchkeys[i], pos, end, data)) hint(rs, pos, end, true);
        }
    }
}

// Writes the pieces of span k, each key the patch offset of its record from
// batchat, in file order, and adds what each is known by to seen. A span
// dense with records is read first.
bool writespan(RunState &rs, long k, const zem::RecordReader &mark, int64_t batchat, uint64_t &seen)
{
    if (!flushspan(rs)) return false;
    if (readsfirst(rs, k) && !(choosemap(rs) && mapspan(rs, rs.spanlo[k], rs.spanhi[k])) &&
        !readspan(rs, rs.spanlo[k], rs.spanhi[k]))
        return false;
    zem::RecordReader pick = mark;
    for (uint32_t i = rs.spanstart[k]; i < rs.spancount[k]; i++) {
        int64_t pos, end;
        const unsigned char *data;
        if (!piece(pick, k, batchat, rs.batchkeys[i], pos, end, data)) return false;
        seen += placehash(pick);
        if (!fits(rs, pos, long(end - pos)) && !flushspan(rs)) return false;
        copyin(rs, pos, data, long(end - pos));
    }
    return true;
}

// Sorts the next batch of records by span, then writes it span by span.
// Returns the records written, 0 at the end, -1 on a failure: the patch
// changed, or a piece fetched by its key was not the one sorted there.
int64_t writebatch(RunState &rs)
{
    zem::RecordReader mark = rs.reader;
    int64_t batchat = nextat(mark);
    int64_t n = countbatch(rs, batchat);
    if (n <= 0) return n;

    /* Where each span's pieces go: spancount becomes the next free slot */
    uint32_t total = 0;
    for (long k = 0; k < nspans; k++) {
        rs.spanstart[k] = total;
        total += rs.spancount[k];
        rs.spancount[k] = rs.spanstart[k];
    }

    /* The same records again, each piece into its span's slots */
    zem::RecordReader again = mark;
    uint64_t placed = 0, seen = 0;
    for (int64_t i = 0; i < n; i++) {
        if (zem::nextrecord(again) != zem::steprecord) return -1;
        int64_t pos = again.pos, end = pos + again.len;
        for (int64_t k = pos >> spanshift; pos < end && k <= (end - 1) >> spanshift; k++) {
            uint32_t limit = k + 1 < nspans ? rs.spanstart[k + 1] : total;
            if (rs.spancount[k] >= limit) return -1;
            rs.batchkeys[rs.spancount[k]++] = uint32_t(again.recat - batchat);
            placed += placehash(again);
        }
    }
    if (again.heads != rs.reader.heads) return -1;

    prefetchbatch(rs, mark, batchat);
    for (long k = 0; k < nspans; k++)
        if (rs.spancount[k] > rs.spanstart[k] && !writespan(rs, k, mark, batchat, seen)) return -1;
    if (seen != placed) return -1;
    rs.nbatches++;
    return n;
}

} // namespace

void noterecord(RunState &rs, int64_t pos, long len)
{
    if (rs.nfilled > 0 && (pos < rs.lastpos || pos > rs.lastend + gapmax)) rs.nfar++;
    rs.nfilled++;
    rs.lastpos = pos;
    rs.lastend = pos + len;
    int64_t k = pos >> spanshift;
    if (!(rs.spanused[k / 8] & 1 << (k % 8))) {
        rs.spanused[k / 8] |= (unsigned char)(1 << (k % 8));
        rs.nspansused++;
    }
}

// Sorting pays when the records are out of order (many of them do not carry
// on from the one before, so that in file order they would go one by one)
// and, sorted, they make stretches worth reading first: as many records as
// such a stretch needs for each span they write into, on average.
bool sortpays(const RunState &rs)
{
    return rs.nfar * 4 > rs.nfilled && rs.nfilled >= rmwleast * rs.nspansused;
}

bool startwriter(RunState &rs)
{
    disc::Image &img = rs.image;
    bool dense = true;
    for (int i = 0; i < img.nfiles; i++) {
        struct stat st;
        if (fstat(img.files[i].fd, &st) != 0) return false;
        if (!img.cue) {   // one file: its size now; a cue sheet's files keep their sizes
            int64_t size = S_ISBLK(st.st_mode) ? int64_t(lseek(img.files[i].fd, 0, SEEK_END)) : int64_t(st.st_size);
            if (size < 0) return false;
            img.size = img.files[i].size = size;
        }
        // Whole blocks of the file system; a power of two, 4 KiB when it says otherwise.
        if (i == 0) rs.blocksize = st.st_blksize;
        // A file whose blocks (st_blocks counts 512 bytes) hold all its bytes
        // has no holes; a block device has none.
        dense = dense && (S_ISBLK(st.st_mode) || int64_t(st.st_blocks) * 512 >= img.files[i].size);
    }
    rs.binsize = img.size;
    if (rs.blocksize < 512 || rs.blocksize > spanlen / 4 || (rs.blocksize & (rs.blocksize - 1)) != 0)
        rs.blocksize = 4096;
    rs.densesize = dense ? rs.binsize : 0;
    rs.prefetchto = 0;
    rs.readend = -1;
    rs.spanfill = 0;
    rs.spanloaded = false;
    rs.spanmapped = false;
    rs.imgmap = nullptr;
    rs.costread = rs.costmap = 0;
    rs.nstretches = rs.nmapped = 0;
    rs.imagecold = false;
    struct rlimit fsize;
    rs.maplimit = getrlimit(RLIMIT_FSIZE, &fsize) != 0 ? 0 :
                  fsize.rlim_cur == RLIM_INFINITY ? INT64_MAX : int64_t(fsize.rlim_cur);
    return true;
}

namespace {

// The write pass in file order, body of writeinorder.
passresult inorder(RunState &rs)
{
    zem::readrecords(rs.reader, rs.area, fileno(rs.zemfile), rs.zemchunk, sizeof rs.zemchunk);
    for (;;) {
        zem::step s = zem::nextrecord(rs.reader);
        if (s == zem::stepend) break;
        if (s != zem::steprecord) return passwritefailed;   // the patch changed under the run
        int64_t pos = rs.reader.pos;
        long len = rs.reader.len;
        if (len == 0) continue;
        if (!fits(rs, pos, len)) {
            if (joins(rs, pos) && !sendblocks(rs, pos)) return passwritefailed;
            if (!fits(rs, pos, len) && !planrecord(rs, pos, len)) return passwritefailed;
        }
        copyin(rs, pos, rs.reader.data, len);
    }
    return flushspan(rs) ? passdone : passwritefailed;
}

} // namespace

passresult writeinorder(RunState &rs)
{
    guardbus(rs);
    if (sigsetjmp(rs.busjump, 1) != 0) {
        unguardbus(rs);
        unmapimage(rs);
        return passwritefailed;
    }
    passresult result = inorder(rs);
    unguardbus(rs);
    unmapimage(rs);
    return result;
}

bool mappatch(RunState &rs)
{
    if (rs.zemlen <= 0) return false;
    void *p = mmap(nullptr, size_t(rs.zemlen), PROT_READ, MAP_SHARED, fileno(rs.zemfile), 0);
    if (p == MAP_FAILED) return false;
    rs.zemmap = static_cast<const unsigned char *>(p);
    rs.zemmaplen = rs.zemlen;
    return true;
}

void unmappatch(RunState &rs)
{
    if (rs.zemmap) munmap(const_cast<unsigned char *>(rs.zemmap), size_t(rs.zemmaplen));
    rs.zemmap = nullptr;
}

passresult writesorted(RunState &rs)
{
    zem::readrecords(rs.reader, rs.area, rs.zemmap + rs.area.first);
    guardbus(rs);
    if (sigsetjmp(rs.busjump, 1) != 0) {
        unguardbus(rs);
        unmapimage(rs);
        return passwritefailed;
    }
    int64_t n;
    while ((n = writebatch(rs)) > 0) {
    }
    bool flushed = n >= 0 && flushspan(rs);
    unguardbus(rs);
    unmapimage(rs);
    return flushed ? passdone : passwritefailed;
}
