// The record index.
//
// Layout. A patch is a list of writes of 1 to 255 bytes at image offsets
// below 2^31, applied in order. A reader wants, for a stretch of the image,
// which bytes come from which patch's data. The index keeps, sorted by image
// offset and never overlapping, one Piece per stretch that a single record's
// data decides: its image offset (32 bits), its length (8 bits), the patch
// (8 bits) and the data's offset in that patch (48 bits), packed in 12
// bytes. The data is not copied: a read takes it from the patch with pread,
// so a view of a 700 MiB image needs memory for its records only, and a
// patch cut short after opening is a failed read, never a signal.
//
// Building. Two passes over each patch's records area (the shared reader,
// through a 1 MiB buffer): the first counts the records that write bytes,
// so that the list is allocated once at its size; the second appends one
// piece per such record, in application order. Patch and patch offset
// together (the key) then grow with that order, so "later wins" is
// "greater key wins" and needs no sequence number. finish() sorts by
// (offset, key) unless the pieces are sorted already (a patch maker writes
// records in image order, so the common patch costs one check), and then,
// only when some pieces overlap, sweeps them front to back with a heap of
// (copies of) the pieces covering the current offset, largest key on top:
// each stretch between two piece edges takes the top's bytes, and adjacent
// stretches of one record join again. The stretches are written over the
// sorted list itself, into the places of pieces already taken into the heap.
//
// Memory. Without overlaps the index is 12 bytes a record. Overlaps can
// split a record around later ones, but every stretch ends at a piece's
// edge, so there are fewer than twice as many pieces as records: at most
// 24 bytes a record, plus the fixed part of the view. Building one patch's
// index holds no more than the index and the 1 MiB buffer: no list grown by
// doubling (which holds up to twice its pieces, three times while it
// moves), no second list for the sweep, only its heap and the stretches
// that wait for a place (as many as records split so far, less those
// covered whole). The list is allocated with a few places spare (3%) for
// the stretches of split records, unless one patch's records follow one
// another; a sweep that ends with more stretches than that, or with far
// fewer stretches than pieces, copies the list once more, as each further
// patch copies it once into a larger one.
#include "zemindex.hpp"

#include <algorithm>
#include <cerrno>
#include <deque>
#include <memory>

