// The page's patcher, built with Emscripten for a Web Worker: Mavrin's run
// over the picked files, the result written slice by slice into a file the
// page owns in the origin-private file system.
//
// The picked files are mounted read-only (WORKERFS), the patch served from a
// copy the worker made in the origin-private file system: every read here is
// a read of a slice of a file, never the whole of it. The result is written
// through outwrite/outread, which the worker gives a synchronous access
// handle to. Every buffer of the write is a fixed array below; only the
// texts shown before it (the patch's description and FILE_ID.DIZ) are
// strings.
//
// The result is made in one pass over the image: the worker reads each
// slice of it in turn (a stream read into one buffer, so that no memory is
// left for the garbage collector), the records that fall in the slice are
// copied in, and the slice is written out. To place records in any order
// with fixed memory, the records are taken a batch at a time (as many as the
// batch buffer holds) and sorted by slice with a counting sort, each slice's
// records kept in patch order; the first batch goes in during the pass, each
// later one is copied into the written result in place, slice by slice. So
// a later record wins over an earlier one wherever they overlap, as in
// Mavrin; past the image's end the result is lengthened with zeros up to the
// last record's end.
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <emscripten.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "explaintext.hpp"
#include "zemreader.hpp"

namespace {

// Slices of the image: read, patched and written one at a time.
constexpr int sliceshift = 22;
constexpr long slicelen = 1L << sliceshift;   // 4 MiB
constexpr long nslices = long((zem::imagelimit + zem::recmaxdata) >> sliceshift) + 1;
// A batch: the records themselves (offset, length, data, as in the patch),
// and a key for each piece of them (a record across a slice edge is two).
constexpr long batchlen = 16L << 20;
constexpr long keymax = 1L << 19;

// The run: files, what the header said, and the buffers.
struct Web {
    int patchfd, imagefd;
    int64_t patchlen, imagelen;
    zem::kind kind;
    zem::Trailer trailer;
    int question;                  // the question asked last: 1 size, 2 content

    zem::Area area;
    zem::RecordReader reader;
    unsigned char chunk[256 * 1024];   // the reader's buffer
    int64_t records;               // counted by the check pass
    uint64_t heads;                // the reader's hash of their heads
    int64_t resultlen;             // the image's size, or the last record's end

