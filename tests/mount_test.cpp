// zemmount mounted for real: every shown file against Mavrin's result on a
// copy (whole, in random pieces, several readers at once), the originals
// untouched, -e against zemmake -e, refusals with nothing mounted, changes
// refused, signals that unmount. Skipped where FUSE cannot mount.
#include <algorithm>
#include <climits>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <random>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <thread>
#include <unistd.h>

#include "cdfixture.hpp"
#include "patchbuilder.hpp"

namespace {

// Whether path is a mount point now.
bool mounted(const std::string &path)
{
    char full[PATH_MAX];
    if (!realpath(path.c_str(), full)) return false;
    std::ifstream in("/proc/self/mountinfo");
    for (std::string line; std::getline(in, line);) {
        size_t a = line.find(' ', line.find(' ', line.find(' ', line.find(' ') + 1) + 1) + 1);
        size_t b = line.find(' ', a + 1);
        if (line.substr(a + 1, b - a - 1) == full) return true;
    }
    return false;
}

struct Stamp {
    bytes data;
    struct timespec mtime;
};
Stamp stamp(const std::string &path)
{
    struct stat st = {};
    stat(path.c_str(), &st);
    return {readfile(path), st.st_mtim};
}
bool operator==(const Stamp &a, const Stamp &b)
{
    return a.data == b.data && a.mtime.tv_sec == b.mtime.tv_sec && a.mtime.tv_nsec == b.mtime.tv_nsec;
}

class Mount : public ::testing::Test {
protected:
    std::string dir, mnt;
    void SetUp() override
    {
        if (access("/dev/fuse", R_OK | W_OK) != 0 || system("command -v fusermount3 >/dev/null") != 0)
            GTEST_SKIP() << "mounting is impossible here: no usable /dev/fuse or no fusermount3";
        char tmpl[] = "/tmp/mounttest.XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        mnt = path("mnt");   // inside the image's folder: allowed
        mkdir(mnt.c_str(), 0755);
    }
    void TearDown() override
    {
        if (dir.empty()) return;
        unmount();
        EXPECT_FALSE(mounted(mnt)) << "left mounted: " << mnt;
        (void)system(("rm -rf '" + dir + "'").c_str());
    }
    std::string path(const std::string &name) const { return dir + "/" + name; }
    void unmount()
    {
        for (int i = 0; i < 50 && mounted(mnt); i++) {
            (void)system(("fusermount3 -u '" + mnt + "' 2>/dev/null").c_str());
            if (mounted(mnt)) usleep(100000);
        }
        if (mounted(mnt)) (void)system(("fusermount3 -uz '" + mnt + "'").c_str());
    }
    // Runs zemmount with args, then the mount point; a failure to mount at
    // all (FUSE refused) makes skipped the test that asked.
    RunResult zemmount(std::vector<std::string> args, bool &skip)
    {
        args.push_back(mnt);
        RunResult r = runprog(ZEMMOUNT, args);
        skip = r.err.find("cannot mount on") != std::string::npos;
        return r;
    }
};

#define MOUNT_OR_SKIP(r, ...)                                                   \
    bool skip_ = false;                                                         \
    RunResult r = zemmount(__VA_ARGS__, skip_);                                 \
    if (skip_) GTEST_SKIP() << "FUSE refused to mount here: " << r.err;         \
    ASSERT_EQ(r.status, 0) << r.err

// An image as one file (names empty) or as a cue sheet of the named track
// files, cut at the given offsets; a name may lie in a subfolder. Returns
// the path to open.
std::string writeimage(const std::string &dir, const std::string &cue, const bytes &image,
                       const std::vector<std::string> &names, const std::vector<size_t> &cuts)
{
    if (names.empty()) {
        writefile(dir + "/" + cue + ".bin", image);
        return dir + "/" + cue + ".bin";
    }
    std::string sheet;
    for (size_t i = 0; i < names.size(); i++) {
        size_t slash = names[i].rfind('/');
        if (slash != std::string::npos) mkdir((dir + "/" + names[i].substr(0, slash)).c_str(), 0755);
        size_t from = i ? cuts[i - 1] : 0, to = i < cuts.size() ? cuts[i] : image.size();
        writefile(dir + "/" + names[i], bytes(image.begin() + long(from), image.begin() + long(to)));
        sheet += "FILE \"" + names[i] + "\" BINARY\n  TRACK 0" + std::to_string(i + 1) +
                 " MODE1/2352\n    INDEX 01 00:00:00\n";
    }
    writefile(dir + "/" + cue + ".cue", bytes(sheet.begin(), sheet.end()));
    return dir + "/" + cue + ".cue";
}

// A random patch of records over span bytes, some piled up around hot (a
// track file's edge), some past the end when lengthen; version 2.0 made for
// model, the image as the patches before leave it, or version 1.0.
bytes randompatch(std::mt19937 &rnd, const bytes &model, size_t hot, bool lengthen)
{
    bool v2 = rnd() % 2;
    bytes p = zemheader(v2 ? zem::methodv2 : zem::methodv1);
    if (v2) addcheck(p, int32_t(model.size()), model);
    for (int n = 20 + int(rnd() % 40); n > 0; n--) {
        size_t span = model.size() + (lengthen ? 5000 : 0);
        size_t pos = rnd() % 3 ? rnd() % span : hot - 50 + rnd() % 100;
        bytes data(1 + rnd() % (rnd() % 8 ? 64 : zem::recmaxdata));
        for (auto &b : data) b = (unsigned char)rnd();
        if (!lengthen) data.resize(std::min(data.size(), model.size() - std::min(pos, model.size() - 1)));
        addrecord(p, int32_t(pos), data);
    }
    if (v2 && rnd() % 2) adddiz(p, "a trailer");
    return p;
}

// Reads of path, as a reader would make them: count pieces at random
// offsets and lengths, each compared with want.
void randomreads(const std::string &path, const bytes &want, unsigned seed, int count, int &bad)
{
    std::mt19937 rnd(seed);
    int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0) {
        bad++;
        return;
    }
    std::vector<unsigned char> buf;
    for (int i = 0; i < count; i++) {
        size_t off = rnd() % (want.size() + 10), len = 1 + rnd() % (rnd() % 4 ? 5000 : 300000);
        buf.resize(len);
        ssize_t n = pread(fd, buf.data(), len, off_t(off));
        size_t expect = off >= want.size() ? 0 : std::min(len, want.size() - off);
        if (n != ssize_t(expect) || !std::equal(buf.begin(), buf.begin() + long(expect), want.begin() + long(off)))
            bad++;
    }
    close(fd);
}

