// Command line, file opens, identification and the information lines.
#include <sys/stat.h>
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
