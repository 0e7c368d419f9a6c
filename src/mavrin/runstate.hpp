// The state of one run, and the stages that work on it.
#pragma once

#include <csetjmp>
#include <csignal>
#include <cstdint>
#include <cstdio>

#include "image.hpp"
#include "zemformat.hpp"
#include "zemreader.hpp"

// The image writer holds up to spanlen bytes of the image at once. The image
// is cut into spans of that size, aligned, to sort records by place.
constexpr int spanshift = 18;
constexpr long spanlen = 1L << spanshift;
constexpr long nspans = long((zem::imagelimit + zem::recmaxdata) >> spanshift) + 1;
// Records (or pieces of them, cut at span edges) sorted by place at once.
constexpr long batchmax = 512 * 1024;
// Where a stretch read first must not be written whole, the writer writes
// the units of 1 << unitshift bytes, aligned in the image, that records
// changed: a unit lies within one block of any file system, so this takes no
// block more than writing the records one by one would.
constexpr int unitshift = 9;

// Everything one run needs, in fixed-size fields. It must be zero-filled
// before the run starts (a static object is): short reads rely on it, and
// nothing is allocated once the run is under way.
struct RunState {
    // The image, open for reading and writing: one file, or the track files
    // of a cue sheet as one logical image. Every read and write of the image
    // goes through it.
    disc::Image image;
    FILE *zemfile;          // the patch, opened "rb"
    int64_t zemlen;         // size of the patch file

    bool toterminal;        // standard output is a terminal: texts shown with glyphs (showtext)
    signed char method;        // encoding method byte
    char desc[zem::desclen];   // description, not necessarily zero-terminated

    int32_t dizyn;          // 1 when a FILE_ID.DIZ trailer was found
    int32_t dizlen;         // trailer text length, then the expected image size
    int32_t dizlensave;     // trailer text length, kept for the records area
    char diz[zem::diztextmax];   // trailer text

    int64_t binlen;         // actual image size
    unsigned char zemblock[zem::checkblocklen + 1];   // validation block from the patch
    unsigned char binblock[zem::checkblocklen + 1];   // the image's bytes at its block offset
    unsigned char in;       // last answer character

    // The records area, found by the header and the trailer, and its reader.
    // The check pass reads every record before the write pass reads them
    // again; what it saw must be what the write pass sees.
    zem::Area area;
    zem::RecordReader reader;
    unsigned char zemchunk[256 * 1024];   // the reader's buffer
    int64_t nrecords;       // records in the area, counted by the check pass
    uint64_t heads;         // the reader's hash of their offsets and lengths
    // What the writer learns from the check pass (noterecord).
    int64_t nfilled;        // records that hold data
    int64_t nfar;           // of them, those that do not carry on from the one before
    int64_t lastpos, lastend;   // the one before
    int64_t nspansused;     // spans that records write into
    unsigned char spanused[nspans / 8 + 1];   // a bit for each of them

    // The image writer (imagewriter.cpp). span holds image bytes for
    // [spanpos, spanpos + spanfill): either read from the image first, so
    // that any record within may be copied in, or only the bytes of records
    // that joined one another there.
    int64_t binsize;        // the image's size as the writes leave it
    int64_t densesize;      // the image has no holes below this offset
    long blocksize;         // the file system's block
    int64_t prefetchto;     // patch offset up to which records were looked at to prefetch
    int64_t readend;        // where the last stretch read first ends (-1: none yet)
    unsigned char span[spanlen];
    int64_t spanpos;
    long spanfill;
    bool spanloaded;
    // Of a span read first: whether it lies over a hole of the image (or past
    // its end), and the image's bytes there as they are when it is written.
    // Over a hole only the units whose bytes records changed are written, so
    // that no block is filled in that no record needs; elsewhere they are
    // written so when writing the span whole fails for space.
    bool spansparse;
    unsigned char spanwas[spanlen];
    int64_t nloads, nwrites, nbatches;   // what the writer did: reads, writes, sorted batches
    // A stretch read first may instead be written through a shared mapping
    // of the image (a window of one file), its records copied straight in:
    // no copy of the stretch in and out, a page fault for each page instead.
    // Which costs less depends on the machine, so the writer times every
    // stretch from its start to its end either way and takes the cheaper.
    // spanmapped: the stretch is written so, at imgmap + (spanpos - imgmapat).
    signed char writeway;   // 0: the cheaper as measured; tests: 1 read and write, 2 mapped
    bool spanmapped;
    unsigned char *imgmap;  // the window, or null
    int64_t imgmapat;       // the image offset of its first byte
    int64_t imgmaplen;
    int64_t maplimit;       // nothing at or past it is mapped: the file size limit (RLIMIT_FSIZE)
    double costread, costmap;   // seconds a byte of stretch, as measured (0: not yet)
    double spanstarted;     // when the stretch at hand began
    bool imagecold;         // the image was not in the page cache where last looked
    int64_t spanrecs;       // records copied into it
    int64_t nstretches, nmapped;   // stretches read first, and of them those mapped

    // Records out of order are sorted a batch at a time, by span, from the
    // patch mapped whole; a span's records keep their file order.
    const unsigned char *zemmap;
    int64_t zemmaplen;
    uint32_t batchkeys[batchmax];     // patch offsets from the batch's first record
    uint32_t spancount[nspans];       // pieces in each span, then where the next goes
    uint32_t spanstart[nspans];
    int64_t spanlo[nspans], spanhi[nspans];   // the image bytes the pieces cover
    sigjmp_buf busjump;               // where a fault in the mapped patch or image lands
    struct sigaction oldbus;

    sigset_t oldmask;       // signals blocked during the write pass

    // Called, when set, as the write pass starts: tests change the files
    // there, as another program could during a run.
    void (*betweenpasses)(RunState &rs);
    // Called, when set, once a stretch is mapped: tests cut the image there.
    void (*stretchmapped)(RunState &rs);
};

// One run from the command line to the end; returns instead of exiting.
void mavrinrun(RunState &rs, int argc, char **argv);

// Stages: each returns whether the run goes on.
bool showdiz(RunState &rs);
// Prints a text from the patch: its n bytes at p, up to the first zero byte.
void showtext(const RunState &rs, const char *p, long n);
bool checkimage(RunState &rs);
void applyrecords(RunState &rs);

// The image writer (imagewriter.cpp). noterecord hears of each record of
// data in the check pass; sortpays then says whether sorting the records by
// span first pays. startwriter finds the image's size; false when it cannot.
void noterecord(RunState &rs, int64_t pos, long len);
bool sortpays(const RunState &rs);
bool startwriter(RunState &rs);
// Maps the whole patch for writesorted; false when it cannot be mapped.
bool mappatch(RunState &rs);
void unmappatch(RunState &rs);
// The write pass, over the records in file order or, with the patch mapped,
// sorted by span a batch at a time. Either leaves the image as writing every
// record in file order would; passwritefailed when a write or a read of the
// image failed, or the patch turned out not to hold what the check pass read.
enum passresult { passdone, passdamaged, passwritefailed };
passresult writeinorder(RunState &rs);
passresult writesorted(RunState &rs);

// Closes the patch file, then the image; says whether the image closed cleanly.
bool closefiles(RunState &rs);
// Closes both files as above; returns false, for "the run ends here".
bool endrun(RunState &rs);
