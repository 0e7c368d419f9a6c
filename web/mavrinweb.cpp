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
#include "image.hpp"
#include "zemreader.hpp"

namespace {

// The image is one picked file or a cue sheet's track files (the image
// layer, as in Mavrin). Each file the records change is made on its own, in
// the same one pass over it: the records are cut to the file's bytes of the
// logical image and placed at their offsets in it (the last file takes what
// lies past the logical end, as Mavrin's writes do). A track file that no
// record changes is not read or written at all.

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
    int patchfd;
    int64_t patchlen, imagelen;    // imagelen: the logical image's size
    disc::Image img;
    bool changed[disc::maxfiles];  // a file the records write into
    int64_t clipfrom, clipto;      // the file being made: its bytes of the logical image
    int64_t readlen, outlen;       // its size, and its result's size
    double donebefore, alltotal;   // progress over every file made
    zem::kind kind;
    zem::Trailer trailer;
    int question;                  // the question asked last: 1 size, 2 content

    zem::Area area;
    zem::RecordReader reader;
    unsigned char chunk[256 * 1024];   // the reader's buffer
    int64_t records;               // counted by the check pass
    uint64_t heads;                // the reader's hash of their heads
    int64_t resultlen;             // the logical image's size, or the last record's end

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

// n bytes of the logical image at pos, zeros past what it holds.
void imagebytes(int64_t pos, long n, unsigned char *out)
{
    int64_t got = disc::readimage(w.img, out, n, pos);
    if (got < 0) got = 0;
    std::memset(out + got, 0, size_t(n - got));
}

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
    imagebytes(zem::imageblockpos, zem::checkblocklen, now);
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
        // The record's bytes in the file being made, at their offset in it.
        int64_t pos = int64_t(w.reader.pos), end = pos + w.reader.len;
        int64_t a = pos > w.clipfrom ? pos : w.clipfrom, b = end < w.clipto ? end : w.clipto;
        if (a >= b) {
            w.pending = false;
            continue;
        }
        long len = long(b - a);
        long need = zem::recheadlen + len;
        w.pending = w.batchfill + need > batchlen || nkeys + 2 > keymax;
        if (w.pending) break;
        unsigned char *at = w.batch + w.batchfill;
        zem::putle32(at, uint32_t(a - w.clipfrom));
        at[zem::recposlen] = (unsigned char)len;
        std::memcpy(at + zem::recheadlen, w.reader.data + (a - pos), size_t(len));
        int64_t first = (a - w.clipfrom) >> sliceshift;
        nkeys += 1 + ((b - w.clipfrom - 1) >> sliceshift != first);
        pieces(uint32_t(w.batchfill), a - w.clipfrom, len, false);
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

// Progress counts each made file's bytes, then the patch's records placed
// after the first batch, file after file.
double filework(int i)
{
    const disc::ImageFile &f = w.img.files[i];
    bool last = i == w.img.nfiles - 1;
    int64_t out = last && w.resultlen - f.first > f.size ? w.resultlen - f.first : f.size;
    return double(out) + double(w.area.len);
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
    double part = double(at + len) / double(w.outlen);
    webprogress(w.donebefore + double(at + len) + part * double(batchend() - w.area.first), w.alltotal);
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
        webprogress(w.donebefore + double(w.outlen) + double(from - w.area.first) + part * double(to - from),
                    w.alltotal);
    }
    return true;
}