// Every shown file against Mavrin's result on a copy, for one file and cue
// sheets (a track file in a subfolder, one no patch touches), one to three
// patches, lengthening the image or not; the originals unchanged after.
TEST_F(Mount, EveryFileReadsAsMavrinLeavesACopy)
{
    struct Row {
        std::vector<std::string> tracks;
        int npatches;
        bool lengthen, untouched;   // untouched: no record in the first track file
    };
    const Row rows[] = {
        {{}, 1, false, false},
        {{}, 3, true, false},
        {{"a.bin", "b.bin", "c.bin"}, 2, false, false},
        {{"t 1.bin", "sub/t 2.bin"}, 3, true, true},
    };
    for (size_t k = 0; k < std::size(rows); k++) {
        const Row &row = rows[k];
        SCOPED_TRACE("row " + std::to_string(k));
        std::mt19937 rnd(unsigned(k) + 7);
        const size_t size = 400000 + rnd() % 200000;
        bytes image = makeimage(size, unsigned(k) + 1);
        std::vector<size_t> cuts;
        for (size_t i = 1; i < row.tracks.size(); i++) cuts.push_back(size * i / row.tracks.size() + rnd() % 999);
        const std::string orig = writeimage(dir, "game", image, row.tracks, cuts);
        mkdir(path("copy").c_str(), 0755);
        const std::string copy = writeimage(path("copy"), "game", image, row.tracks, cuts);

        std::vector<std::string> args;
        bytes model = image;
        for (int i = 0; i < row.npatches; i++) {
            bytes p = randompatch(rnd, model, cuts.empty() ? size / 2 : cuts[0], row.lengthen);
            if (row.untouched) {   // records only past the first track file
                p = zemheader(zem::methodv1);
                for (int n = 0; n < 20; n++) addrecord(p, int32_t(cuts[0] + rnd() % (size - cuts[0])), {1, 2, 3});
                if (row.lengthen) addrecord(p, int32_t(size + 3000), {9});
            }
            const std::string name = path("p" + std::to_string(i) + ".zem");
            writefile(name, p);
            args.push_back(name);
            RunResult r = runprog(MAVRIN_DYNAMIC, {copy, name});
            ASSERT_NE(r.out.find("DONE.."), std::string::npos) << r.out;
            model = row.tracks.empty() ? readfile(copy) : bytes();
            for (const std::string &t : row.tracks) {
                bytes b = readfile(path("copy/" + t));
                model.insert(model.end(), b.begin(), b.end());
            }
        }
        std::vector<std::string> shown = row.tracks;
        if (shown.empty()) shown = {"game.bin"};
        std::vector<std::string> originals = shown;
        if (!row.tracks.empty()) originals.push_back("game.cue");
        std::vector<Stamp> before;
        for (const std::string &f : originals) before.push_back(stamp(path(f)));

        args.insert(args.begin(), orig);
        MOUNT_OR_SKIP(r, args);
        for (const std::string &f : originals) {
            SCOPED_TRACE(f);
            const bytes want = readfile(path(row.tracks.empty() ? "copy/game.bin" : "copy/" + f));
            const bytes got = readfile(mnt + "/" + f);
            EXPECT_TRUE(got == want) << "sizes " << got.size() << " and " << want.size();
            int bad = 0;
            randomreads(mnt + "/" + f, want, unsigned(k), 40, bad);
            std::vector<std::thread> readers;
            std::vector<int> bads(4, 0);
            for (int t = 0; t < 4; t++)
                readers.emplace_back(randomreads, mnt + "/" + f, std::cref(want), unsigned(k * 10 + t), 40,
                                     std::ref(bads[size_t(t)]));
            for (auto &t : readers) t.join();
            for (int b : bads) bad += b;
            EXPECT_EQ(bad, 0);
            struct stat st, ost;
            ASSERT_EQ(stat((mnt + "/" + f).c_str(), &st), 0);
            ASSERT_EQ(stat(path(f).c_str(), &ost), 0);
            EXPECT_EQ(st.st_mode, S_IFREG | (ost.st_mode & 0444));
            EXPECT_EQ(st.st_mtim.tv_sec, ost.st_mtim.tv_sec);
        }
        if (row.untouched) {
            EXPECT_TRUE(readfile(mnt + "/" + row.tracks[0]) == before[0].data);
        }
        unmount();
        for (size_t i = 0; i < originals.size(); i++)
            EXPECT_TRUE(stamp(path(originals[i])) == before[i]) << originals[i] << " changed";
        (void)system(("rm -rf '" + dir + "'/copy '" + dir + "'/*.bin '" + dir + "'/sub").c_str());
    }
}

