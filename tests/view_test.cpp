// libzem's view against the real Mavrin: random images (one file or cue
// sheets), one to four patches applied in order, the view read in random
// pieces; refusals with their codes; several threads reading one view.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <malloc.h>
#include <new>
#include <random>
#include <thread>
#include <unistd.h>

#include "patchbuilder.hpp"
#include "zem.h"

namespace {

// Every allocation through new counted, so that a test can see how much
// memory building an index holds at its peak.
std::atomic<size_t> heldbytes{0}, peakbytes{0};

} // namespace

void *operator new(size_t n)
{
    void *p = std::malloc(n ? n : 1);
    if (!p) throw std::bad_alloc();
    size_t now = heldbytes += malloc_usable_size(p);
    for (size_t peak = peakbytes; now > peak && !peakbytes.compare_exchange_weak(peak, now);) {
    }
    return p;
}
void operator delete(void *p) noexcept
{
    if (!p) return;
    heldbytes -= malloc_usable_size(p);
    std::free(p);
}
void operator delete(void *p, size_t) noexcept
{
    operator delete(p);
}
// The array forms too: a sanitizer's runtime would take them otherwise.
void *operator new[](size_t n)
{
    return operator new(n);
}
void operator delete[](void *p) noexcept
{
    operator delete(p);
}
void operator delete[](void *p, size_t) noexcept
{
    operator delete(p);
}

