// zemmake: patches made from two images, applied by the real Mavrin, give the modified image.
#include <csignal>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "cdfixture.hpp"
#include "patchbuilder.hpp"
#include "zemmake.hpp"

namespace {
// Offset of the validation block's bytes in an image.
const size_t block = size_t(zem::imageblockpos);

bytes changed(bytes b, size_t at, size_t len)
{
    for (size_t i = at; i < at + len; i++) b[i] ^= 0x5a;
    return b;
}

bytes concat(bytes a, const bytes &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// The smallest records area that covers every byte where mod differs from
// orig: at each byte either skip it (when unchanged) or start a record there.
long long cheapestarea(const bytes &orig, const bytes &mod)
{
    const long long never = 1LL << 60;
    std::vector<long long> cost(mod.size() + 1, never);
    cost[0] = 0;
    for (size_t i = 0; i < mod.size(); i++) {
        if (cost[i] == never) continue;
        if (i < orig.size() && orig[i] == mod[i]) cost[i + 1] = std::min(cost[i + 1], cost[i]);
        for (size_t len = 1; len <= size_t(zem::recmaxdata) && i + len <= mod.size(); len++)
            cost[i + len] = std::min(cost[i + len], cost[i] + (long long)len + zem::recheadlen);
    }
    return cost[mod.size()];
}
} // namespace

// A temporary folder (from MavrinRun) and the real Mavrin as the parameter.
class ZemMake : public MavrinRun {
protected:
    RunResult make(const std::vector<std::string> &args, long fsizelimit = 0)
    {
        return runprog(ZEMMAKE, args, "", fsizelimit);
    }
    // Makes patch.zem from orig and mod with the extra options; expects success.
    void makepatch(const bytes &orig, const bytes &mod, std::vector<std::string> opts = {})
    {
        writefile(path("orig.bin"), orig);
        writefile(path("mod.bin"), mod);
        opts.insert(opts.end(), {"-f", path("orig.bin"), path("mod.bin"), path("patch.zem")});
        RunResult r = make(opts);
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err, orig == mod ? "zemmake: warning: " + path("orig.bin") + " and " + path("mod.bin") +
                                           " are identical: the patch changes nothing\n"
                                     : "");
        EXPECT_EQ(r.out.rfind(path("patch.zem") + ": ZEM", 0), 0u) << r.out;
    }
    // Mavrin applies a patch file to image.bin, answering nothing.
    std::string mavrin(const std::string &patch)
    {
        RunResult r = runprog(GetParam(), {path("image.bin"), path(patch)});
        return r.out;
    }
    // Files the folder holds, sorted: nothing half-written may stay behind.
    std::vector<std::string> files() const
    {
        std::vector<std::string> names;
        DIR *d = opendir(dir.c_str());
        while (dirent *e = d ? readdir(d) : nullptr)
            if (e->d_name[0] != '.') names.push_back(e->d_name);
        if (d) closedir(d);
        std::sort(names.begin(), names.end());
        return names;
    }
};

INSTANTIATE_TEST_SUITE_P(Mavrin, ZemMake, ::testing::Values(MAVRIN_DYNAMIC), buildname);

TEST_P(ZemMake, RoundTrips)
{
    const bytes img = makeimage(40000);
    const bytes big = makeimage(3 << 20), small = makeimage(100);
    bytes diztail = img;
    std::copy_n(".DIZ\1\0\0\0", 8, diztail.end() - 8);
    bytes blocktag = img;
    const size_t blockend = block + size_t(zem::checkblocklen);
    std::copy_n(".DIZ", 4, blocktag.begin() + long(blockend - zem::diztagfromend));
    struct Case {
        const char *what;
        bytes orig, mod;
    };
    const std::vector<Case> cases = {
        {"no change", img, img},
        {"one byte", img, changed(img, 1234, 1)},
        {"offset 0", img, changed(img, 0, 3)},
        {"the last byte", img, changed(img, img.size() - 1, 1)},
        {"254-byte run", img, changed(img, 100, 254)},
        {"255-byte run", img, changed(img, 100, 255)},
        {"256-byte run", img, changed(img, 100, 256)},
        {"511-byte run", img, changed(img, 100, 511)},
        {"inside the validation block", img, changed(changed(img, block, 1), block + 1000, 30)},
        {"runs across the compare blocks", big, changed(big, 4 * compareblock - 100, 300)},
        {"longer, patterned tail", img, concat(changed(img, 5, 1), makeimage(700, 9))},
        {"longer, zero tail", img, concat(img, bytes(600, 0))},
        {"longer, zeros inside the tail", img, concat(img, concat(bytes(300, 0), {1, 0, 0, 2, 0}))},
        {"empty original", {}, makeimage(1000)},
        {"original ends before the validation block", small, changed(small, 50, 2)},
        {"records end in a trailer tag", img, diztail},
        {"validation block ends in a trailer tag", blocktag, blocktag},
    };
    const std::vector<std::vector<std::string>> versions = {{}, {"-1"}};
    for (const Case &c : cases) {
        for (const auto &opts : versions) {
            bool v1 = !opts.empty();
            std::vector<std::string> args = opts;
            args.insert(args.end(), {"-d", c.what});
            makepatch(c.orig, c.mod, args);
            writefile(path("image.bin"), c.orig);
            // For version 2.0 no question is asked: size and block match.
            EXPECT_EQ(mavrin("patch.zem"),
                      infolines(path("patch.zem"), v1 ? 0 : 1, c.what, nodiz) + done)
                << c.what << (v1 ? " (1.0)" : " (2.0)");
            EXPECT_TRUE(image() == c.mod) << c.what << (v1 ? " (1.0)" : " (2.0)");
        }
    }
}

TEST_P(ZemMake, TrailerShowsTheFileText)
{
    const bytes img = makeimage(40000);
    const std::vector<std::pair<const char *, std::string>> texts = {
        {"empty file", ""},
        {"lines, CR LF, tab, high bytes", "  Some Game (fix)\r\n\tline two \xe9\xff\n"},
        {"longest that fits", std::string(zem::diztextmax - zem::dizhidden, 'x')},
    };
    for (const auto &t : texts) {
        writefile(path("file_id.diz"), bytes(t.second.begin(), t.second.end()));
        makepatch(img, changed(img, 7, 2), {"-d", "diz", "-i", path("file_id.diz")});
        writefile(path("image.bin"), img);
        EXPECT_EQ(mavrin("patch.zem"), infolines(path("patch.zem"), 1, "diz", yes) + t.second +
                                           "\n" + done)
            << t.first;
        EXPECT_TRUE(image() == changed(img, 7, 2)) << t.first;
    }
}

