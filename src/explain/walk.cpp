// The walk: the records, and what they do to an image.
//
// The records are laid, byte by byte, into a window of the image held in
// memory: the value each byte ends with (later records win) and whether it is
// written at all. A sector is judged once no record can reach it any more.
// Patches come in image order, or nearly so: then the window slides along
// with the records and one pass suffices. A record that lies before the
// window (a patch in random or descending order) sorts the walk by place:
// the first pass has counted the bytes that land in each window-sized
// stretch of the image, and each further pass over the patch copies the
// records of as many stretches as a batch holds into the batch, grouped by
// stretch and in patch order within each. The stretches are then walked one
// after the other, so that the image is read front to back in large blocks,
// once. A stretch that alone fills more than a batch takes a pass of its
// own. Memory is the same whatever the sizes: taken for the first walk and
// kept for the next; its pages are given back on request (zemmake -u does,
// before it makes its undo patch).
//
// The image is read in blocks, each once: a mapping of the image was
// measured up to five times slower than reading it, depending on how the
// page cache holds the file.
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <cstdlib>
#include <sys/mman.h>
#include <unistd.h>

#include "cdscan.hpp"
#include "cdsector.hpp"
#include "explain.hpp"
#include "tool.hpp"

namespace {

constexpr long sectorlen = zem::sectorlen;
// The window of a stretch of the image, and the shorter one that slides: it
// stays in the processor's cache, and records of a patch in image order
// arrive at most a few sectors apart.
// Both are powers of two in sectors, so that finding a byte's place takes no
// division by a number known only at run time.
constexpr long winsectors = 128;
constexpr int64_t winlen = winsectors * sectorlen;   // 294 KiB
constexpr long slidesectors = 64;

// Image blocks held at once: a stretch's worth and more, of which the sliding
// walk uses a few: what it reads then stays in the processor's cache, as
// does a stretch's window.
// Records sparser than one a block are read in small blocks: a large block
// would be read for the sake of one record.
constexpr int largeshift = 18, smallshift = 15;   // 256 KiB, 32 KiB
constexpr long blockspace = 4 << largeshift;      // 1 MiB
constexpr long slideblocks = 2;
static_assert(winlen + zem::recmaxdata + (1 << largeshift) <= blockspace, "a stretch fits");
static_assert(slidesectors * sectorlen + zem::recmaxdata + (1 << largeshift) <= slideblocks << largeshift,
              "a sliding window fits");
// Window-sized stretches of the image that records can reach.
constexpr int64_t nstretches = (zem::imagelimit + zem::recmaxdata) / winlen + 1;

// The batch of records sorted by stretch. Each piece of a record that lands
// in a stretch is kept there as a head of four bytes, then its bytes: the
// head holds where the piece starts in the stretch, whether it is the tail of
// a record that starts in the stretch before, and its length. A record that
// starts in a stretch is kept there whole, even where it runs on into the
// next: whether it holds its place is judged over all its bytes.
constexpr long batchlen = 8L << 20;
constexpr long pieceheadlen = 4;
constexpr uint32_t tailbit = uint32_t(1) << 31;
static_assert(winlen < int64_t(1) << 23, "a place in a stretch fits the head");

// What the walk works in, taken from the system for the walk alone.
struct Space {
    unsigned char val[winlen];    // byte at offset o lies at val[o % len]
    uint64_t bits[winlen / 64];   // which of them are written
    unsigned char touched[winsectors];
    unsigned char blockdata[blockspace];
    int64_t which[blockspace >> smallshift];   // the block a slot holds, or -1
    unsigned char zemspace[256 * 1024];        // the record reader's buffer
    int64_t stretchbytes[nstretches];          // batch bytes that land in each stretch
    int64_t stretchfill[nstretches];           // where the next piece goes in the batch
    int64_t stretchend[nstretches];            // and where the stretch's pieces end
    unsigned char batch[batchlen];
};
Space *ws;
// Given back when the program ends, so that no tool counts it as left over.
struct SpaceEnd {
    ~SpaceEnd() { std::free(ws); }
} spaceend;

struct Window {
    const Input *image;           // the image, or nullptr when there is none
    int64_t imagelen;             // 0 when there is none
    int64_t start;                // image offset of its first byte, a sector start
    int64_t len;                  // winlen or slidesectors sectors
    long sectors;                 // as many sectors
    unsigned char *val;           // ws->val, ws->bits, ws->touched
    uint64_t *bits;
    unsigned char *touched;
    unsigned char sector[sectorlen];  // a sector as the patch leaves it
    PatchFacts *pf;
    ImageFacts *imf;
    /* A cue sheet's tracks in sectors of their own sizes (cdscan), or none:
       then every sector is raw */
    const cd::SectorMap *map;
    int maphint;
};
Window w;
cd::SectorMap sectormap;

// Blocks of the image: block k, if held, lies in slot k % n.
struct Blocks {
    int shift;                    // blocks of 1 << shift bytes
    long n;                       // slots in use, a power of two
    unsigned char *data;          // ws->blockdata, ws->which
    int64_t *which;
    unsigned char joined[sectorlen];   // a range across two blocks
};
Blocks blocks;

// Block k of the image, read when its slot holds another.
const unsigned char *block(int64_t k)
{
    long slot = long(k & (blocks.n - 1));
    unsigned char *data = blocks.data + (slot << blocks.shift);
    if (blocks.which[slot] != k) {
        int64_t at = k << blocks.shift;
        bytesat(*w.image, at, long(std::min<int64_t>(int64_t(1) << blocks.shift, w.imagelen - at)), data);
        blocks.which[slot] = k;
    }
    return data;
}

// The image's n bytes at pos (n at most a sector, all within the image),
// valid until the next call.
const unsigned char *imageat(int64_t pos, long n)
{
    const long blocklen = 1L << blocks.shift;
    int64_t k = pos >> blocks.shift;
    long off = long(uint64_t(pos) & uint64_t(blocklen - 1));   // pos is never negative
    if (off + n <= blocklen) return block(k) + off;
    long first = blocklen - off;
    std::memcpy(blocks.joined, block(k) + off, size_t(first));
    std::memcpy(blocks.joined + first, block(k + 1), size_t(n - first));
    return blocks.joined;
}

// Whether the byte at slot of the window is written.
bool written(int64_t slot)
{
    return w.bits[slot >> 6] >> (slot & 63) & 1;
}

// The words of the bits [slot, slot + n) and the masks of the first and last.
struct Span {
    int64_t first, last;
    uint64_t lo, hi;
};
Span span(int64_t slot, long n)
{
    int64_t end = slot + n - 1;
    return {slot >> 6, end >> 6, ~uint64_t(0) << (slot & 63), ~uint64_t(0) >> (63 - (end & 63))};
}

// Whether any byte of [slot, slot + n) of the window is written.
bool anyset(int64_t slot, long n)
{
    Span sp = span(slot, n);
    if (sp.first == sp.last) return w.bits[sp.first] & sp.lo & sp.hi;
    if (w.bits[sp.first] & sp.lo) return true;
    for (int64_t k = sp.first + 1; k < sp.last; k++)
        if (w.bits[k]) return true;
    return w.bits[sp.last] & sp.hi;
}

// Sets (on) or clears the bits [slot, slot + n).
void markbits(int64_t slot, long n, bool on)
{
    Span sp = span(slot, n);
    if (sp.first == sp.last) sp.lo &= sp.hi;
    auto put = [on](uint64_t &word, uint64_t mask) { word = on ? word | mask : word & ~mask; };
    put(w.bits[sp.first], sp.lo);
    for (int64_t k = sp.first + 1; k < sp.last; k++) w.bits[k] = on ? ~uint64_t(0) : 0;
    if (sp.last != sp.first) put(w.bits[sp.last], sp.hi);
}

// Where the byte at image offset pos lies in the window.
int64_t slotof(int64_t pos)
{
    int64_t s = pos / sectorlen;
    return (s & (w.sectors - 1)) * sectorlen + (pos - s * sectorlen);
}

// Whether writing v at image offset at would change the image: bytes past
// its end do not exist yet.
bool changes(int64_t at, unsigned char v)
{
    return at >= w.imagelen || *imageat(at, 1) != v;
}

// Writes n bytes at image offset pos, all within the window, counting the
// bytes written for the first time and the bytes that end up changed.
// Returns how many of the n bytes the image holds already.
long putbytes(int64_t pos, const unsigned char *d, long n)
{
    long held = 0;
    while (n > 0) {
        int64_t slot = slotof(pos);
        long piece = long(std::min<int64_t>(n, w.len - slot));
        if (!anyset(slot, piece)) {
            /* Bytes no record wrote before: the common case */
            w.pf->byteswritten += piece;
            if (w.imf) {
                long same = 0;
                if (pos < w.imagelen) {
                    long within = long(std::min<int64_t>(piece, w.imagelen - pos));
                    const unsigned char *img = imageat(pos, within);
                    // A piece is at most a record long, so a byte counts it:
                    // the compiler then compares and adds 16 bytes at a time.
                    uint8_t hits = 0;
                    for (long i = 0; i < within; i++) hits = uint8_t(hits + (d[i] == img[i]));
                    same = hits;
                }
                w.imf->tochange += piece - same;
                held += same;
            }
            std::memcpy(w.val + slot, d, size_t(piece));
            markbits(slot, piece, true);
        } else {
            /* Overlap: the later record wins */
            w.pf->overlap = true;
            for (long i = 0; i < piece; i++) {
                int64_t s = slot + i;
                if (!written(s)) {
                    w.pf->byteswritten++;
                    w.bits[s >> 6] |= uint64_t(1) << (s & 63);
                } else if (w.imf && changes(pos + i, w.val[s])) {
                    w.imf->tochange--;
                }
                w.val[s] = d[i];
                if (w.imf && changes(pos + i, d[i])) w.imf->tochange++;
                else held++;
            }
        }
        pos += piece;
        d += piece;
        n -= piece;
    }
    return held;
}

// Counts the sectors of [pos, end) that no record wrote into before.
void touch(int64_t pos, int64_t end)
{
    for (int64_t s = pos / sectorlen; s <= (end - 1) / sectorlen; s++) {
        unsigned char &t = w.touched[s & (w.sectors - 1)];
        if (!t) w.pf->sectors++;
        t = 1;
    }
}

// Whether sector s (of 2352 bytes from the image's start) is one of the
// raw sectors of a track whose sectors are 2352 bytes, at its own offsets:
// an AUDIO track's, or one that lies across a track's edge, is judged not.
bool rawsector(int64_t s)
{
    if (!w.map) return true;
    const int64_t at = s * sectorlen;
    const int r = w.maphint = cd::runat(*w.map, at, w.maphint);
    const cd::SectorRun &run = w.map->runs[r];
    return run.kind == cd::Run::raw && (at - run.pos) % sectorlen == 0 &&
           at + sectorlen <= run.pos + run.n * sectorlen;
}

// Judges the codes of sector s, which holds written bytes: counts its EDC and
// its P and Q when they are right now, as broken when the patch leaves them
// wrong, and the sector when the patch leaves any of its codes wrong.
void judgecodes(int64_t s)
{
    int64_t at = s * sectorlen;
    if (at + sectorlen > w.imagelen || !rawsector(s)) return;
    const unsigned char *now = imageat(at, sectorlen);
    cd::Codes before = cd::checkcodes(now);
    if (before.kind == cd::Kind::none) return;
    ImageFacts &imf = *w.imf;
    if (before.noedc) {
        imf.noedc++;
        return;
    }

    std::memcpy(w.sector, now, sectorlen);
    int64_t base = (s & (w.sectors - 1)) * sectorlen;
    Span sp = span(base, sectorlen);
    for (int64_t k = sp.first; k <= sp.last; k++) {
        uint64_t bits = w.bits[k] & (k == sp.first ? sp.lo : ~uint64_t(0)) & (k == sp.last ? sp.hi : ~uint64_t(0));
        for (; bits; bits &= bits - 1) {
            int64_t slot = k * 64 + __builtin_ctzll(bits);
            w.sector[slot - base] = w.val[slot];
        }
    }
    cd::Codes after = cd::checkcodes(w.sector);
    if (before.edcright) {
        imf.edcright++;
        if (!after.edcright) note(imf.edcbroken, imf.broken, s);
    }
    if (cd::layoutof(before.kind).ecc && before.eccright) {
        imf.eccright++;
        if (!after.eccright) note(imf.eccbroken, imf.eccfirst, s);
    }
    if (after.checked() && !after.right()) imf.codesbroken++;
}

// Counts sector s, which holds written bytes, when it lies whole in the
// image, and whether it is a raw CD data sector.
void judgeraw(int64_t s)
{
    int64_t at = s * sectorlen;
    if (at + sectorlen > w.imagelen || !rawsector(s)) return;
    w.imf->wholesectors++;
    if (cd::kindof(imageat(at, sectorlen)) != cd::Kind::none) w.imf->rawsectors++;
}

// Sector s leaves the window: no record can write into it any more.
void finish(int64_t s)
{
    unsigned char &t = w.touched[s & (w.sectors - 1)];
    if (!t) return;
    t = 0;
    if (w.imf && !w.imf->countonly) {
        judgeraw(s);
        judgecodes(s);
    }
    markbits((s & (w.sectors - 1)) * sectorlen, sectorlen, false);
}

// Finishes the sectors of the window that lie before offset upto.
void finishbefore(int64_t upto)
{
    int64_t last = std::min(upto, w.start + w.len) / sectorlen;
    for (int64_t s = w.start / sectorlen; s < last; s++) finish(s);
}

// Where the window starts for a record [pos, end) in a sliding walk: it
// moves only forward, as little as it must. -1: the record lies before it.
int64_t slide(int64_t start, int64_t pos, int64_t end, bool first)
{
    constexpr int64_t len = slidesectors * sectorlen;
    if (first) start = std::max<int64_t>(0, (pos / sectorlen - slidesectors / 2) * sectorlen);
    else if (pos < start) return -1;
    if (end > start + len) start = (end + sectorlen - 1) / sectorlen * sectorlen - len;
    return start;
}

// Whether the record's bytes all hold their values in the image now.
bool inplace(int64_t pos, const unsigned char *d, long n)
{
    return pos + n <= w.imagelen && std::memcmp(imageat(pos, n), d, size_t(n)) == 0;
}

// Forgets what a walk counted and wrote into the window.
void resetcounts()
{
    w.pf->byteswritten = w.pf->sectors = 0;
    w.pf->overlap = false;
    if (w.imf) {
        ImageFacts &imf = *w.imf;
        imf.tochange = imf.inplace = imf.edcright = imf.edcbroken = 0;
        imf.eccright = imf.eccbroken = imf.codesbroken = imf.noedc = 0;
    }
    if (w.imf) w.imf->wholesectors = w.imf->rawsectors = 0;
    std::memset(w.bits, 0, sizeof ws->bits);
    std::memset(w.touched, 0, sizeof ws->touched);
}

// Lays the n bytes at d, written at image offset pos, over the validation
// block as the patch leaves it.
void overblock(int64_t pos, const unsigned char *d, long n)
{
    int64_t from = std::max<int64_t>(pos, zem::imageblockpos);
    int64_t to = std::min<int64_t>(pos + n, zem::imageblockpos + zem::checkblocklen);
    if (from < to)
        std::memcpy(w.pf->leftblock + (from - zem::imageblockpos), d + (from - pos), size_t(to - from));
}

// Records between two looks at the clock for the progress line.
constexpr int64_t progressevery = 4096;

// Sets the window over the stretch that starts at start.
void overstretch(int64_t start)
{
    w.start = start;
    w.len = winlen;
    w.sectors = winsectors;
}

// Lays the piece [from, to) of a record into the window over a stretch: d
// holds the record's n bytes from from on. A record that starts there
// (starts) counts as in place when it holds its place whole.
void laypiece(int64_t from, const unsigned char *d, long n, int64_t to, bool starts)
{
    touch(from, to);
    if (to - from == n) {   // the whole record: putbytes compares its bytes with the image
        if (putbytes(from, d, n) == n && starts && w.imf) w.imf->inplace++;
        return;
    }
    if (w.imf && starts && inplace(from, d, n)) w.imf->inplace++;
    putbytes(from, d, long(to - from));
}

// One pass over the patch for the stretch of the image that starts at
// start: the parts of records that lie in it. Passes done of passes in all.
bool stretchpass(const Input &patch, int64_t start, int64_t done, int64_t passes)
{
    overstretch(start);
    zem::RecordReader rd;
    zem::readrecords(rd, w.pf->area, patch.fd, ws->zemspace, sizeof ws->zemspace);
    zem::step step;
    while ((step = zem::nextrecord(rd)) == zem::steprecord) {
        if (rd.records % progressevery == 0)
            tool::progress("going through the records again, by image stretch",
                           done * w.pf->area.len + zem::nextat(rd) - w.pf->area.first,
                           passes * w.pf->area.len);
        int64_t pos = rd.pos, end = pos + rd.len;
        int64_t from = std::max(pos, start), to = std::min(end, start + winlen);
        if (from < to) laypiece(from, rd.data + (from - pos), long(end - from), to, pos == from);
    }
    finishbefore(start + winlen);
    return step == zem::stepend;   // the patch changed under the run otherwise
}

// The batch bytes of a record that writes [pos, end) in stretch k: all of it
// where it starts, its tail in the next stretch.
int64_t piecebytes(int64_t k, int64_t pos, int64_t end)
{
    return pieceheadlen + end - std::max(pos, k * winlen);
}

// Copies the piece of the record last read that lands in stretch k into the
// batch, behind the pieces there before it. False when the stretch has no
// room left: the patch is not what the first pass read.
bool putpiece(const zem::RecordReader &rd, int64_t k)
{
    int64_t pos = rd.pos, end = pos + rd.len, start = k * winlen;
    bool tail = pos < start;
    int64_t from = tail ? start : pos;
    int64_t &at = ws->stretchfill[k];
    if (at + pieceheadlen + (end - from) > ws->stretchend[k]) return false;
    uint32_t head = uint32_t(from - start) << 8 | uint32_t(end - from) | (tail ? tailbit : 0);
    unsigned char *p = ws->batch + at;
    p[0] = (unsigned char)head;   // little-endian, as everything here
    p[1] = (unsigned char)(head >> 8);
    p[2] = (unsigned char)(head >> 16);
    p[3] = (unsigned char)(head >> 24);
    std::memcpy(p + pieceheadlen, rd.data + (from - pos), size_t(end - from));
    at += pieceheadlen + (end - from);
    return true;
}

// One pass over the patch for the stretches [first, last), whose pieces all
// fit the batch: copies them there, grouped by stretch, then walks the
// stretches front to back. Passes done of passes in all.
bool batchpass(const Input &patch, int64_t first, int64_t last, int64_t done, int64_t passes)
{
    int64_t at = 0;
    for (int64_t k = first; k < last; k++) {
        ws->stretchfill[k] = at;
        at += ws->stretchbytes[k];
        ws->stretchend[k] = at;
    }
    const int64_t lo = first * winlen, hi = last * winlen;
    zem::RecordReader rd;
    zem::readrecords(rd, w.pf->area, patch.fd, ws->zemspace, sizeof ws->zemspace);
    zem::step step;
    while ((step = zem::nextrecord(rd)) == zem::steprecord) {
        if (rd.records % progressevery == 0)
            tool::progress("going through the records again, sorted by image stretch",
                           done * w.pf->area.len + zem::nextat(rd) - w.pf->area.first,
                           passes * w.pf->area.len);
        int64_t pos = rd.pos, end = pos + rd.len;
        if (end <= lo || pos >= hi || pos == end) continue;
        for (int64_t k = std::max(pos / winlen, first); k <= (end - 1) / winlen && k < last; k++)
            if (!putpiece(rd, k)) return false;
    }
    if (step != zem::stepend) return false;
    for (int64_t k = first, p = 0; k < last; k++) {
        if (ws->stretchfill[k] != ws->stretchend[k]) return false;   // fewer pieces than counted
        if (ws->stretchbytes[k] == 0) continue;
        const int64_t start = k * winlen;
        overstretch(start);
        for (; p < ws->stretchend[k];) {
            const unsigned char *b = ws->batch + p;
            uint32_t head = uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 | uint32_t(b[3]) << 24;
            long n = long(head & 0xff);
            int64_t from = start + int64_t((head & ~tailbit) >> 8);
            laypiece(from, b + pieceheadlen, n, std::min(from + n, start + winlen), !(head & tailbit));
            p += pieceheadlen + n;
        }
        finishbefore(start + winlen);
    }
    return true;
}

// The first stretch from k on that records land in; nstretches when none.
int64_t nextstretch(int64_t k)
{
    while (k < nstretches && ws->stretchbytes[k] == 0) k++;
    return k;
}

// The end of the stretches that one pass takes from stretch k on, which
// records land in: as many as the batch holds, or k alone when it holds less.
int64_t groupend(int64_t k)
{
    if (ws->stretchbytes[k] > batchlen) return k + 1;
    int64_t last = k, fill = 0;
    while (last < nstretches && fill + ws->stretchbytes[last] <= batchlen) fill += ws->stretchbytes[last++];
    return last;
}

// Takes the walk's memory, when an earlier walk has not left it, and lays
// the window and the blocks in it.
bool takespace()
{
    if (!ws) ws = static_cast<Space *>(std::malloc(sizeof(Space)));
    if (!ws) return false;
    w.val = ws->val;
    w.bits = ws->bits;
    w.touched = ws->touched;
    blocks.data = ws->blockdata;
    blocks.which = ws->which;
    std::memset(ws->stretchbytes, 0, sizeof ws->stretchbytes);
    return true;
}

// Asks for the batch's first n bytes in pages of 2 MiB, where the system
// makes them on request: the records are copied all over them.
void largepages(long n)
{
    constexpr uintptr_t large = uintptr_t(2) << 20;
    uintptr_t from = (uintptr_t(ws->batch) + large - 1) & ~(large - 1);
    uintptr_t to = (uintptr_t(ws->batch) + uintptr_t(n)) & ~(large - 1);
    if (from < to) (void)madvise(reinterpret_cast<void *>(from), to - from, MADV_HUGEPAGE);
}

} // namespace

