// Record application: records land where they say, damaged patches change nothing.
#include "patchbuilder.hpp"

namespace {
struct Rec {
    int32_t pos;
    bytes data;
};

// Applies recs to image the way the program must.
bytes expected(bytes image, const std::vector<Rec> &recs)
{
    for (const Rec &r : recs) putbytes(image, r.pos, r.data);
    return image;
}
} // namespace

BOTH_BUILDS(Version1);

TEST_P(Version1, SingleRecordExample)
{
    bytes patch = zemheader(0, "example");
    addrecord(patch, 16, {0x41, 0x42, 0x43});
    ASSERT_EQ(patch.size(), 64u);
    const bytes img = makeimage(32);
    RunResult r = apply(img, patch);
    EXPECT_EQ(r.out, infolines(path("patch.zem"), 0, "example", nodiz) + done);
    EXPECT_EQ(image(), expected(img, {{16, {0x41, 0x42, 0x43}}}));
}

TEST_P(Version1, RecordSemantics)
{
    const bytes img = makeimage(100);
    const std::vector<std::vector<Rec>> cases = {
        {{10, {1, 2}}, {10, {3, 4}}},                  // same offset: the later one wins
        {{10, {1, 2, 3}}, {5, {}}, {20, {4}}},         // zero-length record in the middle
        {{100, {7, 8, 9}}},                            // at the end: appends
        {{120, {5}}},                                  // past the end: zero gap
        {{0, bytes(255, 0xee)}},                       // the longest record
        {{10, {1, 1, 1}}, {13, {2, 2}}, {11, {3}}},    // adjacent, then back into them
        {{40, {1, 2}}, {38, {3, 4, 5}}, {42, {6}}},    // overlaps across a joined run
        {{99, {1}}, {0, {2}}, {99, {3}}},              // last byte twice
        {{10, {1, 2, 3}}, {12, {4, 5, 6}}, {10, {7}}}, // into the waiting bytes and past them
        {{10, {1, 2}}, {50, {3}}, {11, {4}}, {50, {5}}},   // over writes sent off earlier
    };
    for (const auto &recs : cases) {
        bytes patch = zemheader(0);
        for (const Rec &rec : recs) addrecord(patch, rec.pos, rec.data);
        RunResult r = apply(img, patch);
        EXPECT_EQ(r.out, infolines(path("patch.zem"), 0, "test patch", nodiz) + done);
        EXPECT_EQ(image(), expected(img, recs)) << "case with " << recs.size() << " records";
    }
}

TEST_P(Version1, ManyRecordsAcrossTheBuffers)
{
    // Long runs of adjacent records and scattered ones, well past the
    // program's read-ahead and write buffers, in a patch of several MiB.
    const bytes img = makeimage(3 << 20);
    std::vector<Rec> recs;
    bytes fill = makeimage(255, 7);
    for (int32_t i = 0; i < 4000; i++) recs.push_back({i * 255, fill});
    uint32_t x = 99;
    for (int i = 0; i < 20000; i++) {
        x = x * 1103515245u + 12345u;
        recs.push_back({int32_t((x >> 4) % (3 << 20)), bytes(1 + x % 64, (unsigned char)i)});
    }
    bytes patch = zemheader(0);
    for (const Rec &rec : recs) addrecord(patch, rec.pos, rec.data);
    RunResult r = apply(img, patch);
    EXPECT_EQ(r.out, infolines(path("patch.zem"), 0, "test patch", nodiz) + done);
    EXPECT_TRUE(image() == expected(img, recs));
}

TEST_P(Version1, EmptyRecordsArea)
{
    const bytes img = makeimage(40);
    RunResult r = apply(img, zemheader(0));
    EXPECT_EQ(r.out, infolines(path("patch.zem"), 0, "test patch", nodiz) + done);
    EXPECT_EQ(image(), img);
}

BOTH_BUILDS(Version2);

TEST_P(Version2, AppliesWhenBothChecksPass)
{
    const bytes img = makeimage(40000);
    bytes patch = zemheader(1, "v2");
    addcheck(patch, int32_t(img.size()), img);
    const std::vector<Rec> recs = {{37664, {0, 0, 0}}, {0, {9}}, {39999, {1, 2}}};
    for (const Rec &rec : recs) addrecord(patch, rec.pos, rec.data);
    RunResult r = apply(img, patch);
    EXPECT_EQ(r.out, infolines(path("patch.zem"), 1, "v2", nodiz) + done);
    EXPECT_EQ(image(), expected(img, recs));
}

TEST_P(Version2, Version1MethodReadsTheRestAsRecords)
{
    // A version 2.0 layout with method 0: image size and block are records.
    const bytes img = makeimage(64);
    bytes patch = zemheader(0);
    addcheck(patch, 64, img);
    RunResult r = apply(img, patch);
    EXPECT_EQ(r.out, infolines(path("patch.zem"), 0, "test patch", nodiz) + damaged);
    EXPECT_EQ(image(), img);
}