TEST_P(ZemMake, RecordsAreAsFewBytesAsPossible)
{
    // Two changed bytes: covering a gap of up to four bytes saves a head.
    const bytes img = makeimage(2000);
    struct Case {
        const char *what;
        bytes mod;
        long long area;
    };
    const std::vector<Case> cases = {
        {"gap 1: one record", changed(changed(img, 10, 1), 12, 1), 5 + 3},
        {"gap 4: one record", changed(changed(img, 10, 1), 15, 1), 5 + 6},
        {"gap 5: two records", changed(changed(img, 10, 1), 16, 1), 2 * (5 + 1)},
        {"a full record, then a gap of 3 not worth covering",
         changed(changed(img, 10, 250), 263, 10), (5 + 250) + (5 + 10)},
        {"gap of 3 closes a record that still fits", changed(changed(img, 10, 10), 23, 240),
         5 + 253},
    };
    for (const Case &c : cases) {
        makepatch(img, c.mod, {"-1"});
        EXPECT_EQ((long long)readfile(path("patch.zem")).size() - zem::v1headerlen, c.area)
            << c.what;
    }

    // Random patterns of changes, dense and sparse, against the exact cheapest cover.
    uint32_t x = 7;
    for (int round = 0; round < 40; round++) {
        bytes mod = makeimage(1 + round * 37 % 1500, round);
        bytes orig = mod;
        for (size_t i = 0; i < mod.size(); i++) {
            x = x * 1103515245u + 12345u;
            if ((x >> 16) % 100 < unsigned(round % 10) * 10) orig[i] ^= 1;
        }
        makepatch(orig, mod, {"-1"});
        EXPECT_EQ((long long)readfile(path("patch.zem")).size() - zem::v1headerlen,
                  cheapestarea(orig, mod))
            << "round " << round;
    }

    // The benchmark's kinds of change, runs around multiples of the record
    // length, and clusters cut where the planner's memory ends: each piece
    // between cuts must be covered as cheaply as it can be on its own.
    struct Shape {
        const char *what;
        bytes orig, mod;
        std::vector<size_t> cuts;   // image offsets where the planner starts afresh
    };
    std::vector<Shape> shapes;
    const bytes noise = makeimage(40000, 3);
    const size_t big = size_t(planmaxbytes) + 600;
    // dense: random bytes over random bytes, so about one byte in 256 stays equal
    shapes.push_back({"dense", noise, makeimage(40000, 4), {}});
    shapes.back().mod.resize(30000);
    shapes.back().mod.insert(shapes.back().mod.end(), noise.begin() + 30000, noise.end());
    // scattered: 1 to 64 random bytes at random places, some adjacent or overlapping
    shapes.push_back({"scattered", noise, noise, {}});
    for (uint32_t k = 0; k < 1200; k++) {
        x = x * 1103515245u + 12345u;
        size_t at = (x >> 8) % 39900, len = 1 + x % 64;
        for (size_t i = 0; i < len; i++) shapes.back().mod[at + i] = (unsigned char)(x >> (i % 24));
    }
    // runs of 1 to 766 bytes, each length beside each gap of 1 to 6 bytes
    shapes.push_back({"runs around the record length", noise, noise, {}});
    const size_t runlens[] = {1, 2, 254, 255, 256, 509, 510, 511, 765, 766};
    for (size_t k = 0, at = 10; k < 60; at += runlens[k % 10] + 1 + k / 10, k++)
        for (size_t i = at; i < at + runlens[k % 10]; i++) shapes.back().mod[i] ^= 0x5a;
    // one run longer than a cluster may be
    shapes.push_back({"a run cut", makeimage(big), changed(makeimage(big), 100, big - 300),
                      {100 + size_t(planmaxbytes)}});
    // more runs than a cluster may hold, one byte apart
    shapes.push_back({"runs cut", makeimage(big), makeimage(big), {100 + 2 * size_t(planmaxruns)}});
    for (size_t k = 0; k < size_t(planmaxruns) + 50; k++) shapes.back().mod[100 + 2 * k] ^= 0x5a;
    for (Shape &s : shapes) {
        makepatch(s.orig, s.mod, {"-1"});
        long long want = 0;
        s.cuts.insert(s.cuts.begin(), 0);
        s.cuts.push_back(s.mod.size());
        for (size_t k = 0; k + 1 < s.cuts.size(); k++) {
            auto piece = [&](const bytes &b) {
                return bytes(b.begin() + long(s.cuts[k]), b.begin() + long(s.cuts[k + 1]));
            };
            want += cheapestarea(piece(s.orig), piece(s.mod));
        }
        EXPECT_EQ((long long)readfile(path("patch.zem")).size() - zem::v1headerlen, want)
            << s.what;
        writefile(path("image.bin"), s.orig);
        mavrin("patch.zem");
        EXPECT_TRUE(image() == s.mod) << s.what;
    }
}

TEST_P(ZemMake, SummaryLine)
{
    const bytes img = makeimage(100);
    writefile(path("a.bin"), img);
    struct Case {
        bytes mod;
        std::string line;   // behind "p.zem: "
    };
    const std::vector<Case> cases = {
        // changed bytes within the original, and the bytes appended, counted apart
        {concat(changed(img, 3, 1), {1, 2}),
         "ZEM1.0 patch, 2 records, 1 changed byte, 2 bytes appended, a 69-byte patch"},
        // appended zeros change nothing; only the last needs a record
        {concat(img, {0, 0, 0}), "ZEM1.0 patch, 1 record, 0 changed bytes, 3 bytes appended, a 62-byte patch"},
        {changed(img, 0, 100), "ZEM1.0 patch, 1 record, 100 changed bytes, a 161-byte patch"},
        // the same image twice: written, with a warning
        {img, "ZEM1.0 patch, 0 records, 0 changed bytes, a 56-byte patch"},
    };
    for (const Case &c : cases) {
        writefile(path("b.bin"), c.mod);
        RunResult r = make({"-1", "-f", path("a.bin"), path("b.bin"), path("p.zem")});
        EXPECT_EQ(r.out, path("p.zem") + ": " + c.line + "\n");
        EXPECT_EQ(r.err, c.mod == img ? "zemmake: warning: " + path("a.bin") + " and " + path("b.bin") +
                                            " are identical: the patch changes nothing\n"
                                      : "");
        EXPECT_EQ(r.status, 0);
    }
}

