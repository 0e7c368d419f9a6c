// The record index: the records of one or more patches laid out by image
// position, later records and later patches winning, for a program that
// reads a patched image without writing it. The reasoning is at the top of
// zemindex.cpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "zemreader.hpp"

namespace zem {

// A stretch of the patched image, at most recmaxdata bytes, whose bytes are
// one record's data (or a part of it) in one patch. 12 bytes.
struct Piece {
    uint32_t start;   // image offset (records lie below 2^31 + 255)
    uint32_t srclo;   // low 32 bits of the data's patch offset
    uint32_t hi;      // bits 0-15: high bits of the patch offset; 16-23: the
                      // patch; 24-31: the length, 1 to 255

    int64_t begin() const { return start; }
    int64_t end() const { return int64_t(start) + (hi >> 24); }
    long len() const { return long(hi >> 24); }
    int patch() const { return int(hi >> 16 & 0xff); }
    int64_t src() const { return int64_t(uint64_t(hi & 0xffff) << 32 | srclo); }
    // Patch and offset as one number: later records have greater keys.
    uint64_t key() const { return uint64_t(hi & 0xffffff) << 32 | srclo; }
};

constexpr int indexmaxpatches = 255;
constexpr int64_t indexmaxsrc = int64_t(1) << 48;   // patch offsets below 256 TiB

Piece makepiece(int64_t start, long len, int patch, int64_t src);

class RecordIndex {
public:
    // Reads the records of patch number patch (0 for the first; each call
    // with the next number) from its records area, front to back, in one
    // pass through a buffer of its own, and adds those that write bytes.
    // Returns stepend when the records fill the area, stepdamaged (with
    // damage set) or stepfailed (errno set) as nextrecord says. Throws
    // std::bad_alloc when memory runs out.
    step addpatch(int fd, int patch, const Area &a, flaw &damage);

    // The pieces added so far, in the order of the patches' records
    // (before finish()).
    const std::vector<Piece> &pieces() const { return list; }

    // Sorts the records by image position and resolves overlaps, later
    // records winning, so that the pieces follow one another without
    // overlapping. May throw std::bad_alloc.
    void finish();

    // After finish(): the first piece that ends after pos, or pieces().size().
    size_t find(int64_t pos) const;

    // Where the last byte written lies: 0 without records.
    int64_t end() const { return reach; }

    // Bytes held, for the memory figures.
    size_t bytes() const { return list.capacity() * sizeof(Piece); }

private:
    std::vector<Piece> list;
    int64_t reach = 0;
};

} // namespace zem
