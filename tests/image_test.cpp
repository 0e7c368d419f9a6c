// The image layer on real dumps: a cue sheet and its track files (a data
// track made from a genisoimage ISO, audio tracks) against the merged image,
// each refusal, the split dump finding, and the hashes against other tools.
#include <dirent.h>
#include <fcntl.h>
#include <map>
#include <sys/stat.h>
#include <unistd.h>

#include "cdfixture.hpp"
#include "image.hpp"
#include "imagehash.hpp"
#include "patchbuilder.hpp"

namespace {

const std::string t1 = "Game (Track 01).bin", t2 = "Game (Track 02).bin", t3 = "Game (Track 03).bin";

// A cue sheet as dump tools write it: one BINARY file a track, CRLF.
const std::string dumpcue =
    "FILE \"Game (Track 01).bin\" BINARY\r\n  TRACK 01 MODE2/2352\r\n    INDEX 01 00:00:00\r\n"
    "FILE \"Game (Track 02).bin\" BINARY\r\n  TRACK 02 AUDIO\r\n    INDEX 00 00:00:00\r\n"
    "    INDEX 01 00:02:00\r\n"
    "FILE \"Game (Track 03).bin\" BINARY\r\n  TRACK 03 AUDIO\r\n    INDEX 00 00:00:00\r\n"
    "    INDEX 01 00:02:00\r\n";

int openfds()
{
    int n = 0;
    DIR *d = opendir("/proc/self/fd");
    while (d && readdir(d)) n++;
    if (d) closedir(d);
    return n;
}

class DiscImage : public ::testing::Test {
protected:
    std::string dir;
    bytes track[3], merged;
    static disc::Image img;   // too large for the stack of a test