BOTH_BUILDS(Damaged);

TEST_P(Damaged, BrokenRecordsAreaChangesNothing)
{
    const bytes img = makeimage(64);
    std::vector<std::pair<const char *, bytes>> cases;
    bytes p = zemheader(0);
    addrecord(p, 1, {1, 2});
    p.push_back(0);   // a stray byte: the area does not end on a record
    cases.push_back({"stray byte", p});
    p = zemheader(0);
    addrecord(p, 1, {1, 2});
    putle32(p, 3);
    p.push_back(10);   // says 10 bytes, has 4
    p.insert(p.end(), {1, 2, 3, 4});
    cases.push_back({"length past the area", p});
    p = zemheader(0);
    addrecord(p, 1, {1});
    addrecord(p, -1, {2});
    cases.push_back({"negative offset", p});
    p = zemheader(0);
    addrecord(p, INT32_MIN, {2});
    cases.push_back({"most negative offset", p});
    p = zemheader(1);
    p.resize(1000, 0);
    cases.push_back({"version 2.0 shorter than its header", p});
    p = zemheader(0);
    p.resize(40);
    cases.push_back({"version 1.0 shorter than its header", p});
    for (auto &c : cases) {
        RunResult r = apply(img, c.second, "yy");   // go on past the image checks
        EXPECT_NE(r.out.find(damaged), std::string::npos) << c.first;
        EXPECT_EQ(image(), img) << c.first;
    }
}

TEST_P(Damaged, TruncatedAtEveryByte)
{
    // Cut a good patch short at every length: a cut on a record boundary is
    // a good patch of fewer records, any other changes nothing.
    const bytes img = makeimage(64);
    const std::vector<Rec> recs = {{0, {1, 2, 3}}, {50, {}}, {60, {4, 5, 6, 7, 8, 9}}};
    bytes full = zemheader(0);
    std::vector<size_t> ends = {full.size()};
    for (const Rec &rec : recs) {
        addrecord(full, rec.pos, rec.data);
        ends.push_back(full.size());
    }
    for (size_t len = zem::v1headerlen; len <= full.size(); len++) {
        RunResult r = apply(img, bytes(full.begin(), full.begin() + long(len)));
        size_t whole = 0;
        while (whole + 1 < ends.size() && ends[whole + 1] <= len) whole++;
        bool boundary = ends[whole] == len;
        EXPECT_EQ(r.out, infolines(path("patch.zem"), 0, "test patch", nodiz) +
                             (boundary ? done : damaged))
            << "length " << len;
        bytes want = boundary ? expected(img, std::vector<Rec>(recs.begin(), recs.begin() + long(whole))) : img;
        EXPECT_EQ(image(), want) << "length " << len;
    }
}

TEST_P(Damaged, FailedWriteIsReportedNotDone)
{
    // A file size limit stands in for a full disk: no write gets past it,
    // and the one that reaches it is cut short.
    const bytes img = makeimage(1000);
    auto run = [](int32_t from, int n) {   // n adjacent records of 255 bytes
        std::vector<Rec> recs;
        for (int i = 0; i < n; i++) recs.push_back({from + i * 255, makeimage(255, unsigned(i))});
        return recs;
    };
    auto spaced = [](int32_t from, int n) {   // n two-byte records, a byte apart
        std::vector<Rec> recs;
        for (int i = 0; i < n; i++) recs.push_back({from + i * 3, {uint8_t(i), 9}});
        return recs;
    };
    struct Case {
        const char *what;
        std::vector<Rec> recs;
        long limit;
        size_t size;   // the image's size afterwards
    };
    const std::vector<Case> cases = {
        {"a record past the limit", {{0, {1}}, {20000, {2}}}, 8192, 1000},
        {"a record across the limit", {{8190, {1, 2, 3, 4}}}, 8192, 8192},
        {"an adjacent run across the limit", run(0, 80), 8192, 8192},
        {"a run longer than the write buffer", run(0, 2000), 100000, 100000},
        // Close records past the image's end (gathered), and from its start across
        // the limit (a stretch read first).
        {"many records past the limit", spaced(20000, 5000), 8192, 1000},
        {"many records across the limit", spaced(0, 5000), 8192, 8192},
    };
    for (const Case &c : cases) {
        bytes patch = zemheader(0);
        for (const Rec &rec : c.recs) addrecord(patch, rec.pos, rec.data);
        writefile(path("image.bin"), img);
        writefile(path("patch.zem"), patch);
        RunResult r = runprog(GetParam(), {path("image.bin"), path("patch.zem")}, "", c.limit);
        EXPECT_EQ(r.out, infolines(path("patch.zem"), 0, "test patch", nodiz) + writefailed)
            << c.what;
        EXPECT_EQ(r.err, "") << c.what;
        EXPECT_EQ(r.status, 0) << c.what;
        // Whatever was written is what the records say, up to the limit.
        bytes want = expected(img, c.recs);
        want.resize(c.size);
        EXPECT_TRUE(image() == want) << c.what;
    }
}
