// zemmake: what its parts share (the patch being written, the record planner).
#pragma once

#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>

#include "image.hpp"
#include "zemformat.hpp"
#include "zemreader.hpp"

// Tuning: every buffer is fixed, so memory stays the same whatever the sizes.
// Bytes of each image compared at once: whole sectors, about 256 KiB, so that
// the codes of a sector are checked within one block.
constexpr long compareblock = 112 * zem::sectorlen;
constexpr long compareslots = 4;                // blocks compared ahead of the planner
constexpr long slotruns = 8 * 1024;             // runs of changed bytes a compared block holds
constexpr long planmaxbytes = 256 * 1024;       // changed bytes planned together
constexpr long planmaxruns = 32 * 1024;         // runs of changed bytes planned together
constexpr long datacachelen = 1024 * 1024;      // record data read ahead
constexpr long outbuflen = 256 * 1024;          // patch output buffer
constexpr long writebackstep = 8L * 1024 * 1024; // patch bytes whose writeback is started at once
constexpr long undospan = 1024 * 1024;          // image bytes whose undo records out of order are sorted together
constexpr long undobatch = 512 * 1024;          // records sorted at once

// Runs zemmake on its command line; returns the exit status.
int zemmakemain(int argc, char **argv);

// Prints "zemmake: " and the message on standard error; returns false.
bool fail(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

// The patch being written: a temporary file beside the target, renamed into
// place once complete, removed on any error or interrupting signal.
struct PatchOut {
    const char *target;
    int fd;
    int64_t size;        // bytes written so far, buffered ones included
    int64_t records;
    int64_t databytes;   // record data bytes
    int64_t started;     // bytes whose writeback to the disk has been started
    long buflen;         // bytes in the buffer
    unsigned char tail[zem::diztagfromend];   // the last bytes written to the file
};

// Makes every signal that would end the process remove the temporary patch
// first, then end it as before. For main only: a process that calls
// zemmakemain itself (a fuzzer) keeps its own handlers.
void catchsignals();
// Fails when target exists and force is off, or when it is one of the inputs
// (input3 may be null).
bool checktarget(const char *target, bool force, const char *input1, const char *input2,
                 const char *input3);
bool outopen(PatchOut &out, const char *target);
bool outwrite(PatchOut &out, const void *data, size_t len);
bool outrecord(PatchOut &out, int64_t pos, const unsigned char *data, long len);
// Writes out the buffer, so that out.tail holds the patch's last bytes.
bool outflush(PatchOut &out);
// Flushes, syncs and closes the temporary file; on failure removes it.
bool outclose(PatchOut &out);
// Puts the closed patch in place; without force an existing target wins.
bool outplace(PatchOut &out, bool force);
void outabort(PatchOut &out);
// Writes the 56-byte header shared by both versions (method, description).
bool outheader(PatchOut &out, int method, const std::string &desc);

// Plans records over changed bytes handed over in runs, and writes them.
// Changed bytes are grouped into clusters: a gap of recheadlen unchanged
// bytes or more is never worth covering, so clusters are planned apart.
// Within a cluster the cheapest cover (data plus a head per record) is found
// exactly, with constant work per byte (see zemplan.cpp).
// Positions a cluster spans at most: its changed bytes and the gaps of fewer
// than recheadlen bytes between its runs.
constexpr long planmaxspan = planmaxbytes + (planmaxruns - 1) * (zem::recheadlen - 1);
// No cover of a cluster has more records than this (each costs recheadlen + 1
// at least, and one record per run cut at recmaxdata bytes is a cover).
constexpr long planmaxrecs =
    (planmaxbytes + zem::recheadlen * (planmaxruns + planmaxbytes / zem::recmaxdata + 1)) /
        (zem::recheadlen + 1) + 1;
struct Planner {
    PatchOut *out;
    const disc::Image *source;  // where the record data is read from, or null: see planblock

    /* The block of the data file that runs are handed over from (no source) */
    const unsigned char *block;
    int64_t blockpos;
    long blocklen;
    int64_t have;               // data[] holds the cluster's bytes up to here

    /* The cluster: changed bytes from base on, positions counted from base */
    int64_t base;
    long span;                  // positions up to the last changed byte, that one included
    long nbytes;                // changed bytes
    long nruns;
    int32_t runstart[planmaxruns], runend[planmaxruns];

    // g[x]: the cheapest cover of the changed bytes before x, less x.
    // gbuf holds recmaxdata positions before the cluster, never a choice.
    int32_t gbuf[zem::recmaxdata + planmaxspan + 1];
    int32_t *g;

    // Run starts within a record's reach, by rising g (a ring).
    int32_t candx[2 * zem::recmaxdata], candg[2 * zem::recmaxdata];
    long candfirst;
    long ncand;

    int32_t recx[planmaxrecs];  // the records found, from the last one back
    unsigned char reclen[planmaxrecs];

    unsigned char data[planmaxspan + zem::recheadlen];   // the cluster's bytes, from base on

    /* Record data read from source: the cache, and the bytes after it, read
       on a second thread while the planner uses the cache */
    unsigned char cachebufs[2][datacachelen];
    unsigned char *cache;       // data file bytes at cachepos
    int64_t cachepos;
    long cachelen;
    unsigned char *ahead;       // the other buffer: the bytes at aheadpos
    int64_t aheadpos;
    long aheadlen;              // bytes read there, once done
    int aheaderr;               // the read's errno
    enum { aheadnone, aheadasked, aheaddone } aheadstate;
    bool aheadpending;          // asked for and not yet taken (the planner's own)
    bool aheadstop;
    std::thread aheadthread;
    std::mutex aheadlock;
    std::condition_variable aheadchange;
};

// Record data is read from the image source, or without one taken from the
// blocks planblock hands over.
void planinit(Planner &pl, PatchOut &out, const disc::Image *source);
// The data file's len bytes at pos, where the runs handed over next lie. The
// planner copies what it needs of them before the next call, which may hand
// over a null block to say that the bytes are about to change.
void planblock(Planner &pl, const unsigned char *block, int64_t pos, long len);
// Hands over len changed bytes at start; runs come in ascending order
// (one that does not simply starts a new cluster).
bool planrun(Planner &pl, int64_t start, int64_t len);
// Writes the records of the cluster still open.
bool planfinish(Planner &pl);
// Ends the planner's reading thread, if it started one; after planfinish or a failure.
void planend(Planner &pl);

// What a run made, for the summary line.
// Sectors the summary or a warning names.
constexpr int namedsectors = 5;
struct Summary {
    int64_t changed;     // bytes of the original that differ (or that the undo restores)
    int64_t grows;       // bytes the image grows by
    /* An undo: the file its image grows in (the image, or a cue sheet's last
       track file) and that file's size now */
    const char *lastfile;
    int64_t lastsize;
    /* A patch: the data sectors it changes whose codes are wrong in MODIFIED */
    int64_t codeswrong;
    int64_t codesfirst[namedsectors];
    /* A repair: sectors in scope, by what was found */
    int64_t repaired[4];   // by cd::Kind: Mode 1, Form 1, Form 2 (none unused)
    int64_t right;         // codes right already
    int64_t noedc;         // EDC zero: not computed, left as they are
    int64_t notdata;       // no sync pattern, Mode 0, disagreeing subheaders
    int64_t audio;         // in a cue sheet's AUDIO tracks: never data sectors
    int64_t nocodes;       // in tracks of fewer than 2352 bytes a sector: no codes kept
    int64_t pastend;       // in scope but not whole sectors of the image
};

struct MakeArgs {
    bool v1;
    bool force;
    bool fixcodes;    // write right EDC and ECC into the changed data sectors
    std::string desc;
    const char *dizpath;
};

// The sectors a repair looks at.
struct RepairScope {
    const char *patchpath;   // the sectors this patch writes into, or null
    bool range;              // sectors first to last, when patchpath is null
    int64_t first, last;     // (neither: every sector)
};

// Each writes the patch into its temporary file and closes it; the caller
// puts it in place (outplace) or drops it (outabort).
bool makepatch(const MakeArgs &args, const char *origpath, const char *modpath,
               const char *target, PatchOut &out, Summary &sum);
bool makeundo(const MakeArgs &args, const char *imagepath, const char *zempath,
              const char *target, PatchOut &out, Summary &sum);
bool makerepair(const MakeArgs &args, const RepairScope &scope, const char *imagepath,
                const char *target, PatchOut &out, Summary &sum);

// Identifies the patch at zemfd and finds its records area, as every program
// does; fails, saying why, when it is no patch zemmake reads or is damaged.
bool findarea(int zemfd, int64_t zemlen, const char *zempath, zem::kind &kind, zem::Area &area);
// Writes the header of a version 2.0 patch made for the image (its size and
// validation block) after the common one.
bool writecheck(PatchOut &out, const disc::Image &img);
// Ends a version 2.0 patch: the FILE_ID.DIZ trailer when args asks for one
// (its text read into dizlen bytes by readdiz), else an empty record should
// the records end in what would read as a trailer tag.
bool readdiz(const char *path, long &len);
bool endv2(const MakeArgs &args, PatchOut &out, long dizlen);

// Opens path for reading, a regular file; sets its size. Returns -1 on failure.
int openinput(const char *path, int64_t &size);
// Opens two inputs as above; on failure neither stays open.
bool openinputs(const char *path1, int &fd1, int64_t &size1, const char *path2, int &fd2,
                int64_t &size2);
// Whether a file of this size can be addressed by ZEM's signed 32-bit offsets;
// says why not when it cannot.
bool fitsoffsets(const char *path, int64_t size);
// Opens the image at path for reading: one file, or a cue sheet whose track
// files make one logical image. None of its files may be the file exclude
// (a patch read beside it, named excludename) or target, the output. Fails,
// saying why, with nothing left open. An Image is large: keep it static.
bool openimagein(const char *path, disc::Image &img, const char *target,
                 const char *exclude = nullptr, const char *excludename = nullptr);
// Says that reading img failed in its file failedfile (-1: the last), with
// errno err, or with err 0 because the file became shorter; returns false.
bool readfailed(const disc::Image &img, int failedfile, int err);
using zem::readat;