    void SetUp() override
    {
        char tmpl[] = "/tmp/imagetest.XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        bytes iso = cdfix::makeiso(dir, "GAME", "PLAYSTATION", 7);
        if (iso.empty()) GTEST_SKIP() << "genisoimage is not installed";
        track[0] = cdfix::rawimage(iso, 2);
        track[1] = makeimage(700 * cdfix::rawsector, 2);   // past one hashing buffer
        track[2] = makeimage(30 * cdfix::rawsector, 3);
        for (int i = 0; i < 3; i++) merged.insert(merged.end(), track[i].begin(), track[i].end());
        writefile(path(t1), track[0]);
        writefile(path(t2), track[1]);
        writefile(path(t3), track[2]);
        writefile(path("merged.bin"), merged);
        writetext("Game.cue", dumpcue);
    }
    void TearDown() override
    {
        disc::closeimage(img);
        ASSERT_EQ(system(("rm -rf '" + dir + "'").c_str()), 0);
    }
    std::string path(const std::string &name) const { return dir + "/" + name; }
    void writetext(const std::string &name, const std::string &text)
    {
        writefile(path(name), bytes(text.begin(), text.end()));
    }
    std::string run(const std::string &cmd)
    {
        std::string out;
        FILE *p = popen(("cd '" + dir + "' && " + cmd).c_str(), "r");
        char buf[4096];
        while (p && fgets(buf, sizeof buf, p)) out += buf;
        EXPECT_TRUE(p && pclose(p) == 0) << cmd;
        return out;
    }
};

disc::Image DiscImage::img;

TEST_F(DiscImage, CueSheetsPlaceFilesAndTracks)
{
    const int64_t a = int64_t(track[0].size()), b = int64_t(track[1].size());
    const int64_t c = int64_t(track[2].size());
    struct Want {
        int file;
        const char *mode;
        int64_t first, size;
    };
    auto msf = [](int64_t bytes) {   // a byte offset in 2352-byte sectors, as a cue sheet's time
        const int64_t n = bytes / 2352;
        char t[16];
        snprintf(t, sizeof t, "%02d:%02d:%02d", int(n / 4500), int(n / 75 % 60), int(n % 75));
        return std::string(t);
    };
    const int64_t gap = 150 * 2352;
    // A track's INDEX 00 at the end of the file before, and the same disc merged.
    const std::string split = "FILE \"" + t1 + "\" BINARY\n TRACK 01 MODE2/2352\n INDEX 01 00:00:00\n"
                              " TRACK 02 AUDIO\n INDEX 00 " + msf(a - gap) + "\nFILE \"" + t2 + "\" BINARY\n"
                              " INDEX 01 00:00:00\n INDEX 02 00:01:00\nFILE \"" + t3 + "\" BINARY\n TRACK 03 AUDIO\n INDEX 01 00:00:00\n";
    const std::string mergedcue = "FILE \"merged.bin\" BINARY\n TRACK 01 MODE2/2352\n INDEX 01 00:00:00\n"
                                  " TRACK 02 AUDIO\n INDEX 00 " + msf(a - gap) + "\n INDEX 01 " + msf(a) +
                                  "\n TRACK 03 AUDIO\n INDEX 01 " + msf(a + b) + "\n";
    const std::vector<Want> placed = {{0, "MODE2/2352", 0, a - gap}, {1, "AUDIO", a - gap, gap + b}, {2, "AUDIO", a + b, c}};
    std::vector<Want> mergedplaced = placed;
    for (Want &w : mergedplaced) w.file = 0;
    struct Case {
        const char *what;
        std::string cue;
        std::vector<std::string> files;
        std::vector<Want> tracks;
        int firstnumber = 1;
    } cases[] = {
        {"a dump: each track file starts its track", dumpcue.c_str(), {t1, t2, t3},
         {{0, "MODE2/2352", 0, a}, {1, "AUDIO", a, b}, {2, "AUDIO", a + b, c}}},
        {"names in another case than the files', after a byte order mark",
         "\xef\xbb\xbf" "FILE \"GAME (TRACK 01).BIN\" BINARY\n TRACK 01 MODE2/2352\n INDEX 01 00:00:00\n"
         "FILE \"game (track 02).bin\" BINARY\n TRACK 02 AUDIO\n INDEX 01 00:00:00\n",
         {t1, t2}, {{0, "MODE2/2352", 0, a}, {1, "AUDIO", a, b}}},
        // 2048-byte sectors count at their own size: track 2 starts at 100
        // of them from the start of the file (where track 1 starts, before
        // its INDEX 01), track 3 at its INDEX 00, 200 sectors of 2352 further.
        {"tracks of several modes in one file",
         "FILE \"merged.bin\" BINARY\n TRACK 01 MODE1/2048\n INDEX 01 00:00:50\n"
         " TRACK 02 AUDIO\n INDEX 01 00:01:25\n TRACK 03 AUDIO\n INDEX 00 00:04:00\n INDEX 01 00:05:00\n",
         {"merged.bin"},
         {{0, "MODE1/2048", 0, 100 * 2048},
          {0, "AUDIO", 100 * 2048, 200 * 2352},
          {0, "AUDIO", 100 * 2048 + 200 * 2352, a + b + c - 100 * 2048 - 200 * 2352}}},
        {"as a burning tool writes it: REM and CD-TEXT of several words, keywords in lower case, tabs, "
         "CRLF, an unquoted name, no line end at the end",
         "REM GENRE Rock and roll\r\nrem COMMENT \"file track\"\r\nTITLE My own disc\r\nperformer The Band\r\n"
         "file \"" + t1 + "\" binary\r\n\ttrack 01 mode2/2352\r\n\t\tflags dcp\r\n\t\tTitle index 01\r\n"
         "\t\tindex 01 00:00:00\r\nFile " + t2 + " Binary\r\n\tTRACK 02 Audio\r\n\t\tIndex 01 00:00:00",
         {t1, t2}, {{0, "MODE2/2352", 0, a}, {1, "AUDIO", a, b}}},
        {"Windows separators, one name in another case",
         "FILE \".\\" + t1 + "\" BINARY\n TRACK 01 MODE2/2352\n INDEX 01 00:00:00\n"
         "FILE \".\\\\GAME (TRACK 02).BIN\" BINARY\n TRACK 02 AUDIO\n INDEX 01 00:00:00\n",
         {t1, t2}, {{0, "MODE2/2352", 0, a}, {1, "AUDIO", a, b}}},
        {"tracks numbered from 4",
         "FILE \"" + t1 + "\" BINARY\n TRACK 04 MODE2/2352\n INDEX 01 00:00:00\nFILE \"" + t2 +
         "\" BINARY\n TRACK 05 AUDIO\n INDEX 01 00:00:00\n",
         {t1, t2}, {{0, "MODE2/2352", 0, a}, {1, "AUDIO", a, b}}, 4},
        {"a track's INDEX 00 at the end of the file before", split, {t1, t2, t3}, placed},
        {"the same disc merged: the same tracks", mergedcue, {"merged.bin"}, mergedplaced},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.what);
        writetext("Try.cue", k.cue);
        disc::ImageError err;
        testing::internal::CaptureStderr();
        const bool opened = disc::openimage(img, path("Try.cue").c_str(), false, nullptr, nullptr, err);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
        ASSERT_TRUE(opened)
            << err.path << ": " << err.reason;
        EXPECT_TRUE(img.cue);
        ASSERT_EQ(img.nfiles, int(k.files.size()));
        int64_t first = 0;
        for (int i = 0; i < img.nfiles; i++) {
            EXPECT_EQ(img.files[i].path, path(k.files[size_t(i)]));
            EXPECT_EQ(img.files[i].first, first);
            first += img.files[i].size;
        }
        EXPECT_EQ(img.size, first);
        ASSERT_EQ(img.ntracks, int(k.tracks.size()));
        for (int i = 0; i < img.ntracks; i++) {
            const Want &w = k.tracks[size_t(i)];
            const disc::Track &t = img.tracks[i];
            EXPECT_EQ(t.number, k.firstnumber + i);
            EXPECT_EQ(t.file, w.file);
            EXPECT_STREQ(t.mode, w.mode);
            EXPECT_EQ(t.first, w.first) << "track " << i + 1;
            EXPECT_EQ(t.size, w.size) << "track " << i + 1;
        }
        bytes all(size_t(img.size) + 10);
        EXPECT_EQ(disc::readimage(img, all.data(), int64_t(all.size()), 0), img.size);
        all.resize(size_t(img.size));
        EXPECT_EQ(all, bytes(merged.begin(), merged.begin() + long(img.size)));
        EXPECT_TRUE(disc::closeimage(img));
    }
}

