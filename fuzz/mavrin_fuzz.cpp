// Fuzz target: runs the real entry routine on a patch taken from the fuzz
// input and checks what it did against a walk of the patch of its own.
//
// Input layout:
//   byte 0     how the image size is chosen (low 2 bits, see imagesize());
//              bit 2: the image holds the patch's validation block
//   byte 1     size argument
//   byte 2     seed of the image's byte pattern
//   byte 3     how many answer characters are on standard input (low 2 bits)
//   bytes 4-6  the answer characters
//   the rest   the patch file
//
// After each run: the run returned, nothing reached standard error, the
// output ends the way the walk says, no file descriptor was left open, and
// the image is byte for byte unchanged unless the patch is well formed and
// the questions were accepted, in which case it is the original with every
// record written in order.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sanitizer/common_interface_defs.h>
#include <stdio_ext.h>
#include <string>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_map>
#include <vector>

#include "runstate.hpp"
#include "zemformat.hpp"

namespace {

using bytes = std::vector<unsigned char>;

constexpr size_t prefixlen = 7;           // the bytes in front of the patch
constexpr size_t maxanswers = 3;
constexpr long blockend = zem::imageblockpos + zem::checkblocklen;   // 38688
constexpr long nearspan = 128;            // sizes tried on each side of a block edge
constexpr int64_t maximage = 48 * 1024;   // largest stored size taken as the image size
constexpr long sizestep = 16;             // fallback: size argument times this

// Standard streams as they were before the first run; sanitizer reports go
// to the saved standard error, never to the one a run writes to.
int savedin = -1, savedout = -1, savederr = -1;
int infd = -1, outfd = -1, errfd = -1;
RunState rs;

[[noreturn]] void fail(const std::string &what)
{
    std::string msg = "mavrin_fuzz: " + what + "\n";
    ssize_t unused = write(savederr, msg.data(), msg.size());
    (void)unused;
    abort();
}

int newmemfd(const char *name)
{
    int fd = memfd_create(name, 0);
    if (fd < 0) fail(std::string("memfd_create: ") + strerror(errno));
    return fd;
}

void writeall(int fd, const unsigned char *p, size_t n)
{
    size_t done = 0;
    while (done < n) {
        ssize_t w = pwrite(fd, p + done, n - done, off_t(done));
        if (w <= 0) fail(std::string("pwrite: ") + strerror(errno));
        done += size_t(w);
    }
}

bytes readrange(int fd, int64_t at, size_t n)
{
    bytes b(n);
    size_t done = 0;
    while (done < n) {
        ssize_t r = pread(fd, b.data() + done, n - done, off_t(at) + off_t(done));
        if (r <= 0) fail("short read of the image");
        done += size_t(r);
    }
    return b;
}

int64_t filesize(int fd)
{
    struct stat st;
    if (fstat(fd, &st) != 0) fail("fstat");
    return st.st_size;
}

// Empties a memfd that stands in for a standard stream.
void resetstream(int fd)
{
    if (ftruncate(fd, 0) != 0 || lseek(fd, 0, SEEK_SET) != 0) fail("cannot reset a stream");
}

std::string readstream(int fd)
{
    bytes b = readrange(fd, 0, size_t(filesize(fd)));
    return std::string(b.begin(), b.end());
}

int countfds()
{
    DIR *d = opendir("/proc/self/fd");
    if (!d) fail("cannot list /proc/self/fd");
    int n = 0;
    while (readdir(d)) n++;
    closedir(d);
    return n;
}

// What the patch must make the program do.
enum class End { notzem, unknownmethod, aborted, damaged, done };

struct Rec {
    int32_t pos;
    size_t data;   // where its data starts in the patch
    size_t len;
};

struct Expect {
    End end = End::done;
    bool asksize = false;    // the size question is asked
    bool askblock = false;   // the validation block question is asked
    std::vector<Rec> recs;
};

// The patch byte at i, or zero past its end, as a short read leaves it.
unsigned char byteat(const bytes &p, size_t i)
{
    return i < p.size() ? p[i] : 0;
}

int32_t le32at(const bytes &p, size_t i)
{
    unsigned char b[4] = {byteat(p, i), byteat(p, i + 1), byteat(p, i + 2), byteat(p, i + 3)};
    return zem::getle32(b);
}

// Walks the patch front to back: identification, trailer, the two image
// tests with their answers, then the records, which must exactly fill the
// records area and name no negative offset.
Expect walk(const bytes &p, const bytes &image, const std::string &answers)
{
    Expect e;
    const int64_t n = int64_t(p.size());
    if (n < zem::magiclen || std::memcmp(p.data(), "ZEM", zem::magiclen) != 0) {
        e.end = End::notzem;
        return e;
    }
    const int method = byteat(p, zem::methodpos);
    if (method != zem::methodv1 && method != zem::methodv2) {
        e.end = End::unknownmethod;
        return e;
    }

    int64_t first = zem::v1headerlen;
    int64_t areaend = n;
    bool badtrailer = false;
    if (method == zem::methodv2) {
        first = zem::v2headerlen;
        if (n >= zem::diztagfromend &&
            std::memcmp(p.data() + n - zem::diztagfromend, ".DIZ", zem::diztaglen) == 0) {
            int32_t len = le32at(p, size_t(n - zem::dizlenlen));
            badtrailer = len < 0;   // a trailer cannot be shorter than its fixed part
            areaend = n - zem::dizfixedlen - len;
        }

        size_t answered = 0;
        auto accepted = [&]() {
            char c = answered < answers.size() ? answers[answered++] : 0;
            return c == 'y' || c == 'Y';
        };
        e.asksize = le32at(p, zem::imagesizepos) != int64_t(image.size());
        if (e.asksize && !accepted()) {
            e.end = End::aborted;
            return e;
        }
        bool same = true;
        for (long i = 0; i < zem::checkblocklen; i++) {
            size_t at = size_t(zem::imageblockpos + i);
            if (byteat(p, size_t(zem::checkblockpos + i)) != (at < image.size() ? image[at] : 0))
                same = false;
        }
        e.askblock = !same;
        if (e.askblock && !accepted()) {
            e.end = End::aborted;
            return e;
        }
    }

    e.end = End::damaged;
    if (badtrailer || areaend < first || areaend > n) return e;
    for (int64_t at = first; at < areaend;) {
        if (areaend - at < zem::recheadlen) return e;
        int32_t pos = le32at(p, size_t(at));
        size_t len = p[size_t(at + zem::recposlen)];
        if (pos < 0 || at + zem::recheadlen + int64_t(len) > areaend) return e;
        e.recs.push_back({pos, size_t(at + zem::recheadlen), len});
        at += zem::recheadlen + int64_t(len);
    }
    e.end = End::done;
    return e;
}

// Chooses the image size from the first two input bytes: small, around the
// end or the start of the validation block, or the size the patch stores.
int64_t imagesize(unsigned char how, unsigned char arg, const bytes &patch)
{
    switch (how & 3) {
    case 0:
        return arg;
    case 1:
        return blockend - nearspan + arg;
    case 2:
        return zem::imageblockpos - nearspan + arg;
    default: {
        int32_t stored = le32at(patch, zem::imagesizepos);
        return stored >= 0 && stored <= maximage ? stored : int64_t(arg) * sizestep;
    }
    }
}

bytes makeimage(int64_t size, unsigned char seed, bool withblock, const bytes &patch)
{
    bytes img(static_cast<size_t>(size));
    uint32_t x = seed * 2654435761u + 1;
    for (auto &c : img) {
        x = x * 1103515245u + 12345u;
        c = (unsigned char)(x >> 16);
    }
    if (withblock)
        for (long i = 0; i < zem::checkblocklen && size_t(zem::imageblockpos + i) < img.size(); i++)
            img[size_t(zem::imageblockpos + i)] = byteat(patch, size_t(zem::checkblockpos + i));
    return img;
}

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
    // Every standard stream must be open, so that no file of a run lands on 0-2.
    for (int fd = 0; fd <= 2; fd++)
        if (fcntl(fd, F_GETFD) < 0 && open("/dev/null", O_RDWR) != fd) abort();
    savedin = dup(0);
    savedout = dup(1);
    savederr = dup(2);
    __sanitizer_set_report_fd(reinterpret_cast<void *>(intptr_t(savederr)));
    infd = newmemfd("stdin");
    outfd = newmemfd("stdout");
    errfd = newmemfd("stderr");
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

    /* Standard streams to memfds */
    resetstream(infd);
    resetstream(outfd);
    resetstream(errfd);
    writeall(infd, reinterpret_cast<const unsigned char *>(answers.data()), answers.size());
    fflush(stdout);
    fflush(stderr);
    dup2(infd, 0);
    dup2(outfd, 1);
    dup2(errfd, 2);
    __fpurge(stdin);   // drops what the last run left in the buffer
    clearerr(stdin);

    /* The run */
    char prog[] = "Mavrin";
    char *argv[] = {prog, imgpath.data(), zempath.data(), nullptr};
    std::memset(&rs, 0, sizeof rs);
    mavrinrun(rs, 3, argv);

    fflush(stdout);
    fflush(stderr);
    dup2(savedin, 0);
    dup2(savedout, 1);
    dup2(savederr, 2);

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
