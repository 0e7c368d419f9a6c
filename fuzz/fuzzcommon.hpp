// What the fuzz targets share: the input layout, the standard streams of a
// run, and a walk of the patch of their own, written apart from the programs'
// reader so that it can catch it out.
//
// Input layout, the same for every target, so that they share a corpus:
//   byte 0     how the image size is chosen (low 2 bits, see imagesize());
//              bit 2: the image holds the patch's validation block
//   byte 1     size argument
//   byte 2     seed of the image's byte pattern
//   byte 3     how many answer characters are on standard input (low 2 bits)
//   bytes 4-6  the answer characters
//   the rest   the patch file
#pragma once

#include <algorithm>
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
#include <utility>
#include <vector>

#include "zemformat.hpp"

namespace {

using bytes = std::vector<unsigned char>;

constexpr size_t prefixlen = 7;           // the bytes in front of the patch
constexpr size_t maxanswers = 3;
constexpr long blockend = zem::imageblockpos + zem::checkblocklen;   // 38688
constexpr long nearspan = 128;            // sizes tried on each side of a block edge
constexpr int64_t maximage = 48 * 1024;   // largest stored size taken as the image size
constexpr long sizestep = 16;             // fallback: size argument times this

// The target's name, for its messages; each target sets its own.
const char *fuzzname = "fuzz";

// Standard streams as they were before the first run; sanitizer reports go
// to the saved standard error, never to the one a run writes to.
int savedin = -1, savedout = -1, savederr = -1;
int infd = -1, outfd = -1, errfd = -1;

[[noreturn]] void fail(const std::string &what)
{
    std::string msg = std::string(fuzzname) + ": " + what + "\n";
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

// A folder of real files, for the targets that run programs on paths; it
// goes when the fuzzer ends, not left behind in memory.
std::string scratch;

inline std::string inside(const char *name)
{
    return scratch + "/" + name;
}

// The files in the folder, sorted.
inline std::vector<std::string> scratchfiles()
{
    std::vector<std::string> names;
    DIR *d = opendir(scratch.c_str());
    if (!d) fail("cannot list " + scratch);
    while (dirent *e = readdir(d))
        if (e->d_name[0] != '.') names.push_back(e->d_name);
    closedir(d);
    std::sort(names.begin(), names.end());
    return names;
}

// Makes the folder, in memory when /dev/shm is there.
inline void makescratch(const std::string &name)
{
    std::string shm = "/dev/shm/" + name + ".XXXXXX", tmp = "/tmp/" + name + ".XXXXXX";
    const char *d = mkdtemp(shm.data());
    if (!d) d = mkdtemp(tmp.data());
    if (!d) fail("cannot make a folder for the files");
    scratch = d;
    atexit([] {
        for (const std::string &f : scratchfiles()) unlink(inside(f.c_str()).c_str());
        rmdir(scratch.c_str());
    });
}

inline bytes readwhole(const std::string &path)
{
    int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0) fail("cannot open " + path);
    bytes b = readrange(fd, 0, size_t(filesize(fd)));
    close(fd);
    return b;
}

// Makes sure every standard stream is open, so that no file of a run lands
// on 0-2, and makes the memfds that stand in for them during a run.
void setupstreams()
{
    for (int fd = 0; fd <= 2; fd++)
        if (fcntl(fd, F_GETFD) < 0 && open("/dev/null", O_RDWR) != fd) abort();
    savedin = dup(0);
    savedout = dup(1);
    savederr = dup(2);
    __sanitizer_set_report_fd(reinterpret_cast<void *>(intptr_t(savederr)));
    infd = newmemfd("stdin");
    outfd = newmemfd("stdout");
    errfd = newmemfd("stderr");
}

// Points the standard streams at empty memfds, standard input holding input.
void redirectstreams(const std::string &input)
{
    resetstream(infd);
    resetstream(outfd);
    resetstream(errfd);
    writeall(infd, reinterpret_cast<const unsigned char *>(input.data()), input.size());
    fflush(stdout);
    fflush(stderr);
    dup2(infd, 0);
    dup2(outfd, 1);
    dup2(errfd, 2);
    __fpurge(stdin);   // drops what the last run left in the buffer
    clearerr(stdin);
}

void restorestreams()
{
    fflush(stdout);
    fflush(stderr);
    dup2(savedin, 0);
    dup2(savedout, 1);
    dup2(savederr, 2);
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

// How much of a sound patch the image already holds, judged apart from the
// programs: all of it when every byte the records write holds the value the
// last of them leaves; part of it when not all, but at least one record in
// a hundred holds all its bytes, or the image's validation block is not the
// one the patch stores but the one its records leave.
enum class Held { none, part, all };
struct HeldFacts {
    Held held = Held::none;
    bool blockpatched = false;
    int64_t highest = -1;   // the last image byte written
    int64_t tochange = 0;   // bytes written that differ now
    size_t written = 0;     // distinct bytes written
};
// (inline: not every target asks)
inline HeldFacts heldof(const bytes &p, const Expect &e, const bytes &image)
{
    HeldFacts h;
    std::vector<std::pair<int64_t, unsigned char>> last;   // every write, in order
    int64_t inplace = 0;
    for (const Rec &r : e.recs) {
        bool in = r.len > 0;
        for (size_t i = 0; i < r.len; i++) {
            const int64_t at = int64_t(r.pos) + int64_t(i);
            last.push_back({at, p[r.data + i]});
            in = in && at < int64_t(image.size()) && image[size_t(at)] == p[r.data + i];
            h.highest = std::max(h.highest, at);
        }
        inplace += in;
    }
    // The last write of each byte: sorted by place, stable in file order.
    std::stable_sort(last.begin(), last.end(),
                     [](const auto &a, const auto &b) { return a.first < b.first; });
    bytes left(static_cast<size_t>(zem::checkblocklen));
    for (long i = 0; i < zem::checkblocklen; i++) left[size_t(i)] = byteat(p, size_t(zem::checkblockpos + i));
    for (size_t k = 0; k < last.size(); k++) {
        if (k + 1 < last.size() && last[k + 1].first == last[k].first) continue;
        const int64_t at = last[k].first;
        h.written++;
        h.tochange += at >= int64_t(image.size()) || image[size_t(at)] != last[k].second;
        if (at >= zem::imageblockpos && at < blockend) left[size_t(at - zem::imageblockpos)] = last[k].second;
    }
    if (byteat(p, zem::methodpos) == zem::methodv2 && e.askblock) {
        h.blockpatched = true;
        for (long i = 0; i < zem::checkblocklen; i++) {
            const size_t at = size_t(zem::imageblockpos + i);
            h.blockpatched = h.blockpatched && left[size_t(i)] == (at < image.size() ? image[at] : 0);
        }
    }
    if (h.tochange == 0) h.held = Held::all;
    else if ((inplace > 0 && inplace * 100 >= int64_t(e.recs.size())) || h.blockpatched) h.held = Held::part;
    return h;
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

} // namespace