// -e: what zemmake -e's patch makes of the image when Mavrin applies it, on
// sectors of every kind (zero EDC, Form 2, audio, codes alone spoiled).
TEST_F(Mount, FixCodesGivesWhatZemmakeEMakes)
{
    const bytes iso = cdfix::makeiso(dir, "FIXCODES", "SYS", 3);
    if (iso.empty()) GTEST_SKIP() << "genisoimage is not installed";
    const bytes orig = cdfix::everykind(iso), mod = cdfix::spoil(orig);
    writefile(path("orig.bin"), orig);
    writefile(path("mod.bin"), mod);
    writefile(path("copy.bin"), orig);
    for (const char *args : {"", "-e"}) {
        std::vector<std::string> a = {"-f", path("orig.bin"), path("mod.bin"), path(std::string("p") + args + ".zem")};
        if (*args) a.insert(a.begin(), args);
        ASSERT_EQ(runprog(ZEMMAKE, a).status, 0);
    }
    RunResult r0 = runprog(MAVRIN_DYNAMIC, {path("copy.bin"), path("p-e.zem")});
    ASSERT_NE(r0.out.find("DONE.."), std::string::npos) << r0.out;
    const bytes want = readfile(path("copy.bin"));
    ASSERT_FALSE(want == mod);   // -e changed something
    MOUNT_OR_SKIP(r, {"-e", path("orig.bin"), path("p.zem")});
    EXPECT_TRUE(readfile(mnt + "/orig.bin") == want);
    int bad = 0;
    randomreads(mnt + "/orig.bin", want, 5, 60, bad);
    EXPECT_EQ(bad, 0);
}