bool walkrecords(const Input &patch, const Input *image, PatchFacts &pf, ImageFacts *imf,
                 std::string &error)
{
    if (!takespace()) {
        error = "no memory to go through the records";
        return false;
    }
    w.pf = &pf;
    w.imf = imf;
    w.image = image;
    w.imagelen = image ? image->size : 0;
    w.map = nullptr;
    w.maphint = 0;
    if (image && image->img && image->img->cue) {
        cd::mapsectors(*image->img, image->size, sectormap);
        w.map = &sectormap;
    }
    std::fill(blocks.which, blocks.which + (blockspace >> smallshift), -1);
    blocks.shift = largeshift;
    blocks.n = slideblocks;
    pf.records = pf.databytes = 0;
    pf.lowest = pf.highest = -1;
    pf.inorder = true;
    resetcounts();
    if (imf) {
        imf->recordsbeyond = 0;
        for (TrackFacts &t : imf->tracks) t.records = 0;
    }
    std::memcpy(pf.leftblock, pf.storedblock, sizeof pf.leftblock);
    if (pf.area.damage != zem::flawnone) {
        pf.damage = pf.area.damage;
        return true;
    }

    /* The sliding walk, and the facts any walk gives */
    zem::RecordReader rd;
    zem::readrecords(rd, pf.area, patch.fd, ws->zemspace, sizeof ws->zemspace);
    bool first = true;
    w.start = 0;
    w.len = slidesectors * sectorlen;
    w.sectors = slidesectors;
    for (;;) {
        zem::step s = zem::nextrecord(rd);
        if (s == zem::stepend) break;
        if (s == zem::stepfailed) {
            error = std::string("reading ") + pf.file + " failed: " + strerror(errno);
            return false;
        }
        if (s == zem::stepdamaged) {
            pf.damage = rd.damage;
            pf.damageat = rd.recat;
            return true;
        }
        pf.records++;
        pf.databytes += rd.len;
        if (pf.records % progressevery == 0)
            tool::progress("reading the records", zem::nextat(rd) - pf.area.first, pf.area.len);
        if (rd.len == 0) continue;   // writes nothing
        int64_t pos = rd.pos, end = pos + rd.len;
        if (pf.kind == zem::version2) overblock(pos, rd.data, rd.len);
        if (imf) placerecord(*imf, pos, end);
        if (pf.lowest < 0 || pos < pf.lowest) pf.lowest = pos;
        if (end - 1 > pf.highest) pf.highest = end - 1;
        for (int64_t k = pos / winlen; k <= (end - 1) / winlen; k++)
            ws->stretchbytes[k] += piecebytes(k, pos, end);
        if (!pf.inorder) continue;

        int64_t start = slide(w.start, pos, end, first);
        if (start < 0) {
            pf.inorder = false;
            continue;
        }
        if (!first) finishbefore(start);
        first = false;
        w.start = start;
        touch(pos, end);
        if (putbytes(pos, rd.data, rd.len) == rd.len && imf) imf->inplace++;
    }
    if (pf.inorder) {
        finishbefore(w.start + w.len);
        return true;
    }

    /* Records in any order: sorted by stretch, as many stretches a pass as
       the batch holds */
    resetcounts();
    bool sparse = pf.records << largeshift < pf.highest - pf.lowest;
    blocks.shift = sparse ? smallshift : largeshift;
    blocks.n = blockspace >> blocks.shift;
    std::fill(blocks.which, blocks.which + (blockspace >> smallshift), -1);
    int64_t passes = 0, done = 0, most = 0;
    for (int64_t k = nextstretch(0); k < nstretches; k = nextstretch(groupend(k))) {
        passes++;
        int64_t fill = 0;
        for (int64_t i = k, end = groupend(k); i < end; i++) fill += ws->stretchbytes[i];
        if (fill <= batchlen) most = std::max(most, fill);
    }
    largepages(long(most));
    for (int64_t k = nextstretch(0); k < nstretches; k = nextstretch(k)) {
        const int64_t last = groupend(k);
        bool ok = ws->stretchbytes[k] > batchlen ? stretchpass(patch, k * winlen, done++, passes)
                                                 : batchpass(patch, k, last, done++, passes);
        k = last;
        if (!ok) {
            error = pf.file + " changed while zeminfo read it";
            return false;
        }
    }
    return true;
}

void walkrelease()
{
    // The pages go back to the system; the memory stays the walk's, and
    // reads as zeros when touched again. Taking it anew costs a run of
    // several walks (the fuzz targets) more.
    if (!ws) return;
    const uintptr_t page = uintptr_t(sysconf(_SC_PAGESIZE));
    uintptr_t from = (uintptr_t(ws) + page - 1) & ~(page - 1);
    uintptr_t to = (uintptr_t(ws) + sizeof(Space)) & ~(page - 1);
    if (from < to) (void)madvise(reinterpret_cast<void *>(from), to - from, MADV_DONTNEED);
}
