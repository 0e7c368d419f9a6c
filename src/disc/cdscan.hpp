// Checking the codes of many sectors of an image (one file or a cue sheet's
// track files): read and checked on two threads, handed over block by block
// in image order.
#pragma once

#include <cstdint>
#include <functional>

#include "cdsector.hpp"
#include "image.hpp"

namespace cd {

// Sectors read and checked at once: whole sectors, about 1 MiB, so that the
// threads hand over blocks a few hundred times a second, not thousands.
constexpr long scanblocksectors = 448;

// A block of sectors, as the caller gets it. The caller may change data.
struct ScanBlock {
    int64_t first;   // number of its first sector
    long n;          // sectors in it
    unsigned char *data;
    Codes codes[scanblocksectors];   // of the sectors in scope; kind none for the others
};

// Which sectors are in scope: bit s of the words, or every sector when null.
inline bool inscope(const uint64_t *scope, int64_t s)
{
    return !scope || (scope[s >> 6] >> (s & 63) & 1);
}

// Reads sectors [0, nsectors) of the logical image img, checks the codes of those in
// scope (blocks with none are not read) and calls use on each block that
// has one, in order, on the calling thread. Stops when use returns false.
// Returns false when reading fails (errno says why; a file that became
// shorter reads as EIO) or when use did.
bool scansectors(const disc::Image &img, int64_t nsectors, const uint64_t *scope,
                 const std::function<bool(ScanBlock &)> &use);

} // namespace cd
