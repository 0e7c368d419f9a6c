// Command line, file opens, identification and the information lines.
#include <cstring>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "patchbuilder.hpp"

BOTH_BUILDS(Usage);

TEST_P(Usage, FewerThanTwoArgumentsPrintsUsage)
{
    const std::string usage = std::string(banner) + "Usage: Mavrin <Binfile> <ZEM-File>\n";
    for (auto args : {std::vector<std::string>{}, std::vector<std::string>{"image.bin"}}) {
        RunResult r = runprog(GetParam(), args);
        EXPECT_EQ(r.out, usage);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.status, 0);
    }
}

TEST_P(Usage, ArgumentsAfterTheSecondAreIgnored)
{
    bytes patch = zemheader(0, "x");
    addrecord(patch, 0, {9});
    writefile(path("image.bin"), {1, 2});
    writefile(path("patch.zem"), patch);
    RunResult r = runprog(GetParam(), {path("image.bin"), path("patch.zem"), "extra", "more"});
    EXPECT_EQ(r.out, infolines(path("patch.zem"), 0, "x", nodiz) +
                         "Patching ... DONE..\n");
    EXPECT_EQ(image(), (bytes{9, 2}));
}

BOTH_BUILDS(OpenFailure);

TEST_P(OpenFailure, MissingImageOrImageThatCannotBeWritten)
{
    bytes patch = zemheader(0);
    writefile(path("patch.zem"), patch);
    mkdir(path("folder").c_str(), 0755);
    // a missing file, and a folder, which cannot be opened for update
    for (std::string img : {path("missing.bin"), path("folder")}) {
        RunResult r = runprog(GetParam(), {img, path("patch.zem")});
        EXPECT_EQ(r.out, std::string(banner) + "File " + img + " does not exist.\n");
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.status, 0);
    }
    EXPECT_EQ(access(path("missing.bin").c_str(), F_OK), -1) << "the image must not be created";
}