    bool pending;                  // the reader holds a record the last batch had no room for
    unsigned char batch[batchlen];
    long batchfill;
    uint32_t keys[keymax];         // batch offsets of records, sorted by slice
    uint32_t count[nslices];       // pieces in each slice, then where the next goes
    uint32_t start[nslices];
    int64_t lo[nslices], hi[nslices];   // the bytes each slice's pieces cover
    unsigned char slice[slicelen];
};
Web w;

// What the run said, for #log.
EM_JS(void, weblog, (const char *text), { postMessage({log : UTF8ToString(text)}); });
// Progress of the write: done of total bytes.
EM_JS(void, webprogress, (double done, double total), { Module.progress(done, total); });
// The result file: n bytes at at. Each returns the count, or -1 when the
// browser refused (the reason is kept for the page).
EM_JS(int, outwrite, (const unsigned char *p, int n, double at), {
    try {
        return Module.out.write(HEAPU8.subarray(p, p + n), {at : at});
    } catch (e) {
        Module.failure = e.name + ": " + e.message;
        return -1;
    }
});
EM_JS(int, outread, (unsigned char *p, int n, double at), {
    try {
        return Module.out.read(HEAPU8.subarray(p, p + n), {at : at});
    } catch (e) {
        Module.failure = e.name + ": " + e.message;
        return -1;
    }
});

// Prints to #log, as Mavrin prints to its console: whole, never cut short
// (a cut could split a character of a name in two, or drop a line end).
void say(const char *format, ...)
{
    static char text[8192];
    va_list ap, again;
    va_start(ap, format);
    va_copy(again, ap);
    int n = vsnprintf(text, sizeof text, format, ap);
    va_end(ap);
    if (n >= 0 && size_t(n) >= sizeof text) {
        std::string whole(size_t(n) + 1, '\0');
        vsnprintf(&whole[0], whole.size(), format, again);
        weblog(whole.c_str());
    } else if (n >= 0) {
        weblog(text);
    }
    va_end(again);
}

// n bytes of a file at pos into out; what it lacks reads as zeros, as
// Mavrin's short reads leave them.
void bytesat(int fd, int64_t pos, long n, unsigned char *out)
{
    long got = zem::readat(fd, out, n, pos);
    if (got < 0) got = 0;
    std::memset(out + got, 0, size_t(n - got));
}

// The file's size, or -1.
int64_t filesize(int fd)
{
    struct stat st;
    return fstat(fd, &st) == 0 ? int64_t(st.st_size) : -1;
}

// A text of the patch, code page 437, as zeminfo shows it: the description
// on one line after its label, the FILE_ID.DIZ text on as many as it has.
// Sent whole, then its line end: a control character is a glyph of three
// bytes here, so the text may be three times as long as stored.
void saytext(const char *label, const unsigned char *p, long n, bool lines)
{
    std::string text = cp437(p, n);
    if (*label) weblog(label);
    weblog((lines ? forterminal(text) : oneline(text)).c_str());
    weblog("\n");
}

// What the run does next: the page asks, or patches, or it has ended.
enum next { nextend = 0, nextask = 1, nextpatch = 2 };

// The image checks of a version 2.0 patch, from question q on: its size,
// then its bytes at the block offset against the validation block.
int checkimage(int q)
{
    if (q <= 1) {
        unsigned char le[zem::imagesizelen];
        bytesat(w.patchfd, zem::imagesizepos, zem::imagesizelen, le);
        if (w.imagelen < 0 || w.imagelen != zem::getle32(le)) {
            say("The size of the BIN file isnt correct\nCONTINUE though? (y/n): ");
            w.question = 1;
            return nextask;
        }
    }
    static unsigned char stored[zem::checkblocklen], now[zem::checkblocklen];
    bytesat(w.patchfd, zem::checkblockpos, zem::checkblocklen, stored);
    bytesat(w.imagefd, zem::imageblockpos, zem::checkblocklen, now);
    if (q <= 2 && std::memcmp(stored, now, sizeof now) != 0) {
        say("The BINfile does not seem to be the right one\n"
            "CONTINUE though? (Suggestion: NO) (y/n): ");
        w.question = 2;
        return nextask;
    }
    return nextpatch;
}

// The records area, and the last line before the patching starts.
int startpatching()
{
    w.area = zem::recordsarea(w.kind, w.trailer, w.patchlen);
    say("Patching ... ");
    return nextpatch;
}

// Counts each piece of a record in its slice, with the bytes it covers;
// with place set, puts its key in the slice's next slot instead.
void pieces(uint32_t key, int64_t pos, long len, bool place)
{
    int64_t end = pos + len;
    for (int64_t k = pos >> sliceshift; k <= (end - 1) >> sliceshift; k++) {
        if (place) {
            w.keys[w.count[k]++] = key;
            continue;
        }
        int64_t a = pos > k << sliceshift ? pos : k << sliceshift;
        int64_t b = end < (k + 1) << sliceshift ? end : (k + 1) << sliceshift;
        if (w.count[k]++ == 0 || a < w.lo[k]) w.lo[k] = a;
        if (w.count[k] == 1 || b > w.hi[k]) w.hi[k] = b;
    }
}

// Reads the next batch of records into the batch buffer and sorts their
// keys by slice. Returns the records read, 0 at the end, -1 when the patch
// is not what the check pass read.
int64_t readbatch()
{
    std::memset(w.count, 0, sizeof w.count);
    w.batchfill = 0;
    long nkeys = 0;
    int64_t n = 0;
    for (;;) {
        if (!w.pending) {
            zem::step s = zem::nextrecord(w.reader);
            if (s == zem::stepend) break;
            if (s != zem::steprecord) return -1;
            n++;
            if (w.reader.len == 0) continue;   // writes nothing
        }
        long need = zem::recheadlen + w.reader.len;
        w.pending = w.batchfill + need > batchlen || nkeys + 2 > keymax;
        if (w.pending) break;
        unsigned char *at = w.batch + w.batchfill;
        zem::putle32(at, w.reader.pos);
        at[zem::recposlen] = (unsigned char)w.reader.len;
        std::memcpy(at + zem::recheadlen, w.reader.data, size_t(w.reader.len));
        int64_t first = int64_t(w.reader.pos) >> sliceshift;
        nkeys += 1 + ((int64_t(w.reader.pos) + w.reader.len - 1) >> sliceshift != first);
        pieces(uint32_t(w.batchfill), w.reader.pos, w.reader.len, false);
        w.batchfill += need;
    }
    if (w.batchfill == 0) return n;

    /* Where each slice's keys go, then the keys in patch order */
    uint32_t total = 0;
    for (long k = 0; k < nslices; k++) {
        w.start[k] = total;
        total += w.count[k];
        w.count[k] = w.start[k];
    }
    for (long at = 0; at < w.batchfill;) {
        long len = w.batch[at + zem::recposlen];
        pieces(uint32_t(at), zem::getle32(w.batch + at), len, true);
        at += zem::recheadlen + len;
    }
    return n > 0 ? n : 1;
}

// Copies the pieces of slice k into buf, which holds the result's bytes
// from bufat on.
void applyslice(long k, unsigned char *buf, int64_t bufat)
{
    int64_t sliceat = int64_t(k) << sliceshift;
    for (uint32_t i = w.start[k]; i < w.count[k]; i++) {
        const unsigned char *rec = w.batch + w.keys[i];
        int64_t pos = zem::getle32(rec), end = pos + rec[zem::recposlen];
        const unsigned char *data = rec + zem::recheadlen;
        if (pos < sliceat) {
            data += sliceat - pos;
            pos = sliceat;
        }
        if (end > sliceat + slicelen) end = sliceat + slicelen;
        std::memcpy(buf + (pos - bufat), data, size_t(end - pos));
    }
}

// Writes n bytes into the result at at; false when the browser refused.
bool writeall(const unsigned char *p, long n, int64_t at)
{
    return outwrite(p, int(n), double(at)) == n;
}

// Where the records read into the batch end in the patch.
int64_t batchend()
{
    return w.pending ? w.reader.recat : w.area.first + w.area.len;
}

// Progress counts the result's bytes, then the patch's records placed after
// the first batch.
double worktotal()
{
    return double(w.resultlen) + double(w.area.len);
}

// Puts the first batch's records into the slice of the result at at, len
// bytes: its first have bytes the worker has read from the image into
// w.slice, the rest lies past the image's end and reads as zeros. Then
// writes the slice into the result.
bool writeslice(int64_t at, long len, long have)
{
    long k = long(at >> sliceshift);
    std::memset(w.slice + have, 0, size_t(len - have));
    if (k < nslices) applyslice(k, w.slice, at);
    if (!writeall(w.slice, len, at)) return false;
    double part = double(at + len) / double(w.resultlen);
    webprogress(double(at + len) + part * double(batchend() - w.area.first), worktotal());
    return true;
}

// A later batch: the bytes each slice's records cover are read from the
// result, the records copied in, and the bytes written back.
bool laterbatch(int64_t from)
{
    int64_t to = batchend();
    for (long k = 0; k < nslices; k++) {
        if (w.count[k] == w.start[k]) continue;
        long len = long(w.hi[k] - w.lo[k]);
        if (outread(w.slice, int(len), double(w.lo[k])) != len) return false;
        applyslice(k, w.slice, w.lo[k]);
        if (!writeall(w.slice, len, w.lo[k])) return false;
        double part = double(k + 1) / double(nslices);
        webprogress(double(w.resultlen) + double(from - w.area.first) + part * double(to - from),
                    worktotal());
    }
    return true;
}

// The check pass: every record read before anything is written; false when
// the area is damaged or cannot be read. Finds the result's size.
bool checkrecords()
{
    zem::readrecords(w.reader, w.area, w.patchfd, w.chunk, sizeof w.chunk);
    w.resultlen = w.imagelen;
    for (;;) {
        zem::step s = zem::nextrecord(w.reader);
        if (s == zem::stepend) break;
        if (s != zem::steprecord) return false;
        int64_t end = int64_t(w.reader.pos) + w.reader.len;
        if (w.reader.len > 0 && end > w.resultlen) w.resultlen = end;
    }
    w.records = w.reader.records;
    w.heads = w.reader.heads;
    return true;
}

} // namespace