namespace {

struct Scratch {
    std::string dir;
    Scratch()
    {
        char tmpl[] = "/tmp/viewtest.XXXXXX";
        dir = mkdtemp(tmpl);
    }
    ~Scratch() { (void)std::system(("rm -rf '" + dir + "'").c_str()); }
    std::string path(const std::string &name) const { return dir + "/" + name; }
};

// Writes image as one file or as a cue sheet of nfiles track files cut at
// random; returns the path to open.
std::string writeimage(const Scratch &s, const std::string &name, const bytes &image, int nfiles,
                       std::mt19937 &rnd)
{
    if (nfiles == 0) {
        writefile(s.path(name + ".bin"), image);
        return s.path(name + ".bin");
    }
    std::vector<size_t> cuts = {0, image.size()};
    while (int(cuts.size()) < nfiles + 1) {
        size_t c = 1 + rnd() % (image.size() - 1);
        if (std::find(cuts.begin(), cuts.end(), c) == cuts.end()) cuts.push_back(c);
    }
    std::sort(cuts.begin(), cuts.end());
    std::string cue;
    for (int i = 0; i < nfiles; i++) {
        std::string f = name + "-" + std::to_string(i) + ".bin";
        writefile(s.path(f), bytes(image.begin() + long(cuts[size_t(i)]),
                                   image.begin() + long(cuts[size_t(i) + 1])));
        char track[128];
        std::snprintf(track, sizeof track, "FILE \"%s\" BINARY\n  TRACK %02d MODE1/2352\n"
                      "    INDEX 01 00:00:00\n", f.c_str(), i + 1);
        cue += track;
    }
    writefile(s.path(name + ".cue"), bytes(cue.begin(), cue.end()));
    return s.path(name + ".cue");
}

// The image Mavrin leaves: its files (or the one file) put back together.
bytes readback(const Scratch &s, const std::string &name, int nfiles)
{
    if (nfiles == 0) return readfile(s.path(name + ".bin"));
    bytes all;
    for (int i = 0; i < nfiles; i++) {
        bytes b = readfile(s.path(name + "-" + std::to_string(i) + ".bin"));
        all.insert(all.end(), b.begin(), b.end());
    }
    return all;
}

// A random patch over an image of size bytes as model holds it: records in
// image order or shuffled, overlapping, past the end; a version 2.0 patch
// made for model most of the time, else for a changed size or block.
bytes randompatch(std::mt19937 &rnd, const bytes &model)
{
    bool v2 = rnd() % 2;
    bytes p = zemheader(v2 ? zem::methodv2 : zem::methodv1);
    if (v2) {
        bytes m = model;
        int32_t size = int32_t(m.size());
        switch (rnd() % 6) {
        case 0: size += 1 + int32_t(rnd() % 3); break;
        case 1: putbytes(m, int32_t(zem::imageblockpos + rnd() % zem::checkblocklen), {0x5a}); break;
        }
        addcheck(p, size, m);
    }
    struct Rec { int32_t pos; bytes data; };
    std::vector<Rec> recs(rnd() % 40);
    int64_t span = int64_t(model.size()) + 700;
    int32_t hot = int32_t(rnd() % uint32_t(span));   // where records pile up
    for (Rec &r : recs) {
        r.pos = rnd() % 3 ? int32_t(rnd() % uint32_t(span)) : hot + int32_t(rnd() % 300);
        if (rnd() % 8 == 0) r.pos = int32_t(zem::imageblockpos - 100 + rnd() % 1200);
        r.data.resize(rnd() % 5 ? rnd() % 40 : rnd() % 256);
        for (auto &b : r.data) b = (unsigned char)rnd();
    }
    if (rnd() % 2)
        std::sort(recs.begin(), recs.end(), [](const Rec &a, const Rec &b) { return a.pos < b.pos; });
    for (const Rec &r : recs) addrecord(p, r.pos, r.data);
    if (v2 && rnd() % 2) adddiz(p, "a trailer");
    return p;
}

int expectedrefusal(const std::string &out)
{
    if (out.find("size of the BIN file isnt correct") != std::string::npos) return ZEM_EWRONGSIZE;
    if (out.find("does not seem to be the right one") != std::string::npos) return ZEM_EWRONGIMAGE;
    return ZEM_OK;
}

// The index is built in the memory it ends in: records in order, later
// records covering earlier ones whole, or splitting them, or at random over
// a small span; the view's bytes against the records applied in order, and
// the memory held at the peak of opening, and after, against 12 bytes a
// piece, besides what a view over an empty patch holds (its peak: the 1 MiB
// buffer the records are read through). Allocated once at its size (and a
// few places spare for split records), the list of one patch's records is
// its peak; each further patch's records are added to a copy, and many
// records split in three need more places.
TEST(View, IndexBuiltInPlace)
{
    enum Shape { inorder, covered, split, fewsplit, random };
    struct Row {
        const char *name;
        Shape shape;
        double peak;     // at most, in pieces per record of each patch (random: not checked)
        double pieces;   // in the index, per record of each patch
    };
    const Row rows[] = {
        {"in order", inorder, 1.0, 1},
        {"covered whole", covered, 3.1, 1},
        {"split", split, 5.1, 3},
        {"out of order, few split", fewsplit, 1.06, 1.02},
        {"random", random, 0, 0},
    };
    const size_t n = 60000;
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        Scratch s;
        std::mt19937 rnd(unsigned(row.shape) + 11);
        bytes image = makeimage(row.shape == random ? 5000 : n * 256, 3), model = image;
        std::vector<bytes> patches(row.shape == inorder ? 1 : row.shape == random ? 3 : 2,
                                   zemheader(zem::methodv1));
        auto add = [&](size_t k, int32_t pos, size_t len) {
            bytes data(len);
            for (auto &b : data) b = (unsigned char)rnd();
            addrecord(patches[k], pos, data);
            std::copy(data.begin(), data.end(), model.begin() + pos);
        };
        for (size_t i = 0; i < n; i++) {
            int32_t at = int32_t(i * 256);
            switch (row.shape) {
            case inorder: add(0, at, 1 + rnd() % 255); break;
            case covered: add(0, at + int32_t(rnd() % 200), 1 + rnd() % 50); break;
            case split: add(0, at, 255); break;
            case fewsplit: break;
            case random: add(i * 3 / n, int32_t(rnd() % 4000), 1 + rnd() % 255); break;
            }
        }
        std::vector<int32_t> shuffled;
        for (size_t i = 0; i < n && row.shape == fewsplit; i++) shuffled.push_back(int32_t(i * 256));
        std::shuffle(shuffled.begin(), shuffled.end(), rnd);
        for (size_t i = 0; i < shuffled.size(); i++) {
            add(0, shuffled[i], 200);
            if (i % 100 == 99) add(0, shuffled[i - 50] + 50, 1);
        }
        for (size_t i = 0; i < n && (row.shape == covered || row.shape == split); i++)
            add(1, int32_t(i * 256) + (row.shape == split ? 100 : 0), row.shape == split ? 1 : 255);
        writefile(s.path("image.bin"), image);
        std::vector<std::string> names;
        for (size_t k = 0; k < patches.size(); k++) {
            names.push_back(s.path("p" + std::to_string(k) + ".zem"));
            writefile(names.back(), patches[k]);
        }
        std::vector<const char *> list;
        for (const std::string &name : names) list.push_back(name.c_str());

        // What a view holds besides its index: opened over an empty patch.
        auto open = [&](const std::vector<const char *> &with, size_t &peak, size_t &held) {
            const size_t before = heldbytes;
            peakbytes = before;
            int error = 0;
            zem_view *v = zem_view_open(s.path("image.bin").c_str(), with.data(), int(with.size()), 0, &error);
            EXPECT_NE(v, nullptr) << error;
            peak = peakbytes - before;
            held = heldbytes - before;
            return v;
        };
        writefile(s.path("empty.zem"), zemheader(zem::methodv1));
        const std::string empty = s.path("empty.zem");
        size_t fixedpeak, fixedheld, peak, held;
        zem_view_close(open({empty.c_str()}, fixedpeak, fixedheld));
        zem_view *v = open(list, peak, held);
        ASSERT_NE(v, nullptr);
        if (row.peak > 0) {
            EXPECT_LE(double(peak), double(fixedpeak) + 12.0 * double(n) * row.peak + 4096) << fixedpeak;
            // a few places spare, allocated but never touched
            EXPECT_LE(double(held), double(fixedheld) + 12.0 * double(n) * row.pieces * 1.04 + 4096) << fixedheld;
        }
        bytes got(model.size());
        EXPECT_EQ(zem_view_read(v, got.data(), got.size(), 0), int64_t(got.size()));
        EXPECT_TRUE(got == model);
        zem_view_close(v);
    }
}