TEST_P(ZemMake, UndoOfRecordsInAnyOrderCountsEachByteOnce)
{
    // Records out of order are sorted span by span, a batch at a time; a span
    // with more records than a batch is counted byte by byte instead.
    const int64_t span = undospan, batch = undobatch;
    const bytes img = makeimage(size_t(3 * span + 1000));
    using Recs = std::vector<std::pair<int64_t, long>>;   // offset, length
    uint32_t seed = 7;
    auto scatter = [&seed](Recs &recs, int64_t from, int64_t count) {
        for (int64_t i = 0; i < count; i++) {
            seed = seed * 1103515245u + 12345u;
            recs.push_back({from + (seed >> 8) % (undospan - 8), long(seed % 7 + 1)});
        }
    };
    Recs crowded = {{span + 2, 4}, {span - 3, 10}};   // across a span's edge
    scatter(crowded, 0, batch + 100);
    Recs batched;   // spans 0 and 1 sorted in one batch, span 2 in the next
    for (int s : {2, 1, 0}) scatter(batched, s * span, s == 2 ? batch / 2 : batch / 3);
    const std::vector<std::pair<const char *, Recs>> cases = {
        {"back into the one before", {{100, 10}, {95, 10}}},
        {"apart, in any order", {{200, 5}, {100, 5}, {150, 5}}},
        {"inside, then before", {{100, 50}, {110, 5}, {90, 5}}},
        {"a later one covers an earlier", {{300, 5}, {100, 250}, {95, 255}}},
        {"across a span's edge", {{span - 3, 10}, {span - 5, 4}, {10, 1}}},
        {"clipped at the image's end", {{3 * span + 995, 10}, {3 * span + 990, 8}}},
        {"a span with more records than a batch", crowded},
        {"spans in two batches", batched},
    };
    for (const auto &c : cases) {
        bytes p = zemheader(0);
        std::vector<bool> written(img.size());
        for (const auto &rec : c.second) {
            addrecord(p, int32_t(rec.first), bytes(size_t(rec.second), 0xa5));
            for (int64_t at = rec.first; at < rec.first + rec.second; at++)
                if (at < int64_t(img.size())) written[size_t(at)] = true;
        }
        const long restored = long(std::count(written.begin(), written.end(), true));
        writefile(path("image.bin"), img);
        writefile(path("patch.zem"), p);
        RunResult r = make({"-u", "-f", path("image.bin"), path("patch.zem"), path("undo.zem")});
        EXPECT_EQ(r.status, 0) << c.first << r.err;
        EXPECT_NE(r.out.find(", " + std::to_string(restored) + " bytes restored,"),
                  std::string::npos)
            << c.first << ": " << r.out;
        mavrin("patch.zem");
        mavrin("undo.zem");
        const bytes now = image();   // bytes appended stay
        EXPECT_TRUE(now.size() >= img.size() && std::equal(img.begin(), img.end(), now.begin()))
            << c.first;
    }
}

TEST_P(ZemMake, UndoRestoresTheImage)
{
    const bytes img = makeimage(40000);
    struct Case {
        const char *what;
        bytes patch;
        size_t grows;
    };
    std::vector<Case> cases;
    bytes p = zemheader(0);
    addrecord(p, 10, {1, 2, 3, 4});
    addrecord(p, 12, {5, 6, 7, 8, 9});   // overlaps the one before
    addrecord(p, 11, {10});              // and back into both
    addrecord(p, 500, {});
    addrecord(p, 20, bytes(255, 11));
    addrecord(p, 5, {12, 13});           // before everything so far
    addrecord(p, 21, {14});
    cases.push_back({"overlapping, out of order, empty", p, 0});
    p = zemheader(1, "v2");
    addcheck(p, int32_t(img.size()), img);
    addrecord(p, int32_t(block), bytes(45, 1));
    addrecord(p, 39990, bytes(20, 2));   // lengthens the image by 10
    addrecord(p, 40100, {3});            // past the end: a zero gap, then a byte
    addrecord(p, 39995, {4, 4});
    adddiz(p, "text");
    cases.push_back({"version 2.0 with trailer, growing the image", p, 101});
    for (const Case &c : cases) {
        writefile(path("image.bin"), img);
        writefile(path("patch.zem"), c.patch);
        RunResult r = make({"-u", "-f", path("image.bin"), path("patch.zem"), path("undo.zem")});
        ASSERT_EQ(r.status, 0) << c.what << r.err;
        EXPECT_EQ(r.err, "") << c.what;
        // Where the patch lengthens the image, the summary ends in the command that finishes the undo.
        const std::string finish = ": after applying the undo, run ";
        const size_t at = r.out.find(finish);
        EXPECT_EQ(at != std::string::npos, c.grows > 0) << c.what << r.out;
        std::string applied = mavrin("patch.zem");
        EXPECT_EQ(applied.substr(applied.size() - std::min(applied.size(), done.size())), done)
            << c.what;
        EXPECT_NE(image(), img) << c.what;
        EXPECT_EQ(mavrin("undo.zem"),
                  infolines(path("undo.zem"), 0, "undo patch.zem", nodiz) + done)
            << c.what;
        bytes now = image();
        ASSERT_EQ(now.size(), img.size() + c.grows) << c.what;
        EXPECT_TRUE(bytes(now.begin(), now.begin() + long(img.size())) == img) << c.what;
        if (at == std::string::npos) continue;
        const std::string command = r.out.substr(at + finish.size(), r.out.size() - 1 - at - finish.size());
        EXPECT_EQ(command, "truncate -s 40000 " + path("image.bin")) << c.what;
        EXPECT_EQ(system(command.c_str()), 0) << command;
        EXPECT_TRUE(image() == img) << c.what;
    }

    // The undo of a patch zemmake made: its records meet into one range
    // longer than the planner takes at once, and the image is read ahead
    // past a record that lies across the end of the first read.
    const size_t ahead = size_t(datacachelen);
    const bytes big = makeimage(3 * ahead);
    bytes mod = changed(changed(big, 0, size_t(planmaxbytes) + 600), block + 10, 3);
    for (size_t at : {ahead - 100, ahead + ahead / 2, 2 * ahead + ahead / 2}) mod = changed(mod, at, 200);
    makepatch(big, mod);
    RunResult r =
        make({"-u", "-f", "-d", "back", path("orig.bin"), path("patch.zem"), path("undo.zem")});
    ASSERT_EQ(r.status, 0) << r.err;
    writefile(path("image.bin"), big);
    mavrin("patch.zem");
    EXPECT_TRUE(image() == mod);
    EXPECT_EQ(mavrin("undo.zem"), infolines(path("undo.zem"), 0, "back", nodiz) + done);
    EXPECT_TRUE(image() == big);

    // Made for another image: still written, with a warning.
    writefile(path("image.bin"), makeimage(3 * ahead, 2));
    r = make({"-u", "-f", path("image.bin"), path("patch.zem"), path("undo.zem")});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.err.find("warning: " + path("image.bin") + " is not the image"), std::string::npos)
        << r.err;
}