namespace zem {

Piece makepiece(int64_t start, long len, int patch, int64_t src)
{
    Piece p;
    p.start = uint32_t(start);
    p.srclo = uint32_t(uint64_t(src) & 0xffffffffu);
    p.hi = uint32_t(len) << 24 | uint32_t(patch) << 16 | uint32_t(uint64_t(src) >> 32 & 0xffff);
    return p;
}

step RecordIndex::addpatch(int fd, int patch, const Area &a, flaw &damage)
{
    constexpr long spacelen = 1 << 20;
    std::unique_ptr<unsigned char[]> space(new unsigned char[spacelen]);
    if (a.first + a.len > indexmaxsrc) {
        errno = EFBIG;
        return stepfailed;
    }
    // First the records that write bytes are counted, so that the list
    // grows once, to its size: grown by doubling it would hold up to twice
    // its records, and while moving three times. Unless they follow one
    // another in one patch, records may overlap and finish() split some of
    // them: a few places more are kept for that, never touched (so never
    // resident) unless needed.
    RecordReader r;
    readrecords(r, a, fd, space.get(), spacelen);
    size_t count = 0;
    bool tidy = list.empty();
    for (int64_t covered = 0;;) {
        step s = nextrecord(r);
        if (s == stepend) break;
        if (s != steprecord) {
            damage = r.damage;
            return s;
        }
        if (r.len == 0) continue;
        count++;
        tidy = tidy && r.pos >= covered;
        covered = int64_t(r.pos) + r.len;
    }
    list.reserve(list.size() + count + (tidy ? 0 : count / 32 + 16));
    readrecords(r, a, fd, space.get(), spacelen);
    for (;;) {
        step s = nextrecord(r);
        if (s == stepend) return s;
        if (s != steprecord) {   // the patch changed under the count
            damage = r.damage;
            return s;
        }
        if (r.len == 0) continue;   // writes nothing, as Mavrin skips it
        list.push_back(makepiece(r.pos, r.len, patch, nextat(r) - r.len));
        if (int64_t(r.pos) + r.len > reach) reach = int64_t(r.pos) + r.len;
    }
}

static bool before(const Piece &a, const Piece &b)
{
    return a.start != b.start ? a.start < b.start : a.key() < b.key();
}

// Whether the stretch [from, to) of piece p goes on with last: the same
// record's data, next to it, within a record's length.
static bool joins(const Piece &last, const Piece &p, int64_t from, int64_t to)
{
    return last.end() == from && last.patch() == p.patch() &&
           last.src() + last.len() == p.src() + (from - p.begin()) && last.len() + (to - from) <= recmaxdata;
}

void RecordIndex::finish()
{
    if (!std::is_sorted(list.begin(), list.end(), before))
        std::sort(list.begin(), list.end(), before);
    bool overlaps = false;
    int64_t covered = 0;
    for (const Piece &p : list) {
        if (p.begin() < covered) {
            overlaps = true;
            break;
        }
        covered = p.end();
    }
    // Spare places are given back only when they are many: giving them
    // back copies the list.
    auto trim = [this] {
        if (list.capacity() - list.size() > list.capacity() / 8) list.shrink_to_fit();
    };
    if (!overlaps) {
        trim();
        return;
    }

    // The sweep writes its stretches over the list itself: a piece taken
    // into the heap is a copy there, so its place is free. A stretch whose
    // place is not free yet (a record split around a later one makes more
    // stretches than pieces) waits, in order, until the sweep has taken
    // enough pieces, or the sweep ends and the list grows.
    std::vector<Piece> heap;     // the pieces covering at, the largest key on top
    std::deque<Piece> waiting;   // stretches made, not yet written
    auto lower = [](const Piece &a, const Piece &b) { return a.key() < b.key(); };
    const size_t n = list.size();
    size_t i = 0, o = 0;   // the next piece to take, the next place to write
    auto place = [&](const Piece &p) {
        waiting.push_back(p);
        for (; !waiting.empty() && o < i; waiting.pop_front()) list[o++] = waiting.front();
    };
    Piece last = {};
    bool have = false;   // whether last holds a stretch
    int64_t at = 0;
    while (i < n || !heap.empty()) {
        if (heap.empty() && list[i].begin() > at) at = list[i].begin();
        while (i < n && list[i].begin() <= at) {
            heap.push_back(list[i++]);
            std::push_heap(heap.begin(), heap.end(), lower);
        }
        while (!heap.empty() && heap.front().end() <= at) {
            std::pop_heap(heap.begin(), heap.end(), lower);
            heap.pop_back();
        }
        if (heap.empty()) continue;
        const Piece top = heap.front();
        int64_t to = top.end();
        if (i < n && list[i].begin() < to) to = list[i].begin();
        if (have && joins(last, top, at, to)) {
            last = makepiece(last.begin(), long(last.len() + (to - at)), top.patch(), last.src());
        } else {
            if (have) place(last);
            last = makepiece(at, long(to - at), top.patch(), top.src() + (at - top.begin()));
            have = true;
        }
        at = to;
    }
    if (have) place(last);
    list.resize(o);
    list.reserve(o + waiting.size());
    list.insert(list.end(), waiting.begin(), waiting.end());
    trim();   // later records covering earlier ones leave places spare
}

size_t RecordIndex::find(int64_t pos) const
{
    auto it = std::upper_bound(list.begin(), list.end(), pos,
                               [](int64_t p, const Piece &x) { return p < x.begin(); });
    if (it != list.begin() && std::prev(it)->end() > pos) --it;
    return size_t(it - list.begin());
}

} // namespace zem