TEST_F(DiscImage, ReadsAndWritesAsTheMergedFile)
{
    disc::ImageError err;
    ASSERT_TRUE(disc::openimage(img, path("Game.cue").c_str(), true, nullptr, nullptr, err)) << err.reason;
    int mfd = open(path("merged.bin").c_str(), O_RDWR);
    ASSERT_GE(mfd, 0);
    const int64_t a = int64_t(track[0].size()), ab = a + int64_t(track[1].size());
    const int64_t end = ab + int64_t(track[2].size());
    struct Op {
        const char *what;
        int64_t pos, len;
    } ops[] = {
        {"within the first file", 100, 50},
        {"the last byte of a file and the first of the next", a - 1, 2},
        {"exactly the second file", a, ab - a},
        {"from the first file over the whole second into the third", a - 5, ab - a + 10},
        {"ending exactly at the end", end - 7, 7},
        {"from within the last file past the end", end - 3, 9},
        {"past the end, after a gap", end + 100, 4},
        {"one byte at the new end", end + 104, 1},
    };
    unsigned seed = 10;
    for (const Op &op : ops) {
        SCOPED_TRACE(op.what);
        bytes data = makeimage(size_t(op.len), seed++);
        ASSERT_TRUE(disc::writeimage(img, data.data(), op.len, op.pos));
        ASSERT_EQ(pwrite(mfd, data.data(), data.size(), op.pos), ssize_t(data.size()));
        struct stat st;
        fstat(mfd, &st);
        EXPECT_EQ(img.size, st.st_size);
        // Read back around it, and past the end: short exactly there.
        const int64_t from = std::max<int64_t>(0, op.pos - 9), len = op.len + 30;
        bytes got(static_cast<size_t>(len)), want(static_cast<size_t>(len));
        const ssize_t n = pread(mfd, want.data(), want.size(), from);
        EXPECT_EQ(disc::readimage(img, got.data(), len, from), n);
        EXPECT_EQ(got, want);
    }
    close(mfd);
    ASSERT_TRUE(disc::closeimage(img));
    // Byte for byte, in every file; the last holds all that grew.
    bytes all = readfile(path("merged.bin")), files[3] = {readfile(path(t1)), readfile(path(t2)), readfile(path(t3))};
    EXPECT_EQ(files[0], bytes(all.begin(), all.begin() + a));
    EXPECT_EQ(files[1], bytes(all.begin() + a, all.begin() + ab));
    EXPECT_EQ(files[2], bytes(all.begin() + ab, all.end()));

    // A file before the last that shrinks under the image is an error, not an end.
    ASSERT_TRUE(disc::openimage(img, path("Game.cue").c_str(), false, nullptr, nullptr, err));
    ASSERT_EQ(truncate(path(t2).c_str(), 1000), 0);
    unsigned char buf[4000];
    int failed = -1;
    EXPECT_EQ(disc::readimage(img, buf, sizeof buf, a + 100, &failed), -1);
    EXPECT_EQ(failed, 1);
    disc::Hashes whole, each[3];
    EXPECT_FALSE(disc::hashimage(img, whole, each, err));
    EXPECT_EQ(err.path, path(t2));
}