// Starts a run over the patch and the image mounted at these paths; name is
// the patch's name as the page shows it. Prints Mavrin's lines up to the
// first question, or up to "Patching ... ". Returns what comes next.
extern "C" EMSCRIPTEN_KEEPALIVE int webstart(const char *patchpath, const char *imagepath,
                                              const char *name, const char *imagename)
{
    std::string error;
    w.patchfd = w.imagefd = -1;
    w.question = 0;
    w.pending = false;
    say("Mavrin v2.0 for the web\n");
    if (!cp437init(error)) {
        say("%s\n", error.c_str());
        return nextend;
    }
    w.imagefd = open(imagepath, O_RDONLY);
    w.patchfd = open(patchpath, O_RDONLY);
    struct stat imagest, patchst;
    // One file picked as both is refused as Mavrin refuses it: the image
    // cannot be opened for update while it is the patch being read.
    bool same = w.imagefd >= 0 && w.patchfd >= 0 && fstat(w.imagefd, &imagest) == 0 &&
                fstat(w.patchfd, &patchst) == 0 && imagest.st_dev == patchst.st_dev &&
                imagest.st_ino == patchst.st_ino;
    if (w.imagefd < 0 || w.patchfd < 0 || same) {
        say("File %s does not exist.\n", w.imagefd < 0 || same ? imagename : name);
        return nextend;
    }
    w.patchlen = filesize(w.patchfd);
    w.imagelen = filesize(w.imagefd);

    /* Identify */
    unsigned char head[zem::methodpos + 1];
    bytesat(w.patchfd, 0, sizeof head, head);
    w.kind = zem::identify(head, w.patchlen < long(sizeof head) ? w.patchlen : long(sizeof head));
    if (w.kind == zem::notzem) {
        say("File %s if *NO* ZEM file.\n", name);
        return nextend;
    }
    if (w.kind == zem::unknownmethod) {
        say("Unknown Encodingmethod! - check for updates.\n");
        return nextend;
    }

    /* Information lines */
    unsigned char desc[zem::desclen];
    bytesat(w.patchfd, zem::descpos, zem::desclen, desc);
    bool v1 = w.kind == zem::version1;
    say("\nFilename       : %s\n", name);
    say("Enc. Method    : %d (%s)\n", v1 ? zem::methodv1 : zem::methodv2, v1 ? "ZEM1.0" : "ZEM2.0");
    saytext("Description    : ", desc, zem::desclen, false);
    w.trailer = {false, 0};
    if (v1) {
        say("File_id.diz    : no\n\n");   // version 1.0 has no trailer
        return startpatching();
    }

    /* FILE_ID.DIZ */
    unsigned char tail[zem::diztagfromend] = {0};
    if (w.patchlen >= zem::diztagfromend)
        bytesat(w.patchfd, w.patchlen - zem::diztagfromend, zem::diztagfromend, tail);
    w.trailer = zem::findtrailer(tail, w.patchlen);
    if (!w.trailer.present) {
        say("File_id.diz    : no\n\n");
    } else {
        say("File_id.diz    : yes, showing...\n");
        zem::TrailerText text = zem::trailertext(w.trailer, w.patchlen);
        static unsigned char diz[zem::diztextmax];
        if (text.shown > 0) bytesat(w.patchfd, text.at, text.shown, diz);
        saytext("", diz, text.shown, true);
    }
    int next = checkimage(1);
    return next == nextpatch ? startpatching() : next;
}