// The check pass: every record read before anything is written; false when
// the area is damaged or cannot be read. Finds the result's size and the
// files the records change (a single image file is always made).
bool checkrecords()
{
    zem::readrecords(w.reader, w.area, w.patchfd, w.chunk, sizeof w.chunk);
    w.resultlen = w.imagelen;
    for (int i = 0; i < w.img.nfiles; i++) w.changed[i] = !w.img.cue;
    for (;;) {
        zem::step s = zem::nextrecord(w.reader);
        if (s == zem::stepend) break;
        if (s != zem::steprecord) return false;
        int64_t end = int64_t(w.reader.pos) + w.reader.len;
        if (w.reader.len == 0) continue;
        if (end > w.resultlen) w.resultlen = end;
        for (int i = disc::fileat(w.img, w.reader.pos), j = disc::fileat(w.img, end - 1); i <= j; i++)
            w.changed[i] = true;
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
    w.patchfd = -1;
    w.question = 0;
    w.pending = false;
    say("Mavrin v2.0 for the web\n");
    if (!cp437init(error)) {
        say("%s\n", error.c_str());
        return nextend;
    }
    // The image through the image layer, as Mavrin opens it: a cue sheet's
    // track files by the sheet's rules, the refused file named. One file
    // picked as both is refused as Mavrin refuses it: the image cannot be
    // opened for update while it is the patch being read.
    w.patchfd = open(patchpath, O_RDONLY);
    struct stat patchst;
    bool patchok = w.patchfd >= 0 && fstat(w.patchfd, &patchst) == 0;
    static disc::ImageError err;
    bool cue = disc::iscuesheet(imagepath);
    if (!disc::openimage(w.img, imagepath, false, patchok ? &patchst : nullptr, name, err)) {
        say("File %s does not exist.\n", cue ? err.path : imagename);
        return nextend;
    }
    if (!patchok) {
        say("File %s does not exist.\n", name);
        return nextend;
    }
    w.patchlen = filesize(w.patchfd);
    w.imagelen = w.img.size;

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
    w.alltotal = 0;
    for (int i = 0; i < w.img.nfiles; i++)
        if (w.changed[i]) w.alltotal += filework(i);
    return patchdone;
}

// The image's files (after webcheck): how many, each one's path as opened,
// and whether the records change it (a single file: always).
extern "C" EMSCRIPTEN_KEEPALIVE int webnfiles()
{
    return w.img.nfiles;
}
extern "C" EMSCRIPTEN_KEEPALIVE const char *webfilename(int i)
{
    return w.img.files[i].path;
}
extern "C" EMSCRIPTEN_KEEPALIVE int webchanged(int i)
{
    return w.changed[i] ? 1 : 0;
}

// Starts making file i: the records cut to its bytes, the first batch
// read. Returns the outcome so far.
extern "C" EMSCRIPTEN_KEEPALIVE int webfilestart(int i)
{
    const disc::ImageFile &f = w.img.files[i];
    const bool last = i == w.img.nfiles - 1;
    w.clipfrom = f.first;
    w.clipto = last ? INT64_MAX : f.first + f.size;
    w.readlen = f.size;
    w.outlen = last && w.resultlen - f.first > f.size ? w.resultlen - f.first : f.size;
    w.donebefore = 0;
    for (int j = 0; j < i; j++)
        if (w.changed[j]) w.donebefore += filework(j);
    w.pending = false;
    zem::readrecords(w.reader, w.area, w.patchfd, w.chunk, sizeof w.chunk);
    return readbatch() >= 0 ? patchdone : writefailed();
}

// The made file's size, the slices it is written in, and where the worker
// puts the picked file's bytes of a slice (after webfilestart).
extern "C" EMSCRIPTEN_KEEPALIVE double webresultlen()
{
    return double(w.outlen);
}
extern "C" EMSCRIPTEN_KEEPALIVE double webimagelen()
{
    return double(w.readlen);
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

// After the last slice of a file: the later batches, in place. Returns the
// outcome.
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
    return patchdone;
}

// After every file is made: the last of Mavrin's lines.
extern "C" EMSCRIPTEN_KEEPALIVE void webdone()
{
    say("DONE..\n");
}

// The files a cue sheet lists, by the image layer's reading of it, one a
// line; empty when it does not parse (the refusal says why).
extern "C" EMSCRIPTEN_KEEPALIVE const char *weblisted(const char *sheetpath)
{
    static std::string names;
    static disc::CueSheet sheet;
    char reason[disc::reasonmax];
    names.clear();
    int fd = open(sheetpath, O_RDONLY);
    if (fd < 0) return "";
    std::string text;
    char buf[65536];
    long got;
    for (int64_t at = 0; (got = zem::readat(fd, (unsigned char *)buf, sizeof buf, at)) > 0; at += got)
        text.append(buf, size_t(got));
    close(fd);
    if (text.find('\0') != std::string::npos || !disc::parsecue(text.c_str(), sheet, reason, sizeof reason))
        return "";
    for (int i = 0; i < sheet.nfiles; i++) names += std::string(sheet.files[i]) + "\n";
    return names.c_str();
}