// Mavrin given the cue sheet leaves every track file as the merged file
// given to it is left, byte for byte, and says the same: records within a
// file, across the boundaries, past the end, adjacent runs, out of order
// (sorted by span), and a version 2.0 patch checked against the logical
// image, asking or not.
TEST_F(DiscImage, MavrinPatchesTheTrackFilesAsTheMergedFile)
{
    const int32_t a = int32_t(track[0].size()), ab = a + int32_t(track[1].size());
    const int32_t end = int32_t(merged.size());
    auto v1 = [](const std::vector<std::pair<int32_t, bytes>> &recs) {
        bytes p = zemheader(0);
        for (const auto &r : recs) addrecord(p, r.first, r.second);
        return p;
    };
    std::vector<std::pair<int32_t, bytes>> spread, adjacent, shuffled;
    for (int32_t at = 1000; at < end; at += 9000) spread.push_back({at, makeimage(40, unsigned(at))});
    for (int32_t at = a - 60000; at < ab + 20000; at += 255) adjacent.push_back({at, makeimage(255, unsigned(at))});
    srand(5);
    for (int i = 0; i < 20000; i++)
        shuffled.push_back({int32_t(rand() % (end + 300)), makeimage(size_t(1 + rand() % 64), unsigned(i))});
    bytes v2 = zemheader(1);
    addcheck(v2, end, merged);
    addrecord(v2, a - 2, {1, 2, 3, 4});
    bytes v2wrong = zemheader(1);
    addcheck(v2wrong, end + 1, merged);
    addrecord(v2wrong, ab - 2, {5, 6, 7, 8});
    struct Case {
        const char *what;
        bytes patch;
        std::string answers;
    } cases[] = {
        {"records within each file", v1(spread), ""},
        {"records across each boundary", v1({{a - 5, bytes(10, 0xa5)}, {ab - 3, bytes(200, 0x5a)}}), ""},
        {"past the end: the last file grows with a zero gap", v1({{end + 5000, {9, 9}}, {a, {7}}}), ""},
        {"an adjacent run over a whole file", v1(adjacent), ""},
        {"out of order, sorted by span", v1(shuffled), ""},
        {"a version 2.0 patch for this image", v2, ""},
        {"a version 2.0 patch of another size, answered no", v2wrong, "n"},
        {"a version 2.0 patch of another size, answered yes", v2wrong, "y"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        for (int i = 0; i < 3; i++) writefile(path(i == 0 ? t1 : i == 1 ? t2 : t3), track[i]);
        writefile(path("merged.bin"), merged);
        writefile(path("patch.zem"), c.patch);
        RunResult m = runprog(MAVRIN_DYNAMIC, {path("merged.bin"), path("patch.zem")}, c.answers);
        RunResult q = runprog(MAVRIN_DYNAMIC, {path("Game.cue"), path("patch.zem")}, c.answers);
        EXPECT_EQ(q.out, m.out);
        EXPECT_EQ(q.out.find("Patching ... DONE..\n") != std::string::npos, c.answers != "n") << q.out;
        const bytes all = readfile(path("merged.bin"));
        EXPECT_EQ(readfile(path(t1)), bytes(all.begin(), all.begin() + a));
        EXPECT_EQ(readfile(path(t2)), bytes(all.begin() + a, all.begin() + ab));
        EXPECT_EQ(readfile(path(t3)), bytes(all.begin() + ab, all.end()));
    }
}

// A cue sheet Mavrin cannot use gets the open-failure line naming the file
// at fault, and no file is written; the statically linked build reads no
// cue sheets at all.
TEST_F(DiscImage, MavrinRefusesACueSheetBeforeWriting)
{
    bytes patch = zemheader(0);
    addrecord(patch, 10, {1, 2, 3});
    writefile(path("patch.zem"), patch);
    const std::string file1 = "FILE \"" + t1 + "\" BINARY\r\n  TRACK 01 MODE2/2352\r\n    INDEX 01 00:00:00\r\n";
    auto second = [](const std::string &name, const std::string &type = "BINARY") {
        return "FILE \"" + name + "\" " + type + "\r\n  TRACK 02 AUDIO\r\n    INDEX 01 00:00:00\r\n";
    };
    struct Case {
        const char *what, *prog;
        std::string cue, patchname, named;
    } cases[] = {
        {"a missing track file", MAVRIN_DYNAMIC, file1 + second("Game (Track 09).bin"), "patch.zem", "Game (Track 09).bin"},
        {"a WAVE file", MAVRIN_DYNAMIC, file1 + second(t2, "WAVE"), "patch.zem", "Try.cue"},
        {"a track file that is the patch", MAVRIN_DYNAMIC, file1 + second("patch.zem"), "patch.zem", "patch.zem"},
        {"a missing patch", MAVRIN_DYNAMIC, file1 + second(t2), "none.zem", "none.zem"},
        {"the static build", MAVRIN_STATIC, file1 + second(t2), "patch.zem", "Try.cue"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        writetext("Try.cue", c.cue);
        RunResult r = runprog(c.prog, {path("Try.cue"), path(c.patchname)});
        EXPECT_EQ(r.out, std::string(banner) + "File " + path(c.named) + " does not exist.\n");
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(readfile(path(t1)), track[0]);
        EXPECT_EQ(readfile(path(t2)), track[1]);
        EXPECT_EQ(readfile(path("patch.zem")), patch);
    }
}

TEST_F(DiscImage, RefusesBeforeAnything)
{
    mkdir(path("folder.bin").c_str(), 0700);
    writefile(path("empty.bin"), {});
    writefile(path("game (track 02).BIN"), track[1]);
    writefile(path("GAME (TRACK 02).bin"), track[1]);
    writefile(path("patch.zem"), bytes{'Z', 'E', 'M'});
    struct stat patch;
    ASSERT_EQ(stat(path("patch.zem").c_str(), &patch), 0);
    const std::string file1 = "FILE \"" + t1 + "\" BINARY\r\n  TRACK 01 MODE2/2352\r\n    INDEX 01 00:00:00\r\n";
    auto second = [](const std::string &name, const std::string &type = "BINARY") {
        return "FILE \"" + name + "\" " + type + "\r\n  TRACK 02 AUDIO\r\n    INDEX 01 00:00:00\r\n";
    };
    struct Case {
        const char *what;
        std::string cue;
        std::string named;    // the file the refusal names
        const char *reason;
    };
    std::vector<Case> cases = {
        {"a mode libcue does not know", file1 + "  TRACK 02 CDG\r\n    INDEX 01 00:01:00\r\n", "Try.cue",
         "does not parse: line 4: a track's mode is AUDIO, MODE1/2048"},
        {"text that is no cue sheet", "hello\n", "Try.cue", "does not parse: line 1: 'hello' is not a cue sheet command"},
        {"an INDEX without its time", file1 + "  TRACK 02 AUDIO\r\n    INDEX 01 00:00\r\n", "Try.cue",
         "does not parse: line 5: an INDEX line needs a number and a time as minutes:seconds:frames"},
        {"a track without INDEX 01", file1 + "  TRACK 02 AUDIO\r\n", "Try.cue",
         "does not parse: line 4: its track has no INDEX 01"},
        {"a TRACK before any FILE", "TRACK 01 AUDIO\nINDEX 01 00:00:00\n" + file1, "Try.cue",
         "does not parse: line 1: a TRACK line comes before any FILE line"},
        {"a FILE line without a type", "FILE \"" + t1 + "\"\n TRACK 01 AUDIO\n INDEX 01 00:00:00\n", "Try.cue",
         "does not parse: line 1: a FILE line needs a file name and a type"},
        {"a zero byte", std::string("FILE \"a\0", 8), "Try.cue", "does not parse: it holds a zero byte"},
        {"an empty sheet", "", "Try.cue", "does not parse"},
        {"a WAVE file", file1 + second("t.wav", "WAVE"), "Try.cue", "lists t.wav as WAVE"},
        {"an MP3 file", second("t.mp3", "MP3"), "Try.cue", "lists t.mp3 as MP3"},
        {"a missing file", file1 + second("Game (Track 09).bin"), "Game (Track 09).bin", "is missing"},
        {"two names differ only in case", file1 + second("Game (track 02).bin"), "Game (track 02).bin",
         "several names differ from it only in case"},
        {"an empty file", file1 + second("empty.bin"), "empty.bin", "is empty"},
        {"a folder", file1 + second("folder.bin"), "folder.bin", "is not a regular file or block device"},
        {"a file listed twice", file1 + second(t1), t1, "is listed twice in the cue sheet"},
        {"the patch as a track", file1 + second("patch.zem"), "patch.zem", "is the same file as the patch"},
        {"the sheet as a track", file1 + second("Try.cue"), "Try.cue", "is the cue sheet itself"},
        {"a file outside the folder", file1 + second("../" + t2), "Try.cue", "outside the cue sheet's folder"},
        {"an absolute path", second(path(t2)), "Try.cue", "outside the cue sheet's folder"},
        {"a track past the end of its file",
         file1 + "  TRACK 02 AUDIO\r\n    INDEX 01 70:00:00\r\n", "Try.cue", "starts track 2 past the end"},
        {"tracks out of order",
         "FILE \"" + t2 + "\" BINARY\n TRACK 01 AUDIO\n INDEX 01 00:00:10\n TRACK 02 AUDIO\n INDEX 01 00:00:05\n",
         "Try.cue", "starts track 2 before track 1"},
        {"a track numbered 0", "FILE \"" + t2 + "\" BINARY\n TRACK 00 AUDIO\n INDEX 01 00:00:00\n", "Try.cue",
         "does not parse: line 2: a track's number is from 1 to 99, not 0"},
        {"a FILE entry with no track", "FILE \"" + t2 + "\" BINARY\n" + file1, "Try.cue",
         "does not parse: line 1: no TRACK or INDEX line follows its FILE line"},
    };
    std::string hundred = "FILE \"" + t2 + "\" BINARY\n";
    for (int i = 1; i <= 100; i++) hundred += " TRACK " + std::to_string(i) + " AUDIO\n INDEX 01 00:00:" + std::to_string(i) + "\n";
    cases.push_back({"100 tracks (libcue keeps 99)", hundred, "Try.cue", "does not parse: line 200: a TRACK line needs a number from 1 to 99"});
    const int fds = openfds();
    for (const Case &k : cases) {
        SCOPED_TRACE(k.what);
        writetext("Try.cue", k.cue);
        disc::ImageError err;
        testing::internal::CaptureStderr();
        const bool opened = disc::openimage(img, path("Try.cue").c_str(), true, &patch, "the patch", err);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
        EXPECT_FALSE(opened);
        EXPECT_EQ(err.path, path(k.named));
        EXPECT_NE(std::string(err.reason).find(k.reason), std::string::npos) << err.reason;
        EXPECT_EQ(openfds(), fds);
    }
    // One file: only what it cannot be.
    disc::ImageError err;
    EXPECT_FALSE(disc::openimage(img, path("patch.zem").c_str(), true, &patch, "the patch", err));
    EXPECT_STREQ(err.reason, "is the same file as the patch");
    EXPECT_FALSE(disc::openimage(img, path("folder.bin").c_str(), false, nullptr, nullptr, err));
    EXPECT_STREQ(err.reason, "is not a regular file or block device");
    EXPECT_FALSE(disc::openimage(img, path("none.cue").c_str(), false, nullptr, nullptr, err));
    EXPECT_STREQ(err.reason, "is missing");
    EXPECT_TRUE(disc::openimage(img, path("empty.bin").c_str(), true, nullptr, nullptr, err));
    EXPECT_EQ(img.size, 0);
    EXPECT_EQ(openfds(), fds + 1);
}

// A track file reached through a symbolic link: only a link to a regular
// file in the sheet's folder is followed, with openat2 and without it.
TEST_F(DiscImage, TrackFilesThroughLinksStayInTheFolder)
{
    const std::string out = dir + ".outside";
    mkdir(out.c_str(), 0700);
    writefile(out + "/v2.bin", track[1]);
    mkdir(path("in").c_str(), 0700);
    writefile(path("in/v2.bin"), track[1]);
    mkdir(path("folder.bin").c_str(), 0700);
    std::string blockdev;   // any block device: refused before it is opened
    if (DIR *d = opendir("/dev")) {
        while (const dirent *e = readdir(d)) {
            struct stat st;
            if (blockdev.empty() && stat(("/dev/" + std::string(e->d_name)).c_str(), &st) == 0 && S_ISBLK(st.st_mode))
                blockdev = "/dev/" + std::string(e->d_name);
        }
        closedir(d);
    }
    const char *leads = "is a symbolic link that leads outside the cue sheet's folder";
    const char *linkedfolder = "is reached through a symbolic link to a folder";
    const std::string outname = out.substr(out.rfind('/') + 1);
    struct Case {
        const char *what, *name;   // the name the sheet gives
        std::string link;          // its first part, a link to target ("": no link)
        std::string target;
        const char *reason;        // nullptr: opened
    };
    std::vector<Case> cases = {
        {"a link to a file elsewhere", "b.bin", "b.bin", out + "/v2.bin", leads},
        {"a relative link out of the folder", "b.bin", "b.bin", "../" + outname + "/v2.bin", leads},
        {"a file in a linked folder elsewhere", "sub/v2.bin", "sub", out, linkedfolder},
        {"a file in a linked folder inside", "sub/v2.bin", "sub", "in", linkedfolder},
        {"a link to a folder", "b.bin", "b.bin", "folder.bin", "is a symbolic link to something other than a regular file"},
        {"a link to nothing", "b.bin", "b.bin", "none.bin", "is a symbolic link to a missing file"},
        {"a link to /dev/null", "b.bin", "b.bin", "/dev/null", leads},
        {"a link to a file in the folder", "b.bin", "b.bin", "in/v2.bin", nullptr},
        {"a file in a real subfolder", "in/v2.bin", "", "", nullptr},
    };
    if (!blockdev.empty()) cases.push_back({"a link to a block device", "b.bin", "b.bin", blockdev, leads});
    const std::string file1 = "FILE \"" + t1 + "\" BINARY\n TRACK 01 MODE2/2352\n INDEX 01 00:00:00\n";
    for (bool fallback : {false, true}) {
        disc::openat2missing = fallback;
        for (const Case &k : cases) {
            SCOPED_TRACE(std::string(k.what) + (fallback ? ", without openat2" : ", with openat2"));
            if (!k.link.empty()) {
                ASSERT_EQ(symlink(k.target.c_str(), path(k.link).c_str()), 0);
            }
            writetext("Try.cue", file1 + "FILE \"" + k.name + "\" BINARY\n TRACK 02 AUDIO\n INDEX 01 00:00:00\n");
            disc::ImageError err;
            const bool opened = disc::openimage(img, path("Try.cue").c_str(), true, nullptr, nullptr, err);
            EXPECT_EQ(opened, k.reason == nullptr) << err.reason;
            if (k.reason) {
                EXPECT_EQ(err.path, path(k.name));
                EXPECT_NE(std::string(err.reason).find(k.reason), std::string::npos) << err.reason;
            } else {
                EXPECT_EQ(img.size, int64_t(track[0].size() + track[1].size()));
            }
            disc::closeimage(img);
            if (!k.link.empty()) unlink(path(k.link).c_str());
        }
    }
    disc::openat2missing = false;

    // Mavrin: the open-failure line, nothing written through the link.
    bytes patch = zemheader(0);
    addrecord(patch, int32_t(track[0].size()) + 10, {1, 2, 3});
    writefile(path("patch.zem"), patch);
    ASSERT_EQ(symlink((out + "/v2.bin").c_str(), path("b.bin").c_str()), 0);
    writetext("Try.cue", file1 + "FILE \"b.bin\" BINARY\n TRACK 02 AUDIO\n INDEX 01 00:00:00\n");
    RunResult r = runprog(MAVRIN_DYNAMIC, {path("Try.cue"), path("patch.zem")});
    EXPECT_EQ(r.out, std::string(banner) + "File " + path("b.bin") + " does not exist.\n");
    EXPECT_EQ(readfile(out + "/v2.bin"), track[1]);
    EXPECT_EQ(readfile(path(t1)), track[0]);
    ASSERT_EQ(system(("rm -rf '" + out + "'").c_str()), 0);
}

TEST_F(DiscImage, FindsTheCueSheetOfASplitDump)
{
    writetext("Merged.cue", "FILE \"merged.bin\" BINARY\n TRACK 01 MODE2/2352\n INDEX 01 00:00:00\n");
    writetext("Broken.cue", "FILE \"nothere.bin\" BINARY\n TRACK 01 MODE2/2352\n INDEX 01 00:00:00\n");
    disc::SplitDump s;
    ASSERT_TRUE(disc::findsplit(path(t2).c_str(), s));
    EXPECT_EQ(s.cuepath, path("Game.cue"));
    EXPECT_EQ(s.file, 1);
    EXPECT_EQ(s.nfiles, 3);
    EXPECT_EQ(s.first, int64_t(track[0].size()));
    EXPECT_EQ(s.size, int64_t(track[1].size()));
    EXPECT_EQ(s.imagesize, int64_t(merged.size()));
    // A file that a sheet lists whole is no split dump.
    EXPECT_FALSE(disc::findsplit(path("merged.bin").c_str(), s));
    EXPECT_FALSE(disc::findsplit(path("Game.cue").c_str(), s));
}

TEST_F(DiscImage, HashesAsOtherToolsGiveThem)
{
    const char *crc = "python3 -c 'import sys, zlib\n"
                      "for f in sys.argv[1:]: print(\"%08x\" % zlib.crc32(open(f, \"rb\").read()))' ";
    for (const char *name : {"Game.cue", "merged.bin"}) {
        SCOPED_TRACE(name);
        disc::ImageError err;
        ASSERT_TRUE(disc::openimage(img, path(name).c_str(), false, nullptr, nullptr, err));
        disc::Hashes whole, each[3];
        ASSERT_TRUE(disc::hashimage(img, whole, each, err)) << err.reason;
        std::string files, want, got;
        for (int i = 0; i < img.nfiles; i++) files += " '" + std::string(img.files[i].path) + "'";
        files += " merged.bin";
        for (const char *tool : {"md5sum", "sha1sum"}) want += run(tool + files);
        want += run(crc + files);
        for (int i = 0; i < img.nfiles; i++)
            got += std::string(each[i].md5) + "  " + img.files[i].path + "\n";
        got += std::string(whole.md5) + "  merged.bin\n";
        for (int i = 0; i < img.nfiles; i++)
            got += std::string(each[i].sha1) + "  " + img.files[i].path + "\n";
        got += std::string(whole.sha1) + "  merged.bin\n";
        for (int i = 0; i < img.nfiles; i++) got += std::string(each[i].crc32) + "\n";
        got += std::string(whole.crc32) + "\n";
        EXPECT_EQ(got, want);
        disc::closeimage(img);
    }
}

} // namespace