// The question asked last: 1 the image's size, 2 its validation block. The
// page words it from this alone, never from the lines a patch's text shares.
extern "C" EMSCRIPTEN_KEEPALIVE int webquestion()
{
    return w.question;
}

// The answer to the question asked last; returns what comes next.
extern "C" EMSCRIPTEN_KEEPALIVE int webanswer(int yes)
{
    if (!yes) {
        say("\nAborted...\n");
        return nextend;
    }
    int next = checkimage(w.question + 1);
    return next == nextpatch ? startpatching() : next;
}

// Outcomes of the write.
enum outcome { patchdone = 0, patchdamaged = 1, patchfailed = 2 };

// Ends a write that failed: prints the line; the worker calls it too.
extern "C" EMSCRIPTEN_KEEPALIVE int writefailed()
{
    say("ERROR: writing the patched image failed; the picked file was not changed.\n");
    return patchfailed;
}

// Checks every record before anything is written, then reads the first
// batch. Prints the damaged line when the patch is damaged; returns the
// outcome so far.
extern "C" EMSCRIPTEN_KEEPALIVE int webcheck()
{
    if (w.area.damage != zem::flawnone || !checkrecords()) {
        say("ERROR: damaged ZEM file, the BIN file was not changed.\n");
        return patchdamaged;
    }
    zem::readrecords(w.reader, w.area, w.patchfd, w.chunk, sizeof w.chunk);
    return readbatch() >= 0 ? patchdone : writefailed();
}

// The result's size, the slices it is written in, and where the worker
// puts the image's bytes of a slice (after webcheck).
extern "C" EMSCRIPTEN_KEEPALIVE double webresultlen()
{
    return double(w.resultlen);
}
extern "C" EMSCRIPTEN_KEEPALIVE double webimagelen()
{
    return double(w.imagelen);
}
extern "C" EMSCRIPTEN_KEEPALIVE int webslicelen()
{
    return int(slicelen);
}
extern "C" EMSCRIPTEN_KEEPALIVE unsigned char *webslicebuffer()
{
    return w.slice;
}

// Writes one slice of the result, as writeslice; 0 when it failed.
extern "C" EMSCRIPTEN_KEEPALIVE int webslice(double at, int len, int have)
{
    return writeslice(int64_t(at), len, have) ? 1 : 0;
}

// After the last slice: the later batches, in place. Prints the last of
// Mavrin's lines; returns the outcome.
extern "C" EMSCRIPTEN_KEEPALIVE int webfinish()
{
    int64_t n = 1;
    bool ok = true;
    while (ok && w.pending) {
        int64_t from = batchend();
        if ((n = readbatch()) <= 0) break;
        ok = laterbatch(from);
    }
    // The patch must have held what the check pass read.
    if (!ok || n < 0 || w.reader.records != w.records || w.reader.heads != w.heads)
        return writefailed();
    say("DONE..\n");
    return patchdone;
}