TEST(View, DifferentialAgainstMavrin)
{
    for (unsigned round = 0; round < 120; round++) {
        SCOPED_TRACE("round " + std::to_string(round));
        std::mt19937 rnd(round);
        Scratch s;
        size_t size = rnd() % 3 ? 2 + rnd() % 5000 : 36000 + rnd() % 5000;
        bytes image = makeimage(size, round + 1);
        int nfiles = rnd() % 2 ? 0 : 1 + int(rnd() % 5);
        std::mt19937 cuts(round), samecuts(round);   // the same cuts for Mavrin's copy
        std::string viewpath = writeimage(s, "view", image, nfiles, cuts);
        writeimage(s, "m", image, nfiles, samecuts);
        std::string mpath = nfiles ? s.path("m.cue") : s.path("m.bin");

        int npatches = 1 + int(rnd() % 4);
        std::vector<std::string> names;
        int refusal = ZEM_OK, refused = -1;
        for (int k = 0; k < npatches; k++) {
            bytes model = readback(s, "m", nfiles);
            names.push_back(s.path("p" + std::to_string(k) + ".zem"));
            writefile(names.back(), randompatch(rnd, model));
            RunResult r = runprog(MAVRIN_DYNAMIC, {mpath, names.back()}, "yy");
            ASSERT_NE(r.out.find("DONE.."), std::string::npos) << r.out;
            if (refused < 0 && expectedrefusal(r.out) != ZEM_OK) {
                refusal = expectedrefusal(r.out);
                refused = k;
            }
        }
        bytes want = readback(s, "m", nfiles);
        std::vector<const char *> argv;
        for (auto &n : names) argv.push_back(n.c_str());

        int error = -1, failed = -2;
        zem_view *strict = zem_view_open_ex(viewpath.c_str(), argv.data(), npatches, 0, &error, &failed);
        EXPECT_EQ(error, refusal);
        EXPECT_EQ(failed, refused);
        EXPECT_EQ(strict != nullptr, refusal == ZEM_OK);
        zem_view_close(strict);

        zem_view *v = zem_view_open(viewpath.c_str(), argv.data(), npatches, ZEM_ANYIMAGE, &error);
        ASSERT_NE(v, nullptr) << zem_strerror(error);
        ASSERT_EQ(zem_view_size(v), int64_t(want.size()));
        bytes got(want.size() + 300, 0xee);
        for (int64_t at = 0; at < int64_t(want.size());) {
            size_t len = rnd() % 4 ? 1 + rnd() % 600 : 1 + rnd() % 9000;
            int64_t n = zem_view_read(v, got.data() + at, len, at);
            ASSERT_EQ(n, std::min(int64_t(len), int64_t(want.size()) - at));
            at += n;
        }
        got.resize(want.size());
        EXPECT_TRUE(got == want);
        char one;
        EXPECT_EQ(zem_view_read(v, &one, 1, int64_t(want.size())), 0);

        // The track files as windows, the last one lengthened.
        ASSERT_EQ(zem_view_nfiles(v), std::max(nfiles, 1));
        int64_t next = 0;
        for (int i = 0; i < zem_view_nfiles(v); i++) {
            const char *name;
            int64_t first, fsize;
            ASSERT_EQ(zem_view_file(v, i, &name, &first, &fsize), ZEM_OK);
            EXPECT_EQ(first, next);
            std::string f = nfiles ? s.path("m-" + std::to_string(i) + ".bin") : s.path("m.bin");
            EXPECT_EQ(fsize, int64_t(readfile(f).size())) << name;
            next += fsize;
        }
        EXPECT_EQ(zem_view_file(v, zem_view_nfiles(v), nullptr, nullptr, nullptr), ZEM_EINVAL);
        zem_view_close(v);
        // Nothing written: the view's files are as they were.
        EXPECT_TRUE(readback(s, "view", nfiles) == image);
    }
}

