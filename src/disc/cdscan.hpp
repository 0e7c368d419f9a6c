// Checking the codes of many sectors of an image (one file or a cue sheet's
// track files): read and checked on two threads, handed over block by block
// in image order.
#pragma once

#include <cstdint>
#include <functional>

#include "cdsector.hpp"
#include "image.hpp"

namespace cd {

// How the logical image is laid out in sectors. A single file is one run of
// raw 2352-byte sectors from its first byte on. A cue sheet's image is a run
// per track, in the track's own sector size, so that a raw track after a
// 2048-byte one is read at its own offsets. Sectors are numbered across the
// runs from 0, as a disc numbers them. Only raw runs hold sectors that may be
// data sectors: an AUDIO track holds music whatever its bytes look like, and
// a track of 2048, 2324, 2332 or 2336 bytes a sector keeps no sync pattern,
// header or codes of its own (cooked).
enum class Run { raw, audio, cooked };
struct SectorRun {
    int64_t pos;     // offset of its first sector
    int64_t end;     // where its bytes end: the next run's pos, or the image's size
    int64_t first;   // number of its first sector
    int64_t n;       // whole sectors in it (bytes past them belong to no sector)
    long size;       // bytes a sector
    Run kind;
    int track;       // index into the image's tracks, or -1 for a single file
};
struct SectorMap {
    int nruns;
    SectorRun runs[disc::maxtracks];
    int64_t nsectors;   // whole sectors in all runs
    int64_t counts[3];  // of them, by Run
};

// Lays out img, taken to be size bytes long (the last run ends there).
void mapsectors(const disc::Image &img, int64_t size, SectorMap &map);

// The run that holds byte pos (the last one for pos past the end), or -1 for
// pos negative; hint, an index tried first, makes walks in order cheap.
int runat(const SectorMap &map, int64_t pos, int hint = 0);

// The number of the sector of run r that holds byte pos of it, or -1 when
// pos lies in the bytes past the run's whole sectors. Past the image's end
// the last run's sectors go on.
int64_t sectorin(const SectorMap &map, int r, int64_t pos);

// Sectors read and checked at once: whole sectors, about 1 MiB, so that the
// threads hand over blocks a few hundred times a second, not thousands.
constexpr long scanblocksectors = 448;

// A block of raw sectors, as the caller gets it. The caller may change data.
struct ScanBlock {
    int64_t first;   // number of its first sector
    int64_t pos;     // offset of its first byte in the image
    long n;          // sectors in it
    unsigned char *data;
    Codes codes[scanblocksectors];   // of the sectors in scope; kind none for the others
};

// Which sectors are in scope: bit s of the words, or every sector when null.
inline bool inscope(const uint64_t *scope, int64_t s)
{
    return !scope || (scope[s >> 6] >> (s & 63) & 1);
}

// Reads the whole sectors of the raw runs of map (laid out from img), checks
// the codes of those in scope (blocks with none are not read) and calls use
// on each block that has one, in order, on the calling thread. Stops when use
// returns false. Returns false when reading fails (errno says why; a file
// that became shorter reads as EIO) or when use did. Audio and cooked runs
// are never read: their sectors are counted from the map.
bool scansectors(const disc::Image &img, const SectorMap &map, const uint64_t *scope,
                 const std::function<bool(ScanBlock &)> &use);

} // namespace cd