// Refusals: a message on standard error, status 1, nothing mounted.
TEST_F(Mount, RefusalsMountNothing)
{
    bytes image = makeimage(60000, 3);
    writefile(path("game.bin"), image);
    writefile(path("a.bin"), bytes(image.begin(), image.begin() + 30000));
    writefile(path("game.cue"), bytes{});
    const std::string sheet = "FILE \"a.bin\" BINARY\n  TRACK 01 MODE1/2352\n    INDEX 01 00:00:00\n"
                              "FILE \"gone.bin\" BINARY\n  TRACK 02 MODE1/2352\n    INDEX 01 00:00:00\n";
    writefile(path("game.cue"), bytes(sheet.begin(), sheet.end()));
    bytes good = zemheader(zem::methodv1), other = zemheader(zem::methodv2);
    addrecord(good, 10, {1, 2, 3});
    bytes damaged = good;
    damaged.pop_back();
    bytes elsewhere = image;
    elsewhere[size_t(zem::imageblockpos) + 5] ^= 1;
    addcheck(other, int32_t(image.size()), elsewhere);
    writefile(path("good.zem"), good);
    writefile(path("damaged.zem"), damaged);
    writefile(path("other.zem"), other);
    writefile(path("notzem.zem"), {'P', 'K', 3, 4});
    mkdir(path("full").c_str(), 0755);
    writefile(path("full/x"), {1});
    struct Row {
        std::vector<std::string> args;
        std::string mountpoint, message;
    };
    const Row rows[] = {
        {{"game.bin", "damaged.zem"}, "mnt", "damaged.zem: the patch is damaged"},
        {{"game.bin", "good.zem", "damaged.zem"}, "mnt", "damaged.zem (patch 2 of 2): the patch is damaged"},
        {{"game.bin", "notzem.zem"}, "mnt", "not a ZEM file"},
        {{"game.bin", "other.zem"}, "mnt", "\"The BINfile does not seem to be the right one\"; -y mounts it"},
        {{"game.cue", "good.zem"}, "mnt", "gone.bin, listed in " + path("game.cue") + ", is missing"},
        {{"gone.bin", "good.zem"}, "mnt", "zemmount: " + path("gone.bin") + " is missing"},
        {{"game.bin", "good.zem"}, "full", "full: is not empty"},
        {{"game.bin", "good.zem"}, "game.bin", "game.bin: is not a folder"},
        {{"game.bin", "good.zem"}, "nowhere", "nowhere: No such file or directory"},
        {{"game.bin"}, "mnt", "expected IMAGE, at least one PATCH and MOUNTPOINT"},
        {{"-x", "game.bin", "good.zem"}, "mnt", "unknown option -x"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.message);
        std::vector<std::string> args;
        for (const std::string &a : row.args) args.push_back(a[0] == '-' ? a : path(a));
        args.push_back(path(row.mountpoint));
        RunResult r = runprog(ZEMMOUNT, args);
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err.find(row.message), std::string::npos) << r.err;
        EXPECT_FALSE(mounted(path(row.mountpoint)));
        EXPECT_TRUE(r.out.empty()) << r.out;
    }
    // With -y the patch made for another image mounts.
    MOUNT_OR_SKIP(r, {"-y", path("game.bin"), path("other.zem")});
    EXPECT_TRUE(readfile(mnt + "/game.bin") == image);
}