TEST(View, Refusals)
{
    Scratch s;
    bytes image = makeimage(40000);
    writefile(s.path("i.bin"), image);
    bytes good = zemheader(zem::methodv2);
    addcheck(good, int32_t(image.size()), image);
    addrecord(good, 10, {1, 2, 3});
    bytes truncated = good;
    truncated.pop_back();
    bytes negative = zemheader(zem::methodv1);
    addrecord(negative, -5, {1});
    bytes method = zemheader(zem::methodv1);
    method[zem::methodpos] = 7;
    bytes wrongsize = zemheader(zem::methodv2);
    addcheck(wrongsize, int32_t(image.size()) - 1, image);
    bytes wrongblock = zemheader(zem::methodv2);
    bytes other = image;
    other[zem::imageblockpos + 1023] ^= 1;
    addcheck(wrongblock, int32_t(image.size()), other);
    bytes negdiz = good;
    adddiz(negdiz, "", -1);
    bytes grows = zemheader(zem::methodv1);   // makes the next 2.0 patch's size wrong
    addrecord(grows, int32_t(image.size()), {9});
    const std::string cue = "FILE \"i.bin\" BINARY\n  TRACK 01 MODE1/2352\n    INDEX 01 00:00:00\n"
                            "FILE \"x.bin\" BINARY\n  TRACK 02 AUDIO\n    INDEX 01 00:00:00\n";
    writefile(s.path("cue.cue"), bytes(cue.begin(), cue.end()));

    struct Case {
        const char *what;
        std::vector<bytes> patches;
        unsigned flags;
        int error, failed;
        const char *image = nullptr;
        std::string why = "";   // the reason in words: zem_strerror's unless given
    };
    const bytes notzem = {'Z', 'E', 'N', 0, 0, 0};
    const std::vector<Case> cases = {
        {"sound", {good, good}, 0, ZEM_OK, -1},
        {"no patches", {}, 0, ZEM_OK, -1},
        {"not ZEM", {good, notzem}, 0, ZEM_ENOTZEM, 1},
        {"unknown method", {method}, 0, ZEM_EMETHOD, 0},
        {"truncated record", {truncated}, ZEM_ANYIMAGE, ZEM_EDAMAGED, 0},
        {"negative offset", {good, good, negative}, 0, ZEM_EDAMAGED, 2},
        {"negative trailer length", {negdiz}, ZEM_ANYIMAGE, ZEM_EDAMAGED, 0},
        {"wrong size", {wrongsize}, 0, ZEM_EWRONGSIZE, 0},
        {"wrong size, any image", {wrongsize}, ZEM_ANYIMAGE, ZEM_OK, -1},
        {"wrong block", {wrongblock}, 0, ZEM_EWRONGIMAGE, 0},
        {"wrong block, any image", {wrongblock}, ZEM_ANYIMAGE, ZEM_OK, -1},
        {"wrong after an earlier patch", {grows, good}, 0, ZEM_EWRONGSIZE, 1},
        {"missing patch", {good, bytes()}, 0, ZEM_EPATCH, 1},
        {"missing track file", {good}, 0, ZEM_EIMAGE, -1, "cue.cue",
         s.path("x.bin") + ", listed in " + s.path("cue.cue") + ", is missing"},
        {"missing image", {good}, 0, ZEM_EIMAGE, -1, "none.bin", s.path("none.bin") + " is missing"},
        {"image a folder", {good}, 0, ZEM_EIMAGE, -1, ".",
         s.path(".") + " is not a regular file or block device"},
        {"unknown flag", {good}, 2, ZEM_EINVAL, -1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<std::string> names;
        for (size_t k = 0; k < c.patches.size(); k++) {
            names.push_back(s.path("p" + std::to_string(k)));
            if (c.patches[k].empty())
                unlink(names.back().c_str());
            else
                writefile(names.back(), c.patches[k]);
        }
        std::vector<const char *> argv;
        for (auto &n : names) argv.push_back(n.c_str());
        std::string img = s.path(c.image ? c.image : "i.bin");
        int error = -1, failed = -2;
        char why[300];
        zem_view *v = zem_view_open_why(img.c_str(), argv.data(), int(argv.size()), c.flags,
                                        &error, &failed, why, sizeof why);
        EXPECT_EQ(error, c.error) << zem_strerror(error);
        EXPECT_EQ(failed, c.failed);
        EXPECT_EQ(why, !c.why.empty() ? c.why : c.error ? zem_strerror(c.error) : "");
        char cut[8] = "xxxxxxx";   // cut short, always ended
        zem_view_close(zem_view_open_why(img.c_str(), argv.data(), int(argv.size()), c.flags,
                                         nullptr, nullptr, cut, sizeof cut));
        EXPECT_EQ(std::string(cut), std::string(why).substr(0, sizeof cut - 1));
        EXPECT_EQ(v != nullptr, c.error == ZEM_OK);
        zem_view_close(v);
    }
    EXPECT_EQ(zem_view_open(nullptr, nullptr, 0, 0, nullptr), nullptr);
    EXPECT_EQ(zem_version_number(), unsigned(ZEM_VERSION_NUMBER));
    for (int e = ZEM_OK; e <= ZEM_EIO + 1; e++) EXPECT_STRNE(zem_strerror(e), "");
}

// Several threads read one view at once, each its own pieces; a thread's
// failed read is its error only; a patch cut short under the view is a
// failed read, not a signal.
TEST(View, ConcurrentReadsAndFilesCutShort)
{
    Scratch s;
    bytes image = makeimage(300000), want = image;
    std::mt19937 rnd(7);
    bytes patch = zemheader(zem::methodv1);
    for (int i = 0; i < 5000; i++) {
        bytes data(1 + rnd() % 200);
        for (auto &b : data) b = (unsigned char)rnd();
        int32_t pos = int32_t(rnd() % 301000);
        addrecord(patch, pos, data);
        putbytes(want, pos, data);
    }
    writefile(s.path("i.bin"), image);
    writefile(s.path("p.zem"), patch);
    const char *names[] = {s.path("p.zem").c_str()};
    std::string pname = s.path("p.zem");
    names[0] = pname.c_str();
    int error;
    std::string ipath = s.path("i.bin");
    zem_view *v = zem_view_open(ipath.c_str(), names, 1, 0, &error);
    ASSERT_NE(v, nullptr) << zem_strerror(error);
    std::atomic<int> bad{0};
    std::vector<std::thread> threads;
    for (unsigned t = 0; t < 4; t++)
        threads.emplace_back([&, t] {
            std::mt19937 r(t);
            bytes buf(70000);
            if (t == 0 && zem_view_read(v, buf.data(), 1, -1) != -1) bad++;
            for (int i = 0; i < 2000; i++) {
                int64_t at = int64_t(r() % want.size());
                size_t len = 1 + r() % (i % 10 ? 2352 : 70000);
                int64_t n = zem_view_read(v, buf.data(), len, at);
                if (n != std::min(int64_t(len), int64_t(want.size()) - at) ||
                    !std::equal(buf.begin(), buf.begin() + n, want.begin() + at))
                    bad++;
            }
            if (zem_view_error(v) != (t == 0 ? ZEM_EINVAL : ZEM_OK)) bad++;
        });
    for (auto &t : threads) t.join();
    EXPECT_EQ(bad, 0);

    ASSERT_EQ(truncate(pname.c_str(), off_t(patch.size() / 2)), 0);
    bytes buf(want.size());
    EXPECT_EQ(zem_view_read(v, buf.data(), buf.size(), 0), -1);
    EXPECT_EQ(zem_view_error(v), ZEM_EIO);
    zem_view_close(v);
}

} // namespace
