// The image writer: each way it puts records into the image and the switches
// between them, a failed write in each, a patch or image that changes under
// the run, and signals during the write pass.
#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "patchbuilder.hpp"
#include "runstate.hpp"

namespace {

constexpr int32_t mib = 1 << 20;

struct Rec {
    int32_t pos;
    bytes data;
};
using Recs = std::vector<Rec>;

Recs operator+(Recs a, const Recs &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

uint32_t nextrandom(uint32_t &x)
{
    x = x * 1103515245u + 12345u;
    return x >> 8;
}

// n records from at, step bytes apart, of 1 to maxlen bytes, in order.
Recs spaced(int32_t at, int n, int32_t step, int maxlen, uint32_t seed)
{
    Recs r;
    for (int i = 0; i < n; i++)
        r.push_back({at + i * step, bytes(1 + nextrandom(seed) % uint32_t(maxlen), uint8_t(seed))});
    return r;
}

// n adjacent records of len bytes from at.
Recs adjacent(int32_t at, int n, int len)
{
    Recs r;
    for (int i = 0; i < n; i++) r.push_back({at + i * len, makeimage(size_t(len), unsigned(i))});
    return r;
}

// n records of 1 to maxlen bytes at random places in [from, to), in random order.
Recs scattered(int32_t from, int32_t to, int n, int maxlen, uint32_t seed)
{
    Recs r;
    for (int i = 0; i < n; i++) {
        bytes data(1 + nextrandom(seed) % uint32_t(maxlen), uint8_t(seed));
        r.push_back({from + int32_t(nextrandom(seed) % uint32_t(to - from - int32_t(data.size()))), data});
    }
    return r;
}

// Four records of 20 bytes in each of n blocks of 4 KiB, every third block
// from block first on: close enough to be read in stretches, which would
// take three times the blocks that the records touch.
Recs everythird(int first, int n)
{
    Recs r;
    for (int b = 0; b < n; b++)
        for (int i = 0; i < 4; i++)
            r.push_back({int32_t((first + 3 * b) * 4096 + 100 + 1000 * i), bytes(20, uint8_t(1 + b % 200 + i))});
    return r;
}

// The records in random order.
Recs shuffled(Recs r, uint32_t seed)
{
    for (size_t i = r.size(); i > 1; i--) std::swap(r[i - 1], r[nextrandom(seed) % i]);
    return r;
}

// Fills the disk that file lies on with it, then frees free bytes of it.
void fillup(const std::string &file, long free)
{
    int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const bytes block(4096, 1);
    off_t size = 0;
    while (write(fd, block.data(), block.size()) == ssize_t(block.size())) size += off_t(block.size());
    EXPECT_EQ(ftruncate(fd, size - free), 0);
    close(fd);
}

bytes patchof(const Recs &recs)
{
    bytes p = zemheader(0);
    for (const Rec &r : recs) addrecord(p, r.pos, r.data);
    return p;
}

bytes expected(bytes image, const Recs &recs)
{
    for (const Rec &r : recs) putbytes(image, r.pos, r.data);
    return image;
}

// A patch meant to take some of the writer's ways, and the ways it takes.
struct Case {
    const char *what;
    size_t imagesize;
    Recs recs;
    bool sorted;   // the records are sorted by span first
    bool reads;    // a stretch of the image is read before it is written
};

std::vector<Case> cases()
{
    // Records across the edges of the first two spans, each overlapped by
    // later records on both sides of the edge.
    Recs edges;
    for (int32_t edge : {mib, 2 * mib})
        edges = edges + Recs{{edge - 100, bytes(200, 1)}, {edge + 50, bytes(30, 2)}, {edge - 10, bytes(20, 3)}};
    Recs random = scattered(0, 3 * mib, 20000, 64, 7);
    Recs around = Recs(random.begin(), random.begin() + 10000) + edges +
                  Recs(random.begin() + 10000, random.end());

    return {
        {"sparse records in order: a write each", 3 * mib, spaced(1000, 60, 40000, 64, 1), false, false},
        {"sparse records out of order: too few to sort", 3 * mib, scattered(0, 3 * mib, 60, 64, 2), false,
         false},
        {"adjacent records: gathered, never read", 3 * mib, adjacent(100000, 9000, 255), false, false},
        {"close records: their stretch is read first", 3 * mib, spaced(50000, 4000, 400, 64, 3),
         false, true},
        {"every way in turn, each over the bytes of the one before", 3 * mib,
         adjacent(0, 200, 255) + spaced(40000, 3000, 300, 64, 4) + spaced(800000, 30, 30000, 200, 5) +
             Recs{{50990, bytes(20, 9)}} + adjacent(900000, 100, 255) + spaced(925400, 20, 200, 64, 6) +
             Recs{{899990, bytes(255, 8)}, {51000, bytes(255, 7)}},
         false, true},
        {"a stretch read across the end of the image", mib + 100, spaced(mib - 20000, 200, 300, 64, 6),
         false, true},
        {"records past the end: a gap of zeros, close records, one far beyond", 100000,
         spaced(200000, 300, 300, 64, 7) + Recs{{8 * mib, {1, 2, 3}}}, false, false},
        {"out of order: sorted by span, dense spans read, sparse ones not", 3 * mib,
         scattered(0, 2 * mib, 30000, 64, 8) + scattered(2 * mib, 3 * mib, 6, 64, 9) +
             scattered(3 * mib, 3 * mib + 200000, 300, 64, 10),
         true, true},
        {"out of order: records across span edges, overlapped on both sides", 3 * mib, around, true, true},
        {"out of order: more records than one batch, overlapping across batches", 3 * mib,
         scattered(0, 3 * mib, int(batchmax) + 20000, 3, 11), true, true},
    };
}

} // namespace

BOTH_BUILDS(Writer);

TEST_P(Writer, EveryWayLeavesWhatFileOrderWould)
{
    for (const Case &c : cases()) {
        const bytes img = makeimage(c.imagesize);
        RunResult r = apply(img, patchof(c.recs));
        EXPECT_EQ(r.out, infolines(path("patch.zem"), 0, "test patch", nodiz) + done) << c.what;
        EXPECT_TRUE(image() == expected(img, c.recs)) << c.what;
    }
}

TEST_P(Writer, PatchThatCannotBeMappedGoesInFileOrder)
{
#ifdef __SANITIZE_ADDRESS__
    GTEST_SKIP() << "the sanitizer needs more address space than the limit leaves";
#endif
    if (getenv("MAVRIN_TEST_WRAPPER")) GTEST_SKIP() << "a wrapper needs more address space";
    // Records out of order in a patch larger than the address space left.
    const bytes img = makeimage(16 * mib);
    const Recs recs = scattered(0, 16 * mib, 120000, 255, 5);
    writefile(path("image.bin"), img);
    writefile(path("patch.zem"), patchof(recs));
    RunOpts opts;
    opts.aslimit = 12 * mib;
    RunResult r = runprog(GetParam(), {path("image.bin"), path("patch.zem")}, opts);
    EXPECT_EQ(r.out, infolines(path("patch.zem"), 0, "test patch", nodiz) + done);
    EXPECT_TRUE(image() == expected(img, recs));
}

TEST_P(Writer, FailedWriteInEveryWay)
{
    // A file size limit inside the image: no byte at or past it can be
    // written, and the write that reaches it is cut short there. In each row
    // the stretch that meets the limit holds every record below it that
    // comes later, so all of those are written first.
    struct Fail {
        const char *what;
        Recs recs;
    };
    const size_t size = 3 * mib;
    const long limit = 5 * mib / 2;
    const std::vector<Fail> fails = {
        {"a stretch read, written back across the limit", spaced(limit - 50000, 300, 400, 64, 1)},
        {"sorted records, a span read and written back across the limit",
         scattered(0, 3 * mib, 30000, 64, 2)},
        {"sorted records, some past the image's end", scattered(0, 4 * mib, 30000, 64, 3)},
    };
    for (const Fail &f : fails) {
        const bytes img = makeimage(size);
        writefile(path("image.bin"), img);
        writefile(path("patch.zem"), patchof(f.recs));
        RunResult r = runprog(GetParam(), {path("image.bin"), path("patch.zem")}, "", limit);
        EXPECT_EQ(r.out, infolines(path("patch.zem"), 0, "test patch", nodiz) + writefailed) << f.what;
        EXPECT_EQ(r.status, 0) << f.what;
        bytes want = expected(img, f.recs);
        std::copy(img.begin() + limit, img.end(), want.begin() + limit);
        want.resize(size);
        EXPECT_TRUE(image() == want) << f.what;
    }
}

TEST_P(Writer, FullDiskFailsOnlyAPatchThatCannotFit)
{
    // A real full disk: a tmpfs of 2 MiB, 512 blocks of 4 KiB. A patch whose
    // records fit when written one by one must fit whichever way the writer
    // takes; one that needs more blocks ends with the write-failure line.
    std::string disk = path("disk");
    mkdir(disk.c_str(), 0700);
    if (mount("tmpfs", disk.c_str(), "tmpfs", 0, "size=2M") != 0)
        GTEST_SKIP() << "cannot mount a tmpfs here: " << strerror(errno);
    struct Unmount {
        std::string at;
        ~Unmount() { umount(at.c_str()); }
    } unmount{disk};
    struct Full {
        const char *what;
        size_t imagesize;   // a sparse image: no block holds its bytes
        // The image's holes are hidden: as many blocks as it is long are
        // taken past its end, then the disk is filled but for 40 blocks.
        bool hidden;
        Recs recs;
        bool fits;
    };
    const std::vector<Full> fulls = {
        {"gathered runs", 8 * mib, false, adjacent(0, 12000, 255), false},
        {"stretches read first", 8 * mib, false, spaced(0, 12000, 300, 64, 1), false},
        {"sorted by span", 8 * mib, false, scattered(0, 8 * mib, 100000, 64, 2), false},
        {"close records over holes, in file order", 8 * mib, false, everythird(25, 300), true},
        {"close records over holes, out of order", 8 * mib, false, shuffled(everythird(25, 300), 3), true},
        {"holes hidden, in file order", 64 * 4096, true, everythird(1, 20), true},
        {"holes hidden, out of order", 64 * 4096, true, shuffled(everythird(1, 20), 4), true},
    };
    std::string img = disk + "/image.bin", filler = disk + "/filler";
    for (const Full &f : fulls) {
        writefile(img, {});
        ASSERT_EQ(truncate(img.c_str(), off_t(f.imagesize)), 0);
        if (f.hidden) {
            int fd = open(img.c_str(), O_WRONLY);
            ASSERT_EQ(fallocate(fd, FALLOC_FL_KEEP_SIZE, off_t(f.imagesize), off_t(f.imagesize)), 0);
            close(fd);
            fillup(filler, 40 * 4096);
        }
        writefile(path("patch.zem"), patchof(f.recs));
        RunResult r = runprog(GetParam(), {img, path("patch.zem")});
        EXPECT_EQ(r.out, infolines(path("patch.zem"), 0, "test patch", nodiz) + (f.fits ? done : writefailed))
            << f.what;
        EXPECT_EQ(r.status, 0) << f.what;
        if (f.fits) {
            EXPECT_TRUE(readfile(img) == expected(bytes(f.imagesize, 0), f.recs)) << f.what;
        }
        unlink(img.c_str());
        unlink(filler.c_str());
    }
}

namespace {

// Runs Mavrin in this process, so that a test can see what the writer did
// and change the files as the write pass starts.
class WriterInProcess : public ::testing::Test {
protected:
    std::string dir;
    static RunState rs;
    static std::function<void()> onstart, onmapped;
    static void callonstart(RunState &) { onstart(); }
    static void callonmapped(RunState &) { onmapped(); }
    signed char way = 0;   // how stretches read first are written (RunState::writeway)