// Every change inside the mount is refused as on a read-only file system,
// whatever the mount options asked.
TEST_F(Mount, ChangesAreRefused)
{
    writefile(path("game.bin"), makeimage(9000, 4));
    bytes p = zemheader(zem::methodv1);
    addrecord(p, 1, {7});
    writefile(path("p.zem"), p);
    MOUNT_OR_SKIP(r, {"-o", "rw", path("game.bin"), path("p.zem")});
    const std::string f = mnt + "/game.bin";
    struct Row {
        const char *what;
        std::function<int()> call;
    };
    const Row rows[] = {
        {"open for writing", [&] { return open(f.c_str(), O_WRONLY); }},
        {"open for reading and writing", [&] { return open(f.c_str(), O_RDWR); }},
        {"open truncating", [&] { return open(f.c_str(), O_RDONLY | O_TRUNC); }},
        {"create", [&] { return open((mnt + "/new").c_str(), O_WRONLY | O_CREAT, 0644); }},
        {"truncate", [&] { return truncate(f.c_str(), 0); }},
        {"rename", [&] { return rename(f.c_str(), (mnt + "/other").c_str()); }},
        {"unlink", [&] { return unlink(f.c_str()); }},
        {"mkdir", [&] { return mkdir((mnt + "/d").c_str(), 0755); }},
        {"chmod", [&] { return chmod(f.c_str(), 0777); }},
        {"setxattr", [&] { return setxattr(f.c_str(), "user.x", "1", 1, 0); }},
    };
    for (const Row &row : rows) {
        errno = 0;
        EXPECT_EQ(row.call(), -1) << row.what;
        EXPECT_EQ(errno, EROFS) << row.what;
    }
    EXPECT_EQ(readfile(f).size(), 9000u);
}

// The kernel reads ahead a mebibyte at a time on the mount (where the
// system lets zemmount say so, as root), in a folder with a space in its
// name as well.
TEST_F(Mount, ReadsAheadAMebibyte)
{
    if (geteuid() != 0) GTEST_SKIP() << "only root may set how far the kernel reads ahead";
    writefile(path("game.bin"), makeimage(9000, 6));
    writefile(path("p.zem"), zemheader(zem::methodv1));
    rmdir(mnt.c_str());
    mnt = path("a mount");
    mkdir(mnt.c_str(), 0755);
    MOUNT_OR_SKIP(r, {path("game.bin"), path("p.zem")});
    struct stat st = {};
    ASSERT_EQ(stat(mnt.c_str(), &st), 0);
    std::ifstream ra("/sys/class/bdi/" + std::to_string(major(st.st_dev)) + ":" +
                     std::to_string(minor(st.st_dev)) + "/read_ahead_kb");
    int kib = 0;
    ra >> kib;
    EXPECT_EQ(kib, 1024);
}

// In the foreground, SIGINT and SIGTERM unmount and end with status 0.
TEST_F(Mount, SignalsUnmountInTheForeground)
{
    writefile(path("game.bin"), makeimage(9000, 5));
    writefile(path("p.zem"), zemheader(zem::methodv1));
    for (int sig : {SIGTERM, SIGINT}) {
        SCOPED_TRACE(strsignal(sig));
        pid_t pid = fork();
        if (pid == 0) execprog(ZEMMOUNT, {"-f", path("game.bin"), path("p.zem"), mnt});
        for (int i = 0; i < 100 && !mounted(mnt); i++) usleep(50000);
        if (!mounted(mnt)) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
            GTEST_SKIP() << "FUSE refused to mount here";
        }
        EXPECT_EQ(readfile(mnt + "/game.bin").size(), 9000u);
        kill(pid, sig);
        int ws = 0;
        waitpid(pid, &ws, 0);
        EXPECT_TRUE(WIFEXITED(ws) && WEXITSTATUS(ws) == 0) << ws;
        EXPECT_FALSE(mounted(mnt));
    }
}

} // namespace