TEST_P(OpenFailure, ReadOnlyImage)
{
    bytes patch = zemheader(0);
    addrecord(patch, 0, {9});
    writefile(path("image.bin"), {1, 2, 3});
    writefile(path("patch.zem"), patch);
    chmod(path("image.bin").c_str(), 0444);
    RunResult r = runprog(GetParam(), {path("image.bin"), path("patch.zem")}, "", 0, true);
    if (r.status == 126) GTEST_SKIP() << "cannot take from root its power over file modes";
    EXPECT_EQ(r.out, std::string(banner) + "File " + path("image.bin") + " does not exist.\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(image(), (bytes{1, 2, 3}));
}

TEST_P(OpenFailure, MissingPatchLeavesImageUnchanged)
{
    writefile(path("image.bin"), {1, 2, 3});
    RunResult r = runprog(GetParam(), {path("image.bin"), path("none.zem")});
    EXPECT_EQ(r.out, std::string(banner) + "File " + path("none.zem") + " does not exist.\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(image(), (bytes{1, 2, 3}));
}

BOTH_BUILDS(Identify);

TEST_P(Identify, NotAZemFile)
{
    const bytes img = makeimage(64);
    const std::vector<bytes> heads = {
        {},                             // empty
        {'Z'},                          // one byte
        {'Z', 'E'},                     // two bytes
        {'Z', 'E', 'X', 0, 0, 0},       // wrong third letter
        {'z', 'e', 'm', 0, 0, 0},       // lower case
        {'Z', 'E', 0, 'M', 0, 0},       // zero among the first three
        {'X', 'Z', 'E', 'M', 0, 0},     // magic one byte late
    };
    for (const bytes &head : heads) {
        bytes patch = head;
        RunResult r = apply(img, patch);
        EXPECT_EQ(r.out, std::string(banner) + "File " + path("patch.zem") +
                             " if *NO* ZEM file.\n");
        EXPECT_EQ(image(), img);
    }
}

TEST_P(Identify, UnknownMethod)
{
    const bytes img = makeimage(64);
    for (int method : {2, 3, 127, 128, 255}) {
        bytes patch = zemheader(method);
        addrecord(patch, 0, {1, 2, 3});
        RunResult r = apply(img, patch);
        EXPECT_EQ(r.out, std::string(banner) + "Unknown Encodingmethod! - check for updates.\n")
            << "method " << method;
        EXPECT_EQ(image(), img);
    }
}

TEST_P(Identify, BytesThreeAndFourAreNotExamined)
{
    bytes patch = zemheader(0, "odd");
    patch[3] = 0xff;
    patch[4] = 'Q';
    addrecord(patch, 1, {7});
    RunResult r = apply({0, 0}, patch);
    EXPECT_EQ(r.out, infolines(path("patch.zem"), 0, "odd", nodiz) +
                         "Patching ... DONE..\n");
    EXPECT_EQ(image(), (bytes{0, 7}));
}

TEST_P(Identify, MagicWithoutMethodByteIsAnEmptyVersion1Header)
{
    const bytes img = makeimage(32);
    for (bytes patch : {bytes{'Z', 'E', 'M'}, bytes{'Z', 'E', 'M', 1}, bytes{'Z', 'E', 'M', 1, 1}}) {
        RunResult r = apply(img, patch);
        EXPECT_EQ(r.out, infolines(path("patch.zem"), 0, "", nodiz) +
                             "Patching ... ERROR: damaged ZEM file, the BIN file was not changed.\n");
        EXPECT_EQ(image(), img);
    }
}

TEST_P(Identify, DescriptionIsShownUpToItsZeroOrWhole)
{
    const std::string full(50, 'D');   // fills the field, no zero byte
    bytes patch = zemheader(0, full);
    addrecord(patch, 'A', {'D'});      // a non-zero byte right behind the field
    RunResult r = apply({0}, patch);
    EXPECT_EQ(r.out, infolines(path("patch.zem"), 0, full, nodiz) +
                         "Patching ... DONE..\n");

    bytes cut = zemheader(1, "before");
    cut[zem::descpos + 7] = 'X';   // behind the zero: never shown
    addcheck(cut, 1, {0});
    r = apply({0}, cut);
    EXPECT_EQ(r.out, infolines(path("patch.zem"), 1, "before", nodiz) +
                         "Patching ... DONE..\n");
}

TEST_P(OpenFailure, FilesThatDoNotKeepBytesAtOffsets)
{
    bytes patch = zemheader(0);
    addrecord(patch, 0, {9});
    const bytes img = {1, 2, 3};
    writefile(path("image.bin"), img);
    writefile(path("patch.zem"), patch);
    const std::string zem = path("patch.zem"), fifo = path("fifo"), sock = path("socket");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    ASSERT_EQ(mkdir(path("folder").c_str(), 0755), 0);
    ASSERT_EQ(link(zem.c_str(), path("hardlink").c_str()), 0);
    ASSERT_EQ(symlink(zem.c_str(), path("symlink").c_str()), 0);
    int s = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un sa = {};
    sa.sun_family = AF_UNIX;
    snprintf(sa.sun_path, sizeof sa.sun_path, "%s", sock.c_str());
    ASSERT_EQ(bind(s, reinterpret_cast<sockaddr *>(&sa), sizeof sa), 0);
    struct Case {
        std::string image, patch, named;   // named: the path in the open-failure line
    };
    const std::vector<Case> cases = {
        {fifo, zem, fifo},                     // a FIFO image, nobody at the other end
        {"/dev/null", zem, "/dev/null"},       // takes every write, keeps nothing
        {"/dev/zero", zem, "/dev/zero"},
        {sock, zem, sock},
        {path("image.bin"), fifo, fifo},       // a FIFO patch would wait for a writer
        {path("image.bin"), "/dev/zero", "/dev/zero"},   // no size, no offsets
        {path("image.bin"), path("folder"), path("folder")},
        {zem, zem, zem},                       // one file as image and patch
        {path("hardlink"), zem, path("hardlink")},
        {path("symlink"), zem, path("symlink")},
    };
    for (const Case &c : cases) {
        RunResult r = runprog(GetParam(), {c.image, c.patch});
        EXPECT_EQ(r.out, std::string(banner) + "File " + c.named + " does not exist.\n")
            << c.image << " " << c.patch;
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(image(), img);
        EXPECT_EQ(readfile(zem), patch);
    }
    close(s);
}

TEST_P(OpenFailure, ImageThroughALinkOrOnABlockDevice)
{
    bytes patch = zemheader(0);
    addrecord(patch, 1, {9, 8});
    writefile(path("patch.zem"), patch);
    const std::string out = infolines(path("patch.zem"), 0, "test patch", nodiz) + done;

    writefile(path("image.bin"), {1, 2, 3});
    ASSERT_EQ(symlink(path("image.bin").c_str(), path("link.bin").c_str()), 0);
    EXPECT_EQ(runprog(GetParam(), {path("link.bin"), path("patch.zem")}).out, out);
    EXPECT_EQ(image(), (bytes{1, 9, 8}));

    writefile(path("disk"), bytes(4096, 7));
    FILE *p = popen(("losetup --find --show '" + path("disk") + "' 2>/dev/null").c_str(), "r");
    char dev[256] = "";
    bool attached = p && fgets(dev, sizeof dev, p) && pclose(p) == 0;
    if (!attached) GTEST_SKIP() << "cannot attach a loop device (needs root and loop devices)";
    dev[strcspn(dev, "\n")] = 0;
    RunResult r = runprog(GetParam(), {dev, path("patch.zem")});
    bytes back = readfile(dev);
    EXPECT_EQ(system(("losetup --detach " + std::string(dev)).c_str()), 0);
    EXPECT_EQ(r.out, out);
    bytes want(4096, 7);
    putbytes(want, 1, {9, 8});
    EXPECT_EQ(back, want);
}

BOTH_BUILDS(StdFds);

TEST_P(StdFds, ClosedStandardDescriptorsNeverBecomeTheFiles)
{
    const bytes img(1 << 20, 'y');   // an answer of yes, wherever it is read
    bytes v1 = zemheader(0, "v1");
    addrecord(v1, 0, {1, 2, 3});
    bytes v2 = zemheader(1, "v2");
    addcheck(v2, int32_t(img.size()), {});   // a validation block of zeros: a question
    addrecord(v2, 0, {1, 2, 3});
    bytes patched = img;
    putbytes(patched, 0, {1, 2, 3});
    const std::string blockq = "The BINfile does not seem to be the right one\n"
                               "CONTINUE though? (Suggestion: NO) (y/n): ";
    struct Case {
        unsigned closed;   // bit n: descriptor n
        const bytes &patch;
        std::string out;
        bool applied;
    };
    const std::vector<Case> cases = {
        // the console lines go nowhere, not into the image
        {1u << 1, v1, "", true},
        // end of input refuses, the image gives no answer
        {1u << 0, v2, infolines(path("patch.zem"), 1, "v2", nodiz) + blockq + "\nAborted...\n",
         false},
        {3u, v2, "", false},
        {7u, v1, "", true},
    };
    for (const Case &c : cases) {
        // valgrind keeps a closed descriptor 2 for its messages and refuses it
        // to the program, which then ends at once.
        if ((c.closed & 4) && getenv("MAVRIN_TEST_WRAPPER")) continue;
        writefile(path("image.bin"), img);
        writefile(path("patch.zem"), c.patch);
        RunOpts opts;
        opts.closed = c.closed;
        RunResult r = runprog(GetParam(), {path("image.bin"), path("patch.zem")}, opts);
        EXPECT_EQ(r.status, 0) << "closed " << c.closed;
        EXPECT_EQ(r.out, c.out) << "closed " << c.closed;
        EXPECT_EQ(r.err, "") << "closed " << c.closed;
        EXPECT_TRUE(image() == (c.applied ? patched : img)) << "closed " << c.closed;
        EXPECT_EQ(readfile(path("patch.zem")), c.patch) << "closed " << c.closed;
    }
}