    void SetUp() override
    {
        char tmpl[] = "/tmp/mavrinwriter.XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
    }
    void TearDown() override { ASSERT_EQ(system(("rm -rf '" + dir + "'").c_str()), 0); }
    std::string path(const char *name) const { return dir + "/" + name; }

    // Applies recs to an image of size bytes; returns the console output.
    std::string run(size_t size, const Recs &recs, std::function<void()> start = nullptr)
    {
        writefile(path("patch.zem"), patchof(recs));
        return runpatch(size, start);
    }

    // Applies the patch in patch.zem to an image of size bytes, as run does.
    std::string runpatch(size_t size, std::function<void()> start = nullptr)
    {
        writefile(path("image.bin"), makeimage(size));
        std::string img = path("image.bin"), zem = path("patch.zem");
        char prog[] = "Mavrin";
        char *argv[] = {prog, img.data(), zem.data(), nullptr};
        onstart = start;
        Captured c = inprocess("", [&] {
            std::memset(&rs, 0, sizeof rs);
            rs.writeway = way;
            if (onstart) rs.betweenpasses = callonstart;
            if (onmapped) rs.stretchmapped = callonmapped;
            mavrinrun(rs, 3, argv);
        });
        EXPECT_EQ(c.err, "");
        return c.out;
    }
};
RunState WriterInProcess::rs;
std::function<void()> WriterInProcess::onstart, WriterInProcess::onmapped;

} // namespace

TEST_F(WriterInProcess, EachPatchTakesItsWays)
{
    // Stretches read first as the measured costs choose, each read and
    // written back, and each written through the mapping where it can be.
    for (signed char w : {0, 1, 2}) {
        way = w;
        for (const Case &c : cases()) {
            std::string what = std::string(c.what) + ", way " + std::to_string(w);
            std::string out = run(c.imagesize, c.recs);
            EXPECT_EQ(out, infolines(path("patch.zem"), 0, "test patch", nodiz) + done) << what;
            EXPECT_EQ(rs.nbatches > 0, c.sorted) << what;
            EXPECT_EQ(rs.nstretches > 0, c.reads) << what;
            EXPECT_EQ(rs.nmapped > 0, w == 2 ? c.reads : w == 0 && rs.nstretches > 1) << what;
            EXPECT_EQ(rs.nloads + rs.nmapped, rs.nstretches) << what;
            EXPECT_TRUE(readfile(path("image.bin")) == expected(makeimage(c.imagesize), c.recs)) << what;
        }
    }
}

TEST_F(WriterInProcess, StretchOverAHoleIsNeverMapped)
{
    // Holes made as the write pass begins, so that the image's size in
    // blocks said it had none: a write fault over a hole could need a block
    // the disk does not have, so such a stretch is read and written back.
    way = 2;
    const Recs recs = everythird(25, 300);
    writefile(path("patch.zem"), patchof(recs));
    EXPECT_EQ(runpatch(8 * mib, [this] {
                  int fd = open(path("image.bin").c_str(), O_WRONLY);
                  ASSERT_EQ(fallocate(fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, 0, 8 * mib), 0);
                  close(fd);
              }),
              infolines(path("patch.zem"), 0, "test patch", nodiz) + done);
    EXPECT_EQ(rs.nmapped, 0);
    EXPECT_GT(rs.nloads, 0);
    EXPECT_TRUE(readfile(path("image.bin")) == expected(bytes(8 * mib, 0), recs));
}

TEST_F(WriterInProcess, ImageCutShortUnderTheMappingIsAFailedWrite)
{
    // Another program cuts the image short while a stretch of it is mapped:
    // the write fault ends the run as a failed write, in file order and
    // sorted, and the run can be made again.
    way = 2;
    const std::vector<std::pair<const char *, Recs>> patches = {
        {"in order", spaced(50000, 4000, 400, 64, 1)},
        {"sorted", scattered(0, 3 * mib, 30000, 64, 2)},
    };
    for (const auto &[what, recs] : patches) {
        onmapped = [this] { ASSERT_EQ(truncate(path("image.bin").c_str(), 0), 0); };
        EXPECT_EQ(run(3 * mib, recs), infolines(path("patch.zem"), 0, "test patch", nodiz) + writefailed)
            << what;
        onmapped = nullptr;
        EXPECT_EQ(run(3 * mib, recs), infolines(path("patch.zem"), 0, "test patch", nodiz) + done) << what;
        EXPECT_TRUE(readfile(path("image.bin")) == expected(makeimage(3 * mib), recs)) << what;
    }
}

TEST_F(WriterInProcess, PatchOrImageChangedUnderTheRun)
{
    // Once the write pass has begun, the image may have changed: whatever
    // goes wrong then is a failed write, never "not changed".
    const Recs inorder = spaced(50000, 4000, 400, 64, 1);   // read in stretches
    const Recs sorted = scattered(0, 3 * mib, 30000, 64, 2);
    auto cut = [this](const char *name, off_t len) {
        return [this, name, len] { ASSERT_EQ(truncate(path(name).c_str(), len), 0); };
    };
    auto moverecord = [this] {   // the first record's offset, its length kept
        int fd = open(path("patch.zem").c_str(), O_WRONLY);
        unsigned char pos[4] = {0x39, 0x30, 0, 0};
        ASSERT_EQ(pwrite(fd, pos, sizeof pos, zem::v1headerlen), 4);
        close(fd);
    };
    struct Change {
        const char *what;
        const Recs &recs;
        std::function<void()> change;
        const std::string &last;
    };
    const std::vector<Change> changes = {
        {"in order, nothing changes", inorder, [] {}, done},
        {"sorted, nothing changes", sorted, [] {}, done},
        {"in order, the patch cut short", inorder, cut("patch.zem", 30000), writefailed},
        {"sorted, the mapped patch cut short", sorted, cut("patch.zem", 30000), writefailed},
        {"in order, a record moved", inorder, moverecord, writefailed},
        {"sorted, a record moved", sorted, moverecord, writefailed},
        {"in order, the image cut short", inorder, cut("image.bin", 1000), writefailed},
        {"sorted, the image cut short", sorted, cut("image.bin", 1000), writefailed},
    };
    for (const Change &c : changes)
        EXPECT_EQ(run(3 * mib, c.recs, c.change), infolines(path("patch.zem"), 0, "test patch", nodiz) + c.last)
            << c.what;
}

TEST_F(WriterInProcess, TrackFileChangedBeforeTheWritePass)
{
    // Three track files of 1 MiB; the records lie in the second and third,
    // so that only the check of the files before the last can see the first
    // cut short. A track file changed after it was opened (at a question,
    // say) stops the run before its first write; one replaced by mv is
    // still the open one, and that one is patched.
    const char *names[] = {"t1.bin", "t2.bin", "t3.bin"};
    const Recs inorder = spaced(mib + 5000, 400, 4000, 64, 3);
    const Recs sorted = scattered(mib, 3 * mib, 30000, 64, 4);
    auto cut = [this](const char *name, off_t len) {
        return [this, name, len] { ASSERT_EQ(truncate(path(name).c_str(), len), 0); };
    };
    auto replace = [this] {
        writefile(path("new.bin"), bytes(mib, 7));
        ASSERT_EQ(rename(path("new.bin").c_str(), path("t2.bin").c_str()), 0);
    };
    struct Change {
        const char *what;
        const Recs &recs;
        std::function<void()> change;
        bool written;
    };
    const std::vector<Change> changes = {
        {"in order, nothing changes", inorder, [] {}, true},
        {"sorted, nothing changes", sorted, [] {}, true},
        {"in order, track 1 cut short", inorder, cut("t1.bin", mib - 2352), false},
        {"sorted, track 1 cut short", sorted, cut("t1.bin", 1), false},
        {"in order, track 2 lengthened", inorder, cut("t2.bin", mib + 2352), false},
        {"sorted, track 1 emptied", sorted, cut("t1.bin", 0), false},
        {"in order, track 2 replaced by mv", inorder, replace, true},
    };
    const std::string cue = path("disc.cue"), zem = path("patch.zem");
    for (const Change &c : changes) {
        SCOPED_TRACE(c.what);
        bytes merged;
        for (int i = 0; i < 3; i++) {
            bytes t = makeimage(mib, unsigned(i + 1));
            writefile(path(names[i]), t);
            merged.insert(merged.end(), t.begin(), t.end());
        }
        unlink(path("open2.bin").c_str());
        ASSERT_EQ(link(path("t2.bin").c_str(), path("open2.bin").c_str()), 0);   // the file opened as track 2
        std::string sheet;
        for (int i = 0; i < 3; i++)
            sheet += "FILE \"" + std::string(names[i]) + "\" BINARY\n TRACK 0" + std::to_string(i + 1) +
                     (i ? " AUDIO" : " MODE2/2352") + "\n INDEX 01 00:00:00\n";
        writefile(cue, bytes(sheet.begin(), sheet.end()));
        writefile(zem, patchof(c.recs));
        std::vector<bytes> after;
        onstart = [&] {
            c.change();
            after.clear();
            for (const char *n : names) after.push_back(readfile(path(n)));
        };
        std::string cuearg = cue, zemarg = zem;
        char prog[] = "Mavrin";
        char *argv[] = {prog, cuearg.data(), zemarg.data(), nullptr};
        Captured out = inprocess("", [&] {
            std::memset(&rs, 0, sizeof rs);
            rs.betweenpasses = callonstart;
            mavrinrun(rs, 3, argv);
        });
        EXPECT_EQ(out.out, infolines(zem, 0, "test patch", nodiz) + (c.written ? done : writefailed));
        ASSERT_EQ(after.size(), 3u);
        if (c.written) {
            bytes files = readfile(path("t1.bin")), t2 = readfile(path("open2.bin")), t3 = readfile(path("t3.bin"));
            files.insert(files.end(), t2.begin(), t2.end());
            files.insert(files.end(), t3.begin(), t3.end());
            EXPECT_TRUE(files == expected(merged, c.recs));
            if (c.change.target_type() == typeid(replace)) {
                EXPECT_TRUE(readfile(path("t2.bin")) == bytes(mib, 7));   // the file moved in, untouched
            }
        } else {
            for (int i = 0; i < 3; i++) EXPECT_TRUE(readfile(path(names[i])) == after[size_t(i)]) << names[i];
        }
    }
}

TEST_F(WriterInProcess, LastRecordOfAPatchPast4GiBLands)
{
    // Records out of order, then empty records (a hole in the patch file
    // reads as records of offset 0 and length 0) up to 4 GiB behind the
    // first record, then one more record. The sorted writer keeps places as
    // 32-bit distances from a batch's first record: the last one's would be
    // the first one's.
    Recs first;
    for (int i = 0; i < 20; i++)
        first.push_back({int32_t(4000 * (i * 7 % 20) + 100), bytes(i == 0 ? 11 : 10, uint8_t(i + 1))});
    const Rec last = {90000, bytes(16, 0xee)};
    const bytes head = patchof(first);
    const int64_t lastat = zem::v1headerlen + (int64_t(1) << 32);
    ASSERT_EQ((lastat - int64_t(head.size())) % zem::recheadlen, 0);
    bytes tail;
    addrecord(tail, last.pos, last.data);
    writefile(path("patch.zem"), head);
    int fd = open(path("patch.zem").c_str(), O_WRONLY);
    ASSERT_EQ(pwrite(fd, tail.data(), tail.size(), lastat), ssize_t(tail.size()));
    close(fd);

    EXPECT_EQ(runpatch(mib), infolines(path("patch.zem"), 0, "test patch", nodiz) + done);
    EXPECT_GT(rs.nbatches, 0);   // the records were sorted
    EXPECT_TRUE(readfile(path("image.bin")) == expected(makeimage(mib), first + Recs{last}));
}

BOTH_BUILDS(Interrupt);

TEST_P(Interrupt, SignalsWaitForTheWritePassThenEndTheRun)
{
    if (getenv("MAVRIN_TEST_WRAPPER")) GTEST_SKIP() << "a wrapper holds signals of its own";
    // A signal during the question ends the run before anything is written;
    // one during the write pass waits until every record is written and
    // reported, then ends the process as it would have.
    struct Row {
        const char *what;
        int sig;
        bool atquestion;
    };
    const std::vector<Row> rows = {
        {"SIGINT at the question", SIGINT, true},
        {"SIGINT while writing", SIGINT, false},
        {"SIGTERM while writing", SIGTERM, false},
        {"SIGHUP while writing", SIGHUP, false},
    };
    const size_t size = 16 * mib;
    const bytes img = makeimage(size);
    for (const Row &row : rows) {
        // A long write pass: many records, out of order. Longer each time
        // the signal comes too late to find it under way.
        bool sent = false;
        for (int records = 200000; !sent && records <= 1600000; records *= 2) {
            Recs recs = scattered(0, int32_t(size), records, 16, uint32_t(row.sig));
            bytes patch = zemheader(row.atquestion ? 1 : 0);
            if (row.atquestion) addcheck(patch, int32_t(size) + 1, img);   // the wrong size
            for (const Rec &r : recs) addrecord(patch, r.pos, r.data);
            writefile(path("image.bin"), img);
            writefile(path("patch.zem"), patch);

            int input[2];
            ASSERT_EQ(pipe(input), 0);   // kept open: a question waits for an answer
            pid_t pid = fork();
            if (pid == 0) {
                int out = open(path("out.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
                dup2(input[0], 0);
                dup2(out, 1);
                close(input[1]);
                execprog(GetParam(), {path("image.bin"), path("patch.zem")});
            }
            close(input[0]);
            // Waits until the question is out, or the write pass holds the
            // signal. The run is stopped while it is looked at, so that it
            // cannot leave the write pass between the look and the signal.
            std::string status = "/proc/" + std::to_string(pid) + "/status";
            auto ready = [&] {
                std::ifstream f(status);
                std::string line;
                unsigned long long blocked = 0;
                while (std::getline(f, line))
                    if (line.rfind("SigBlk:", 0) == 0) blocked = std::stoull(line.substr(7), nullptr, 16);
                bytes shown = readfile(path("out.txt"));
                std::string tail(shown.end() - std::min<long>(long(shown.size()), 7), shown.end());
                return row.atquestion ? tail == "(y/n): " : (blocked >> (row.sig - 1) & 1) != 0;
            };
            int ws = 0;
            bool ended = false;   // reaped already
            while (!sent && !ended) {
                if (waitpid(pid, &ws, WNOHANG) == pid) {
                    ended = true;
                    break;
                }
                if (ready()) {
                    kill(pid, SIGSTOP);
                    ASSERT_EQ(waitpid(pid, &ws, WUNTRACED), pid);
                    ended = !WIFSTOPPED(ws);
                    if (!ended && ready()) sent = kill(pid, row.sig) == 0;
                    if (!ended) kill(pid, SIGCONT);
                }
                usleep(200);
            }
            if (!ended) waitpid(pid, &ws, 0);
            close(input[1]);
            if (!sent) continue;
            bytes out = readfile(path("out.txt"));
            std::string screen(out.begin(), out.end());
            EXPECT_TRUE(WIFSIGNALED(ws) && WTERMSIG(ws) == row.sig) << row.what << ": status " << ws;
            if (row.atquestion) {
                EXPECT_EQ(screen.find("Patching"), std::string::npos) << row.what;
                EXPECT_TRUE(image() == img) << row.what;
            } else {
                EXPECT_EQ(screen, infolines(path("patch.zem"), 0, "test patch", nodiz) + done) << row.what;
                EXPECT_TRUE(image() == expected(img, recs)) << row.what;
            }
        }
        if (!sent) GTEST_SKIP() << row.what << ": every write pass ended before the signal was sent";
    }
}
