// Fuzz target: runs Mavrin's entry routine on a patch taken from the fuzz
// input (laid out as fuzzcommon.hpp says) and checks what it did against a
// walk of the patch of its own.
//
// After each run: the run returned, nothing reached standard error, the
// output ends the way the walk says, no file descriptor was left open, and
// the image is byte for byte unchanged unless the patch is well formed and
// the questions were accepted, in which case it is the original with every
// record written in order.
#include <unordered_map>

#include "fuzzcommon.hpp"
#include "runstate.hpp"

namespace {

RunState rs;


// The image must be orig with recs written in order: its size, its first
// orig.size() bytes, every byte a record wrote past that, and zeros in
// every other stretch past it that holds data. A record may lie far beyond
// the end (up to 2 GiB), so the file is sparse and read only where it holds
// data.
void checkpatched(int fd, const bytes &orig, const bytes &patch, const std::vector<Rec> &recs)
{
    bytes near = orig;
    std::unordered_map<int64_t, unsigned char> far;
    int64_t size = int64_t(orig.size());
    for (const Rec &r : recs) {
        for (size_t i = 0; i < r.len; i++) {
            int64_t at = int64_t(r.pos) + int64_t(i);
            if (at < int64_t(orig.size()))
                near[size_t(at)] = patch[r.data + i];
            else
                far[at] = patch[r.data + i];
        }
        if (r.len > 0 && int64_t(r.pos) + int64_t(r.len) > size) size = int64_t(r.pos) + int64_t(r.len);
    }
    if (filesize(fd) != size)
        fail("patched image has size " + std::to_string(filesize(fd)) + ", want " +
             std::to_string(size));
    if (readrange(fd, 0, orig.size()) != near) fail("patched image differs within its old size");

    for (const auto &kv : far)
        if (readrange(fd, kv.first, 1)[0] != kv.second)
            fail("record byte at " + std::to_string(kv.first) + " not written");

    int64_t at = int64_t(orig.size());
    while (at < size) {
        off_t data = lseek(fd, off_t(at), SEEK_DATA);
        if (data < 0) break;   // only a hole is left
        off_t hole = lseek(fd, data, SEEK_HOLE);
        if (hole < 0) fail("SEEK_HOLE");
        bytes got = readrange(fd, data, size_t(hole - data));
        for (size_t i = 0; i < got.size(); i++) {
            auto it = far.find(int64_t(data) + int64_t(i));
            if (got[i] != (it == far.end() ? 0 : it->second))
                fail("byte at " + std::to_string(int64_t(data) + int64_t(i)) +
                     " changed outside every record");
        }
        at = hole;
    }
}

bool endswith(const std::string &s, const std::string &tail)
{
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

// The output must be what the walk predicts: whole for a patch that is not
// identified, else its end from the first question on.
void checkoutput(const std::string &out, const Expect &e, const std::string &zempath)
{
    static const char *const banner = "Mavrin v2.0 for Linux/Unix\n";
    static const char *const sizeq =
        "The size of the BIN file isnt correct\nCONTINUE though? (y/n): ";
    static const char *const blockq = "The BINfile does not seem to be the right one\n"
                                      "CONTINUE though? (Suggestion: NO) (y/n): ";
    std::string tail;
    if (e.asksize) tail += sizeq;
    if (e.askblock) tail += blockq;
    switch (e.end) {
    case End::notzem:
        tail = banner + ("File " + zempath + " if *NO* ZEM file.\n");
        break;
    case End::unknownmethod:
        tail = banner + std::string("Unknown Encodingmethod! - check for updates.\n");
        break;
    case End::aborted:
        tail += "\nAborted...\n";
        break;
    case End::damaged:
        tail += "Patching ... ERROR: damaged ZEM file, the BIN file was not changed.\n";
        break;
    case End::done:
        tail += "Patching ... DONE..\n";
        break;
    }
    if (out.rfind(banner, 0) != 0) fail("no banner:\n" + out);
    bool whole = e.end == End::notzem || e.end == End::unknownmethod;
    if (whole ? out != tail : !endswith(out, tail)) fail("output does not end with:\n" + tail + "\nbut reads:\n" + out);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzzname = "mavrin_fuzz";
    setupstreams();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < prefixlen) return -1;   // keeps such inputs out of the corpus
    const bytes patch(data + prefixlen, data + size);
    const int64_t imglen = imagesize(data[0], data[1], patch);
    const bytes orig = makeimage(imglen, data[2], (data[0] & 4) != 0, patch);
    const std::string answers(reinterpret_cast<const char *>(data) + 4, data[3] % (maxanswers + 1));
    const Expect want = walk(patch, orig, answers);

    const int fdsbefore = countfds();
    int img = newmemfd("image");
    int zem = newmemfd("patch");
    writeall(img, orig.data(), orig.size());
    writeall(zem, patch.data(), patch.size());
    std::string imgpath = "/proc/self/fd/" + std::to_string(img);
    std::string zempath = "/proc/self/fd/" + std::to_string(zem);

    /* The run */
    redirectstreams(answers);
    char prog[] = "Mavrin";
    char *argv[] = {prog, imgpath.data(), zempath.data(), nullptr};
    std::memset(&rs, 0, sizeof rs);
    mavrinrun(rs, 3, argv);
    restorestreams();

    /* Checks */
    std::string err = readstream(errfd);
    if (!err.empty()) fail("the run wrote to standard error:\n" + err);
    checkoutput(readstream(outfd), want, zempath);
    if (want.end == End::done) {
        checkpatched(img, orig, patch, want.recs);
    } else if (filesize(img) != imglen || readrange(img, 0, orig.size()) != orig) {
        fail("image changed by a patch that is not applied");
    }
    close(img);
    close(zem);
    if (countfds() != fdsbefore) fail("the run left a file descriptor open");
    return 0;
}