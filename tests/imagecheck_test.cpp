// Image checks: the stored size and validation block, and the questions.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include "patchbuilder.hpp"

namespace {
const std::string sizeq = "The size of the BIN file isnt correct\nCONTINUE though? (y/n): ";
const std::string blockq =
    "The BINfile does not seem to be the right one\nCONTINUE though? (Suggestion: NO) (y/n): ";
const std::string aborted = "\nAborted...\n";

// A version 2.0 patch for img, with one record, whose stored size and
// block may be made wrong.
bytes patchfor(const bytes &img, bool rightsize, bool rightblock)
{
    bytes p = zemheader(1, "checks");
    bytes seen = img;
    if (!rightblock) seen[zem::imageblockpos + 1023] ^= 0x01;
    addcheck(p, int32_t(img.size()) + (rightsize ? 0 : 1), seen);
    addrecord(p, 3, {0xaa, 0xbb});
    return p;
}
} // namespace

BOTH_BUILDS(ImageCheck);

TEST_P(ImageCheck, RightImageAsksNothing)
{
    const bytes img = makeimage(40000);
    RunResult r = apply(img, patchfor(img, true, true));
    EXPECT_EQ(r.out, infolines(path("patch.zem"), 1, "checks", nodiz) + done);
    bytes want = img;
    putbytes(want, 3, {0xaa, 0xbb});
    EXPECT_EQ(image(), want);
}

TEST_P(ImageCheck, AnswersToOneFailedTest)
{
    const bytes img = makeimage(40000);
    bytes patched = img;
    putbytes(patched, 3, {0xaa, 0xbb});
    struct Case {
        bool rightsize;
        std::string question;
    };
    for (const Case &c : {Case{false, sizeq}, Case{true, blockq}}) {
        const bytes patch = patchfor(img, c.rightsize, !c.rightsize);
        const std::string head = infolines(path("patch.zem"), 1, "checks", nodiz) + c.question;
        for (std::string accept : {"y", "Y", "yes\n"}) {
            RunResult r = apply(img, patch, accept);
            EXPECT_EQ(r.out, head + done) << "answer " << accept;
            EXPECT_EQ(image(), patched);
        }
        for (std::string no : {"n", "N", " ", "\n", "", "x"}) {   // "" is end of input
            RunResult r = apply(img, patch, no);
            EXPECT_EQ(r.out, head + aborted) << "answer '" << no << "'";
            EXPECT_EQ(image(), img);
        }
    }
}

TEST_P(ImageCheck, BothTestsFailEachAnswerIsOneCharacter)
{
    const bytes img = makeimage(40000);
    const bytes patch = patchfor(img, false, false);
    const std::string head = infolines(path("patch.zem"), 1, "checks", nodiz) + sizeq;
    RunResult r = apply(img, patch, "y\n");   // the newline answers the second
    EXPECT_EQ(r.out, head + blockq + aborted);
    EXPECT_EQ(image(), img);
    r = apply(img, patch, "n");
    EXPECT_EQ(r.out, head + aborted);
    r = apply(img, patch, "yY");
    EXPECT_EQ(r.out, head + blockq + done);
    EXPECT_NE(image(), img);
}

TEST_P(ImageCheck, ShortImageAndShortPatchCompareAgainstZeros)
{
    // The image ends inside the block: the missing bytes count as zeros.
    const bytes img = makeimage(zem::imageblockpos + 100);
    RunResult r = apply(img, patchfor(img, true, true));
    EXPECT_EQ(r.out, infolines(path("patch.zem"), 1, "checks", nodiz) + done);

    // The patch ends inside the block: its missing bytes count as zeros too.
    bytes zeroed = makeimage(40000);
    std::fill(zeroed.begin() + zem::imageblockpos + 100, zeroed.end(), 0);
    bytes shortpatch = zemheader(1, "short");
    addcheck(shortpatch, int32_t(zeroed.size()), zeroed);
    shortpatch.resize(zem::checkblockpos + 100);
    r = apply(zeroed, shortpatch);
    EXPECT_EQ(r.out, infolines(path("patch.zem"), 1, "short", nodiz) +
                         "Patching ... ERROR: damaged ZEM file, the BIN file was not changed.\n");
    EXPECT_EQ(image(), zeroed);
    r = apply(makeimage(40000), shortpatch, "n");
    EXPECT_EQ(r.out, infolines(path("patch.zem"), 1, "short", nodiz) + blockq + aborted);
}

TEST_P(ImageCheck, ImageOf4GiBDoesNotMatchItsLow32Bits)
{
    const int64_t big = (int64_t(1) << 32) + 64;
    bytes patch = zemheader(1, "big");
    addcheck(patch, 64, {});
    writefile(path("image.bin"), {});
    ASSERT_EQ(truncate(path("image.bin").c_str(), big), 0);   // sparse
    writefile(path("patch.zem"), patch);
    RunResult r = runprog(GetParam(), {path("image.bin"), path("patch.zem")}, "n");
    EXPECT_EQ(r.out, infolines(path("patch.zem"), 1, "big", nodiz) + sizeq + aborted);
}

TEST_P(ImageCheck, QuestionIsOnATerminalBeforeTheAnswer)
{
    const bytes img = makeimage(40000);
    writefile(path("image.bin"), img);
    writefile(path("patch.zem"), patchfor(img, false, true));
    int master = -1;
    pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
    ASSERT_GE(pid, 0);
    if (pid == 0) execprog(GetParam(), {path("image.bin"), path("patch.zem")});
    // Nothing is typed until the question is on the screen.
    std::string screen;
    char buf[512];
    while (screen.find("CONTINUE though? (y/n): ") == std::string::npos) {
        struct pollfd pfd = {master, POLLIN, 0};
        ASSERT_GT(poll(&pfd, 1, 10000), 0) << "no question on the terminal; saw: " << screen;
        ssize_t n = read(master, buf, sizeof buf);
        ASSERT_GT(n, 0);
        screen.append(buf, size_t(n));
    }
    ASSERT_EQ(write(master, "n\n", 2), 2);
    for (;;) {
        struct pollfd pfd = {master, POLLIN, 0};
        if (poll(&pfd, 1, 10000) <= 0) break;
        ssize_t n = read(master, buf, sizeof buf);
        if (n <= 0) break;
        screen.append(buf, size_t(n));
    }
    int ws = 0;
    waitpid(pid, &ws, 0);
    close(master);
    EXPECT_NE(screen.find("Aborted..."), std::string::npos) << screen;
    EXPECT_TRUE(WIFEXITED(ws) && WEXITSTATUS(ws) == 0);
    EXPECT_EQ(image(), img);
}