// A patch that writes no byte changes nothing on any image, the one it was
// made for or another: its undo is made, writing nothing either, with a
// warning that says so (never the advice to make it before applying).
TEST_P(ZemMake, UndoOfAPatchThatWritesNothing)
{
    const bytes img = makeimage(40000), other = makeimage(50000, 3);
    makepatch(img, img);   // zemmake of two identical images
    const bytes same = readfile(path("patch.zem"));
    bytes empties = zemheader(0);
    addrecord(empties, 10, {});
    addrecord(empties, 90000, {});   // past the end: still nothing
    struct Row {
        const char *what;
        bytes patch, image;
    } rows[] = {
        {"from two identical images, on the image", same, img},
        {"from two identical images, on another image", same, other},
        {"version 1.0, no records", zemheader(0), img},
        {"only empty records", empties, img},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        writefile(path("image.bin"), row.image);
        writefile(path("p.zem"), row.patch);
        RunResult r = make({"-u", "-f", path("image.bin"), path("p.zem"), path("undo.zem")});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, "zemmake: warning: " + path("p.zem") +
                             " writes no byte, so it changes nothing: the undo patch changes nothing either\n");
        EXPECT_EQ(r.out, path("undo.zem") + ": ZEM1.0 undo patch, 0 records, 0 bytes restored, a 56-byte patch\n");
        mavrin("p.zem");
        EXPECT_EQ(mavrin("undo.zem"), infolines(path("undo.zem"), 0, "undo p.zem", nodiz) + done);
        EXPECT_TRUE(image() == row.image);
    }
}

TEST_P(ZemMake, UndoRefusesDamagedPatches)
{
    const bytes img = makeimage(1000);
    std::vector<std::pair<const char *, bytes>> cases;
    bytes p = zemheader(0);
    addrecord(p, 1, {1, 2});
    p.push_back(0);
    cases.push_back({"stray byte after the records", p});
    p = zemheader(0);
    addrecord(p, -1, {2});
    cases.push_back({"negative offset", p});
    p = zemheader(1);
    addcheck(p, 1000, img);
    addrecord(p, 1, {1});
    adddiz(p, "text-------", 5000);
    cases.push_back({"trailer length past the start", p});
    p = zemheader(1);
    cases.push_back({"version 2.0 shorter than its header", p});
    cases.push_back({"not a ZEM file", {'Z', 'E', 'N', 0, 0, 0}});
    cases.push_back({"unknown method", zemheader(2)});
    for (const auto &c : cases) {
        writefile(path("image.bin"), img);
        writefile(path("patch.zem"), c.second);
        RunResult r = make({"-u", path("image.bin"), path("patch.zem"), path("undo.zem")});
        EXPECT_EQ(r.status, 1) << c.first;
        EXPECT_EQ(r.out, "") << c.first;
        EXPECT_EQ(r.err.rfind("zemmake: " + path("patch.zem"), 0), 0u) << c.first << ": " << r.err;
        EXPECT_EQ(files(), (std::vector<std::string>{"image.bin", "patch.zem"})) << c.first;
    }
}

