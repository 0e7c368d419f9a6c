// An image as a stack of patches leaves it, read without writing anything:
// the image's own bytes under the records of the patches, later records and
// later patches winning (the record index), the size grown to the last byte
// written, a gap reading as zeros, as Mavrin leaves them.
#pragma once

#include <cstdint>
#include <vector>

#include "image.hpp"
#include "zemindex.hpp"

namespace explain {

struct Stacked {
    const disc::Image *img = nullptr;   // the image, or none: then it is empty
    int64_t basesize = 0;               // its own size
    int64_t size = 0;                   // as the patches leave it
    std::vector<int> fds;               // patch i's file, for its records' bytes
    zem::RecordIndex index;
};

// Lays the records areas of the patches (sound ones: their records fill the
// areas) over the image, in order. False when reading a patch fails (errno
// set) or it is not what it was. Throws std::bad_alloc when memory runs out.
bool stackpatches(Stacked &s, const disc::Image *img, int64_t imagesize, const std::vector<int> &fds,
                  const std::vector<zem::Area> &areas);

// Up to n bytes at pos as the patches leave them; returns the count (short
// only at the end), or -1 when a read fails.
int64_t readstacked(const Stacked &s, unsigned char *out, int64_t n, int64_t pos);

// The bytes of the stack that a patch's records overwrite, by the patch
// that wrote them last: the count and where the first runs of them start.
constexpr int firstruns = 5;
struct Overwritten {
    int64_t bytes = 0;
    int64_t nruns = 0;           // runs of them, each as long as it goes
    std::vector<int64_t> runs;   // where the first firstruns start, image offsets
};
// For each patch of s, what the pieces of one more patch (an index of it
// alone, finished) write over; by patch number.
std::vector<Overwritten> overwrites(const Stacked &s, const zem::RecordIndex &next);

} // namespace explain
