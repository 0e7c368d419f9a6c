// The state of one run, and the stages that work on it.
#pragma once

#include <cstdint>
#include <cstdio>

#include "zemformat.hpp"
#include "zemreader.hpp"

#ifdef MAVRIN_URING
#include <liburing.h>

// Writes that may be in flight through the ring at once; patches of fewer
// records, and writes from ringmaxwrite bytes on, go by pwrite.
constexpr unsigned ringdepth = 256;
constexpr int64_t ringminrecords = 4096;
constexpr long ringmaxwrite = 4096;
#endif

// Everything one run needs, in fixed-size fields. It must be zero-filled
// before the run starts (a static object is): short reads rely on it, and
// nothing is allocated once the run is under way.
struct RunState {
    FILE *binfile;          // the image, opened "rb+"
    FILE *zemfile;          // the patch, opened "rb"
    int64_t zemlen;         // size of the patch file

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
    // The check pass counts the records before the writing pass reads them again.
    zem::Area area;
    zem::RecordReader reader;
    unsigned char zemchunk[256 * 1024];   // the reader's buffer
    int64_t nrecords;       // records in the area, counted by the check pass

    // Image bytes waiting to be written: wbuf[wbufstart, wbuflen) goes at
    // wbufpos. Records that follow each other in the image leave in one write.
    // Below wbufstart lie the data of writes still in flight.
    unsigned char wbuf[256 * 1024];
    int64_t wbufpos;
    long wbuflen;
    long wbufstart;

#ifdef MAVRIN_URING
    // Writes queued on the ring: nfly of them, in fly[], their data in
    // wbuf[0, wbufstart) until they complete. [flylo, flyhi) holds the image
    // bytes they cover, so that a write overlapping them waits for them.
    struct io_uring ring;
    bool ringup;            // the ring is set up; otherwise every write is a pwrite
    struct flight { int64_t pos; long at; long len; } fly[ringdepth];
    unsigned nfly;
    int64_t flylo, flyhi;
#endif
};

// One run from the command line to the end; returns instead of exiting.
void mavrinrun(RunState &rs, int argc, char **argv);

// Stages: each returns whether the run goes on.
bool showdiz(RunState &rs);
bool checkimage(RunState &rs);
void applyrecords(RunState &rs);

// Closes the patch file, then the image; says whether the image closed cleanly.
bool closefiles(RunState &rs);
// Closes both files as above; returns false, for "the run ends here".
bool endrun(RunState &rs);
