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
// Building. One pass over each patch's records area (the shared reader,
// through a 1 MiB buffer) appends one piece per record that writes bytes,
// in application order; patch and patch offset together (the key) then grow
// with that order, so "later wins" is "greater key wins" and needs no
// sequence number. finish() sorts by (offset, key) unless the pieces are
// sorted already (a patch maker writes records in image order, so the
// common patch costs one check), and then, only when some pieces overlap,
// sweeps them front to back with a heap of the pieces covering the current
// offset, largest key on top: each stretch between two piece edges takes
// the top's bytes, and adjacent stretches of one record join again.
//
// Memory. Without overlaps the index is 12 bytes a record. Overlaps can
// split a record around later ones, but every stretch ends at a piece's
// edge, so there are fewer than twice as many pieces as records: at most
// 24 bytes a record, plus the fixed part of the view. While the sweep runs
// it also holds the sorted input and a heap of 4-byte indexes.
#include "zemindex.hpp"

#include <algorithm>
#include <cerrno>
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
    RecordReader r;
    readrecords(r, a, fd, space.get(), spacelen);
    if (a.first + a.len > indexmaxsrc) {
        errno = EFBIG;
        return stepfailed;
    }
    for (;;) {
        step s = nextrecord(r);
        if (s == stepend) return s;
        if (s != steprecord) {
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

// The stretch [from, to) taken from piece p, joined to the last piece when
// it goes on with the same record's data.
static void emit(std::vector<Piece> &out, const Piece &p, int64_t from, int64_t to)
{
    int64_t src = p.src() + (from - p.begin());
    if (!out.empty()) {
        Piece &last = out.back();
        if (last.end() == from && last.patch() == p.patch() &&
            last.src() + last.len() == src && last.len() + (to - from) <= recmaxdata) {
            last = makepiece(last.begin(), long(last.len() + (to - from)), p.patch(), last.src());
            return;
        }
    }
    out.push_back(makepiece(from, long(to - from), p.patch(), src));
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
    if (!overlaps) {
        list.shrink_to_fit();
        return;
    }

    std::vector<Piece> out;
    out.reserve(list.size() + list.size() / 8);
    std::vector<uint32_t> heap;   // indexes into list, the largest key on top
    auto lower = [this](uint32_t a, uint32_t b) { return list[a].key() < list[b].key(); };
    size_t i = 0, n = list.size();
    int64_t at = 0;
    while (i < n || !heap.empty()) {
        if (heap.empty() && list[i].begin() > at) at = list[i].begin();
        while (i < n && list[i].begin() <= at) {
            heap.push_back(uint32_t(i++));
            std::push_heap(heap.begin(), heap.end(), lower);
        }
        while (!heap.empty() && list[heap.front()].end() <= at) {
            std::pop_heap(heap.begin(), heap.end(), lower);
            heap.pop_back();
        }
        if (heap.empty()) continue;
        const Piece &top = list[heap.front()];
        int64_t to = top.end();
        if (i < n && list[i].begin() < to) to = list[i].begin();
        emit(out, top, at, to);
        at = to;
    }
    out.shrink_to_fit();
    list.swap(out);
}

size_t RecordIndex::find(int64_t pos) const
{
    auto it = std::upper_bound(list.begin(), list.end(), pos,
                               [](int64_t p, const Piece &x) { return p < x.begin(); });
    if (it != list.begin() && std::prev(it)->end() > pos) --it;
    return size_t(it - list.begin());
}

} // namespace zem