TEST_P(ZemMake, Errors)
{
    const bytes img = makeimage(100);
    writefile(path("a.bin"), img);
    writefile(path("short.bin"), bytes(img.begin(), img.end() - 1));
    writefile(path("old.zem"), {'o', 'l', 'd'});
    writefile(path("zero.diz"), {'a', 0, 'b'});
    writefile(path("long.diz"), bytes(size_t(zem::diztextmax - zem::dizhidden + 1), 'x'));
    writefile(path("notes.txt"), {'h', 'i'});
    writefile(path("huge.bin"), {});
    ASSERT_EQ(truncate(path("huge.bin").c_str(), off_t(zem::imagelimit)), 0);   // sparse
    ASSERT_EQ(mkfifo(path("fifo").c_str(), 0600), 0);   // nobody writes to it
    const std::string a = path("a.bin"), out = path("p.zem"), fifo = path("fifo");
    // Cue sheets of a.bin and a missing file, and of a.bin and the patch.
    const std::string first = "FILE \"a.bin\" BINARY\r\n  TRACK 01 MODE2/2352\r\n    INDEX 01 00:00:00\r\n";
    const std::string missing = first + "FILE \"none.bin\" BINARY\r\n  TRACK 02 AUDIO\r\n    INDEX 01 00:00:00\r\n";
    const std::string patched = first + "FILE \"old.zem\" BINARY\r\n  TRACK 02 AUDIO\r\n    INDEX 01 00:00:00\r\n";
    writefile(path("missing.cue"), bytes(missing.begin(), missing.end()));
    writefile(path("patched.cue"), bytes(patched.begin(), patched.end()));
    RunOpts limit500, tofull;
    limit500.fsizelimit = 500;
    tofull.outpath = "/dev/full";
    struct Case {
        std::vector<std::string> args;
        std::string says;   // in the message
        RunOpts opts;
    };
    const std::vector<Case> cases = {
        {{a, path("short.bin"), out}, "a ZEM patch cannot shorten", {}},
        {{path("none.bin"), a, out}, "none.bin is missing", {}},
        {{a, path("none.bin"), out}, "none.bin is missing", {}},
        {{a, path("huge.bin"), out}, "is 2 GiB or larger", {}},
        {{"-u", path("huge.bin"), path("old.zem"), out}, "is 2 GiB or larger", {}},
        {{dir, a, out}, "is not a regular file", {}},
        // FIFOs, which an open would wait on for a writer
        {{fifo, a, out}, "is not a regular file", {}},
        {{a, fifo, out}, "is not a regular file", {}},
        {{"-u", fifo, path("old.zem"), out}, "is not a regular file", {}},
        {{"-u", a, fifo, out}, "is not a regular file", {}},
        {{"-i", fifo, a, a, out}, "is not a regular file", {}},
        {{"-d", std::string(51, 'd'), a, a, out}, "description is 51 bytes", {}},
        {{a, a, path("old.zem")}, "use -f", {}},
        // an output that is an input, even with -f
        {{"-f", a, a, a}, "is also an input", {}},
        {{"-f", "-i", path("notes.txt"), a, a, path("notes.txt")}, "is also an input", {}},
        // cue sheets: the file refused and the sheet that lists it; a track
        // file as the output, even with -f
        {{path("missing.cue"), a, out}, path("none.bin") + ", listed in " + path("missing.cue") + ", is missing", {}},
        {{"-f", a, path("patched.cue"), path("old.zem")}, "is also an input, a track file of " + path("patched.cue"), {}},
        {{"-u", path("patched.cue"), path("old.zem"), out}, path("old.zem") + ", listed in " +
             path("patched.cue") + ", is the same file as the patch", {}},
        {{a, a}, "expected three file names", {}},
        {{"-x", a, a, out}, "unknown option -x", {}},
        {{"--help=3", a, a, out}, "option --help takes no value", {}},
        {{"--helpme", a, a, out}, "unknown option --helpme", {}},
        {{"-1", "-i", path("zero.diz"), a, a, out}, "-i needs a version 2.0 patch", {}},
        {{"-i", path("zero.diz"), a, a, out}, "holds a zero byte", {}},
        {{"-i", path("long.diz"), a, a, out}, "is too long", {}},
        {{"-i", path("none.diz"), a, a, out}, "cannot open", {}},
        // repairs and codes
        {{"-r", "-u", a, out}, "-u and -r exclude each other", {}},
        {{"-e", "-u", a, a, out}, "-e goes with making a patch", {}},
        {{"-e", "-r", a, out}, "-e goes with making a patch", {}},
        {{"-s", "1", a, a, out}, "-p and -s go with -r", {}},
        {{"-r", "-p", path("old.zem"), "-s", "1", a, out}, "-p and -s exclude each other", {}},
        {{"-r", "-s", "5-2", a, out}, "-s needs FIRST or FIRST-LAST", {}},
        {{"-r", "-s", "1-x", a, out}, "-s needs FIRST or FIRST-LAST", {}},
        {{"-r", "-s", "0", a, out}, "has 0 whole sectors", {}},
        {{"-r", "-p", path("old.zem"), a, out}, "is not a ZEM patch", {}},
        {{"-r", "-p", path("none.zem"), a, out}, "cannot open", {}},
        {{"-r", a, a, out}, "expected two file names", {}},
        {{a, a, out}, "writing " + out + " failed", limit500},
        // the summary cannot be printed: the patch is not put in place
        {{a, a, out}, "cannot print the summary", tofull},
    };
    const std::vector<std::string> before = files();
    for (const Case &c : cases) {
        RunResult r = runprog(ZEMMAKE, c.args, c.opts);
        const std::string what = c.args[0] + " ... " + c.args.back();
        EXPECT_EQ(r.status, 1) << what;
        EXPECT_EQ(r.out, "") << what;
        EXPECT_EQ(r.err.rfind("zemmake: ", 0), 0u) << what << ": " << r.err;
        EXPECT_NE(r.err.find(c.says), std::string::npos) << what << ": " << r.err;
        EXPECT_EQ(files(), before) << what;   // nothing written, no temporary left
        EXPECT_EQ(readfile(path("old.zem")), (bytes{'o', 'l', 'd'})) << what;
        EXPECT_EQ(readfile(path("notes.txt")), (bytes{'h', 'i'})) << what;
        EXPECT_EQ(readfile(a), img) << what;
    }

    // The limits themselves are fine; -f overwrites.
    RunResult r = make({"-f", "-d", std::string(50, 'd'), a, a, path("old.zem")});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(readfile(path("old.zem")).size(), size_t(zem::v2headerlen));
    // A name as long as the file system takes, though the temporary one is longer.
    for (size_t len : {254, 255}) {
        const std::string name = path(std::string(len, 'n'));
        r = make({a, a, name});
        EXPECT_EQ(r.status, 0) << len << ": " << r.err;
        EXPECT_EQ(readfile(name).size(), size_t(zem::v2headerlen)) << len;
        unlink(name.c_str());
    }
    EXPECT_EQ(files(), before);
    r = make({"--help"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.rfind("Usage: zemmake", 0), 0u);
    EXPECT_NE(r.out.find("--version"), std::string::npos);
    r = make({"--version"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "zemmake " ZEMMAKE_VERSION "\n");

    // Every long option does what its short one does.
    writefile(path("b.bin"), changed(img, 5, 2));
    r = make({"-1", "-f", "-d", "fix", a, path("b.bin"), path("short.zem")});
    EXPECT_EQ(r.status, 0) << r.err;
    r = make({"--version-1", "--force", "--description=fix", a, path("b.bin"), path("long.zem")});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(readfile(path("long.zem")), readfile(path("short.zem")));
    writefile(path("text.diz"), {'h', 'i'});
    r = make({"-f", "-i", path("text.diz"), a, path("b.bin"), path("short.zem")});
    EXPECT_EQ(r.status, 0) << r.err;
    r = make({"--force", "--diz", path("text.diz"), a, path("b.bin"), path("long.zem")});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(readfile(path("long.zem")), readfile(path("short.zem")));
    r = make({"--undo", "--force", a, path("long.zem"), path("undo.zem")});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.rfind(path("undo.zem") + ": ZEM1.0 undo patch", 0), 0u) << r.out;
}

// Cue sheets as ORIGINAL, MODIFIED and IMAGE: the patches made over them
// are those made over the merged images, byte for byte; two cue sheets
// whose track files cannot be kept apart are refused.
TEST_P(ZemMake, CueSheetsAreTheirMergedImages)
{
    const bytes iso = cdfix::makeiso(dir, "GAME", "PLAYSTATION", 4);
    if (iso.empty()) GTEST_SKIP() << "genisoimage is not installed: no disc images to test on";
    const size_t sec = cdfix::rawsector;
    const bytes data = cdfix::rawimage(iso, 2);
    const size_t a = data.size(), b = a + 700 * sec;
    const bytes orig = concat(concat(data, makeimage(700 * sec, 5)), makeimage(30 * sec, 6));
    // Changes in the data track, across both boundaries (with more than
    // the planner's read-ahead between them), and a longer last track.
    bytes mod = changed(changed(changed(orig, 20 * sec + 100, 40), a - 10, 30), b - 3, 300);
    mod = concat(changed(mod, orig.size() - 5, 5), makeimage(1000, 7));
    // Writes the image into folder as a merged file and as track files of
    // these sizes (the last one takes the rest), listed by Game.cue.
    auto dump = [&](const std::string &folder, const bytes &img, std::vector<size_t> sizes) {
        mkdir(path(folder).c_str(), 0700);
        writefile(path(folder + "/merged.bin"), img);
        std::string cue;
        size_t at = 0;
        sizes.push_back(img.size());
        for (size_t i = 0; i < sizes.size(); i++) {
            const std::string n = "0" + std::to_string(i + 1), name = "Game (Track " + n + ").bin";
            const size_t end = i + 1 < sizes.size() ? at + sizes[i] : img.size();
            writefile(path(folder + "/" + name), bytes(img.begin() + long(at), img.begin() + long(end)));
            cue += "FILE \"" + name + "\" BINARY\r\n  TRACK " + n + (i ? " AUDIO" : " MODE2/2352") +
                   "\r\n    INDEX 01 00:00:00\r\n";
            at = end;
        }
        writefile(path(folder + "/Game.cue"), bytes(cue.begin(), cue.end()));
    };
    dump("orig", orig, {a, b - a});
    dump("mod", mod, {a, b - a});
    const std::string ocue = path("orig/Game.cue"), mcue = path("mod/Game.cue");
    const std::string obin = path("orig/merged.bin"), mbin = path("mod/merged.bin");
    ASSERT_EQ(make({obin, mbin, path("patch.zem")}).status, 0);
    writefile(path("image.bin"), orig);
    mavrin("patch.zem");
    ASSERT_TRUE(image() == mod);

    struct Case {
        const char *what;
        std::vector<std::string> withcue, merged;   // each writes its last file
    } cases[] = {
        {"two cue sheets", {ocue, mcue, path("a.zem")}, {obin, mbin, path("b.zem")}},
        {"a cue sheet and a merged file", {obin, mcue, path("a.zem")}, {obin, mbin, path("b.zem")}},
        {"-e", {"-e", ocue, mcue, path("a.zem")}, {"-e", obin, mbin, path("b.zem")}},
        {"an undo", {"-u", ocue, path("patch.zem"), path("a.zem")}, {"-u", obin, path("patch.zem"), path("b.zem")}},
        {"a repair", {"-r", "-d", "codes", ocue, path("a.zem")}, {"-r", "-d", "codes", obin, path("b.zem")}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        RunResult rc = make(c.withcue), rm = make(c.merged);
        EXPECT_EQ(rc.status, 0) << rc.err;
        EXPECT_EQ(rm.status, 0) << rm.err;
        EXPECT_EQ(readfile(path("a.zem")), readfile(path("b.zem")));
        unlink(path("a.zem").c_str());
        unlink(path("b.zem").c_str());
        // The undo cannot shorten the image: the command that can cuts the last track file.
        if (c.withcue[0] == "-u") {
            EXPECT_NE(rc.out.find("run truncate -s " + std::to_string(orig.size() - b) + " '" +
                                  path("orig/Game (Track 03).bin") + "'\n"),
                      std::string::npos)
                << rc.out;
        }
    }

    // Track files that would not stay apart: the patch would move bytes
    // from one file into another.
    dump("two", mod, {a});
    dump("moved", mod, {a + sec, b - a - sec});
    const std::string apart = "a patch of the whole images could not keep the track files apart";
    for (const auto &c : std::vector<std::pair<std::string, std::string>>{
             {"two/Game.cue", ocue + " lists 3 track files, " + path("two/Game.cue") + " 2; " + apart},
             {"moved/Game.cue", "track file 1 is " + std::to_string(a) + " bytes in " + ocue}}) {
        RunResult r = make({ocue, path(c.first), path("x.zem")});
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err.find(c.second), std::string::npos) << r.err;
        EXPECT_NE(r.err.find(apart), std::string::npos) << r.err;
        EXPECT_NE(access(path("x.zem").c_str(), F_OK), 0);
    }
}

// A cue sheet's tracks decide which sectors carry codes: an AUDIO track's
// samples that happen to read as data sectors are never repaired or given
// codes, and a raw track after a 2048-byte one is judged at its own offsets.
TEST_P(ZemMake, CueSheetTracksDecideWhichSectorsCarryCodes)
{
    const bytes iso = cdfix::makeiso(dir, "TRACKS", "PLAYSTATION", 4);
    if (iso.empty()) GTEST_SKIP() << "genisoimage is not installed: no disc images to test on";
    const size_t sec = cdfix::rawsector, n1 = iso.size() / cdfix::isosector;
    const bytes data = cdfix::rawimage(iso, 2), audio = cdfix::audiolikedata(data, 40, 3);
    const bytes good = cdfix::everykind(iso), spoiled = cdfix::spoil(good);
    // The audio changed in the sectors that read as data, and around them.
    const bytes audiomod = changed(changed(audio, 2 * sec + 200, 30), 5 * sec + 300, 900);
    // Each folder: a data track and an AUDIO track in two files; a
    // MODE1/2048 track and a MODE2/2352 one in one file.
    auto disc = [&](const std::string &folder, const bytes &aud, const bytes &raw) {
        mkdir(path(folder).c_str(), 0700);
        writefile(path(folder + "/data.bin"), data);
        writefile(path(folder + "/audio.bin"), aud);
        const std::string a = "FILE \"data.bin\" BINARY\n  TRACK 01 MODE2/2352\n    INDEX 01 00:00:00\n"
                              "FILE \"audio.bin\" BINARY\n  TRACK 02 AUDIO\n    INDEX 01 00:00:00\n";
        writefile(path(folder + "/audio.cue"), bytes(a.begin(), a.end()));
        writefile(path(folder + "/mixed.bin"), concat(iso, raw));
        const std::string m = "FILE \"mixed.bin\" BINARY\n  TRACK 01 MODE1/2048\n    INDEX 01 00:00:00\n"
                              "  TRACK 02 MODE2/2352\n    INDEX 01 " + cdfix::msf(n1) + "\n";
        writefile(path(folder + "/mixed.cue"), bytes(m.begin(), m.end()));
    };
    disc("orig", audio, good);
    disc("mod", audiomod, spoiled);
    const std::string n = std::to_string(n1), wrong = std::to_string(n1 + 21);
    const bytes fixedmixed = concat(iso, cdfix::withcodes(spoiled, cdfix::spoiledwrong));
    const bytes rangemixed = concat(iso, cdfix::withcodes(spoiled, {31, 32}));
    struct Row {
        const char *what;
        std::vector<std::string> args;   // writing p.zem
        bytes image, want;               // Mavrin applies p.zem to the merged image
        std::string summary, warning;
    } rows[] = {
        {"-r, an AUDIO track", {"-r", path("orig/audio.cue")}, concat(data, audio), concat(data, audio),
         "repairs 0 sectors; leaves alone " + std::to_string(n1 + 40) + " sectors: " + n +
             " with right codes, 40 audio sectors (AUDIO tracks)", ""},
        {"-e, an AUDIO track", {"-e", path("orig/audio.cue"), path("mod/audio.cue")}, concat(data, audio),
         concat(data, audiomod), "; EDC and ECC made right in 0 sectors", ""},
        {"a patch, an AUDIO track", {path("orig/audio.cue"), path("mod/audio.cue")}, concat(data, audio),
         concat(data, audiomod), "changed bytes", ""},
        {"-r, after a 2048-byte track", {"-r", path("mod/mixed.cue")}, concat(iso, spoiled), fixedmixed,
         "repairs 7 sectors (1 Mode 1, 5 Mode 2 Form 1, 1 Mode 2 Form 2); leaves alone", ""},
        {"-r, a range after a 2048-byte track",
         {"-r", "-s", std::to_string(n1 + 31) + "-" + std::to_string(n1 + 32), path("mod/mixed.cue")},
         concat(iso, spoiled), rangemixed, "repairs 2 sectors (2 Mode 2 Form 1); leaves alone 0 sectors", ""},
        {"-e, after a 2048-byte track", {"-e", path("orig/mixed.cue"), path("mod/mixed.cue")},
         concat(iso, good), fixedmixed, "; EDC and ECC made right in 7 sectors", ""},
        {"a patch, after a 2048-byte track", {path("orig/mixed.cue"), path("mod/mixed.cue")}, concat(iso, good),
         concat(iso, spoiled), "changed bytes",
         "7 data sectors the patch changes have a wrong EDC or ECC in the modified image (sectors " + wrong},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        std::vector<std::string> args = row.args;
        args.insert(args.begin(), "-f");
        args.push_back(path("p.zem"));
        RunResult r = make(args);
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_NE(r.out.find(row.summary), std::string::npos) << r.out;
        if (row.warning.empty()) EXPECT_EQ(r.err, "");
        else EXPECT_NE(r.err.find(row.warning), std::string::npos) << r.err;
        writefile(path("image.bin"), row.image);
        mavrin("p.zem");
        EXPECT_TRUE(image() == row.want);
        for (size_t s = 0; s * sec < row.want.size() && image() != row.want; s++)
            EXPECT_TRUE(std::equal(row.want.begin() + long(s * sec),
                                   row.want.begin() + long(std::min(row.want.size(), (s + 1) * sec)),
                                   image().begin() + long(s * sec)))
                << "bytes from " << s * sec;
    }
    // The sectors of the 2048-byte track are named in the repair's summary.
    RunResult r = make({"-f", "-r", path("orig/mixed.cue"), path("p.zem")});
    EXPECT_NE(r.out.find(n + " in tracks of fewer than 2352 bytes a sector, which keep no codes"),
              std::string::npos) << r.out;
}

TEST_P(ZemMake, EverySignalThatEndsItRemovesTheTemporaryPatch)
{
    // Large enough that the run is still writing when the signal comes.
    writefile(path("orig.bin"), makeimage(16 << 20, 1));
    writefile(path("mod.bin"), makeimage(16 << 20, 2));
    const std::vector<std::string> inputs = {"mod.bin", "orig.bin"};
    struct Case {
        int sig;
        bool ignored;   // by whoever started zemmake, as nohup does
    };
    std::vector<Case> cases;
    for (int sig : {SIGHUP, SIGINT, SIGQUIT, SIGTRAP, SIGABRT, SIGUSR1, SIGUSR2, SIGPIPE, SIGALRM,
                    SIGTERM, SIGSTKFLT, SIGXCPU, SIGVTALRM, SIGPROF, SIGIO, SIGPWR, SIGSYS,
                    SIGRTMIN, SIGRTMAX})
        cases.push_back({sig, false});
    cases.push_back({SIGHUP, true});   // an ignored signal stays ignored
    for (const Case &c : cases) {
        for (const std::string &name : files())   // what a failed row left
            if (name != inputs[0] && name != inputs[1]) unlink(path(name).c_str());
        pid_t pid = fork();
        if (pid == 0) {
            struct rlimit nocore = {0, 0};
            setrlimit(RLIMIT_CORE, &nocore);
            signal(c.sig, c.ignored ? SIG_IGN : SIG_DFL);
            int null = open("/dev/null", O_WRONLY);
            dup2(null, 1);
            dup2(null, 2);
            // Never under MAVRIN_TEST_WRAPPER: valgrind keeps some signals for itself.
            const std::string o = path("orig.bin"), m = path("mod.bin"), p = path("p.zem");
            execl(ZEMMAKE, ZEMMAKE, o.c_str(), m.c_str(), p.c_str(), (char *)nullptr);
            _exit(127);
        }
        /* Wait for the temporary patch, then send the signal */
        bool started = false;
        for (int i = 0; i < 60000 && !started; i++) {
            started = files().size() > inputs.size();
            if (!started) usleep(1000);
        }
        EXPECT_TRUE(started) << strsignal(c.sig);
        kill(pid, c.sig);
        int ws = 0;
        waitpid(pid, &ws, 0);
        if (c.ignored) {
            EXPECT_TRUE(WIFEXITED(ws) && WEXITSTATUS(ws) == 0) << strsignal(c.sig);
            EXPECT_EQ(files(), (std::vector<std::string>{"mod.bin", "orig.bin", "p.zem"}));
            unlink(path("p.zem").c_str());
        } else {
            EXPECT_TRUE(WIFSIGNALED(ws) && WTERMSIG(ws) == c.sig)
                << strsignal(c.sig) << ": status " << ws;
            EXPECT_EQ(files(), inputs) << strsignal(c.sig);
        }
    }
}

// The codes of real disc sectors of every kind: the warning, -e, and repairs
// of the whole image, of a patch's sectors and of a range, each applied by
// Mavrin; every byte but the codes of the sectors named stays as it was.
TEST_P(ZemMake, CodesOfRealDiscSectors)
{
    const bytes iso = cdfix::makeiso(dir, "CODES", "PLAYSTATION", 4);
    if (iso.empty()) GTEST_SKIP() << "genisoimage is not installed: no disc images to test on";
    const size_t sec = cdfix::rawsector;
    const bytes good = cdfix::everykind(iso), spoiled = cdfix::spoil(good);
    const size_t nsectors = good.size() / sec;
    ASSERT_GT(nsectors, 41u);
    auto at = [&](bytes &img, size_t s) { return img.data() + s * sec; };
    bytes codesonly = good;
    for (size_t s : {31, 32, 33}) std::copy_n(spoiled.begin() + long(s * sec), sec, at(codesonly, s));
    // What right codes in the sectors with wrong ones give: by the tests' own codes.
    const bytes fixed = cdfix::withcodes(spoiled, cdfix::spoiledwrong);
    const std::string wrongnames = "(sectors 21, 23, 30, 31, 32, ...)";

    writefile(path("good.bin"), good);
    writefile(path("spoiled.bin"), spoiled);
    writefile(path("codesonly.bin"), codesonly);
    const std::string n = std::to_string(nsectors);
    struct Row {
        const char *what;
        std::vector<std::string> args;   // writing p.zem
        const char *image;               // Mavrin applies p.zem to it
        const bytes *want;
        std::string summary;             // in the summary line
        std::string warning;             // in standard error, or nothing there
    } rows[] = {
        {"a patch", {path("good.bin"), path("spoiled.bin")}, "good.bin", &spoiled, "changed bytes",
         "7 data sectors the patch changes have a wrong EDC or ECC in the modified image " + wrongnames},
        {"-e", {"-e", path("good.bin"), path("spoiled.bin")}, "good.bin", &fixed,
         "; EDC and ECC made right in 7 sectors", ""},
        {"repair of every sector", {"-r", path("spoiled.bin")}, "spoiled.bin", &fixed,
         "repairs 7 sectors (1 Mode 1, 5 Mode 2 Form 1, 1 Mode 2 Form 2); leaves alone " +
             std::to_string(nsectors - 7) + " sectors: " + std::to_string(nsectors - 11) +
             " with right codes, 2 with no EDC (zero: not computed), 2 not data sectors",
         ""},
        {"repair of a patch's sectors", {"-r", "-p", path("patch.zem"), path("spoiled.bin")}, "spoiled.bin",
         &fixed, "repairs 7 sectors (1 Mode 1, 5 Mode 2 Form 1, 1 Mode 2 Form 2); leaves alone 4 sectors: "
                 "2 with no EDC (zero: not computed), 2 not data sectors", ""},
        {"repair of a range", {"-r", "-s", "31-32", path("spoiled.bin")}, "spoiled.bin", nullptr,
         "repairs 2 sectors (2 Mode 2 Form 1); leaves alone 0 sectors", ""},
        {"repair of stale codes", {"-r", path("codesonly.bin")}, "codesonly.bin", &good,
         "repairs 3 sectors (3 Mode 2 Form 1)", ""},
        {"nothing to repair", {"-r", path("good.bin")}, "good.bin", &good,
         "0 records, 0 changed bytes", ""},
        // an empty record writes into no sector
        {"repair of a patch's sectors, an empty record", {"-r", "-p", path("empty.zem"), path("spoiled.bin")},
         "spoiled.bin", nullptr, "repairs 1 sector (1 Mode 2 Form 1); leaves alone 0 sectors", ""},
    };
    const bytes range = cdfix::withcodes(spoiled, {31, 32}), one = cdfix::withcodes(spoiled, {30});
    rows[4].want = &range;
    rows[7].want = &one;
    bytes empty = zemheader(0);
    addrecord(empty, int32_t(30 * sec + 100), {1});
    addrecord(empty, int32_t(31 * sec + 5), {});
    writefile(path("empty.zem"), empty);
    // patch.zem, the sectors -p takes
    ASSERT_EQ(make({"-f", path("good.bin"), path("spoiled.bin"), path("patch.zem")}).status, 0);
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        std::vector<std::string> args = row.args;
        args.insert(args.begin(), "-f");
        args.push_back(path("p.zem"));
        RunResult r = make(args);
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_NE(r.out.find(row.summary), std::string::npos) << r.out;
        if (row.warning.empty()) {
            EXPECT_EQ(r.err, "");
        } else {
            EXPECT_NE(r.err.find(row.warning), std::string::npos) << r.err;
            EXPECT_NE(r.err.find("-e writes right codes"), std::string::npos) << r.err;
        }
        EXPECT_EQ(readfile(path("spoiled.bin")), spoiled);   // inputs stay as they are
        writefile(path("image.bin"), readfile(path(row.image)));
        mavrin("p.zem");
        EXPECT_TRUE(image() == *row.want);
        for (size_t s = 0; s < nsectors && image() != *row.want; s++)
            EXPECT_TRUE(std::equal(row.want->begin() + long(s * sec), row.want->begin() + long((s + 1) * sec),
                                   image().begin() + long(s * sec)))
                << "sector " << s;
    }

    // A repair is undone like any patch.
    writefile(path("image.bin"), spoiled);
    ASSERT_EQ(make({"-f", "-r", path("image.bin"), path("p.zem")}).status, 0);
    ASSERT_EQ(make({"-f", "-u", path("image.bin"), path("p.zem"), path("u.zem")}).status, 0);
    mavrin("p.zem");
    EXPECT_TRUE(image() == fixed);
    mavrin("u.zem");
    EXPECT_TRUE(image() == spoiled);
}
