// FILE_ID.DIZ trailer: found by its tag, its text shown, left out of the
// records; texts from a patch on a terminal and elsewhere.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include "patchbuilder.hpp"

namespace {
// Runs prog with standard output and error on a new terminal, set raw so
// that its bytes arrive as written, or on a pipe; standard input is typed on
// that terminal, or read from a pipe. Returns what the program printed.
std::string runattached(const char *prog, const std::vector<std::string> &args,
                        const std::string &input, bool terminal)
{
    int from = -1, to = -1;
    pid_t pid;
    if (terminal) {
        struct termios raw = {};
        cfmakeraw(&raw);
        pid = forkpty(&from, nullptr, &raw, nullptr);
        to = from;
    } else {
        int out[2], in[2];
        if (pipe(out) != 0 || pipe(in) != 0) return "no pipes";
        pid = fork();
        if (pid == 0) {
            dup2(in[0], 0);
            dup2(out[1], 1);
            dup2(out[1], 2);
            for (int fd : {in[0], in[1], out[0], out[1]}) close(fd);
        }
        close(in[0]);
        close(out[1]);
        from = out[0];
        to = in[1];
    }
    if (pid < 0) return "no child";
    if (pid == 0) {
        alarm(watchdogseconds);
        execprog(prog, args);
    }
    EXPECT_EQ(write(to, input.data(), input.size()), ssize_t(input.size()));
    if (to != from) close(to);
    std::string got;
    char buf[4096];
    for (;;) {   // up to the end of the pipe, or EIO once the terminal is gone
        struct pollfd pfd = {from, POLLIN, 0};
        if (poll(&pfd, 1, int(watchdogseconds) * 1000) <= 0) break;
        ssize_t n = read(from, buf, sizeof buf);
        if (n <= 0) break;
        got.append(buf, size_t(n));
    }
    close(from);
    int ws = 0;
    waitpid(pid, &ws, 0);
    EXPECT_TRUE(WIFEXITED(ws) && WEXITSTATUS(ws) == 0);
    return got;
}

// A version 2.0 patch for img with one record, ready for a trailer.
bytes patchfor(const bytes &img)
{
    bytes p = zemheader(1, "diz");
    addcheck(p, int32_t(img.size()), img);
    addrecord(p, 5, {0x11, 0x22, 0x33});
    return p;
}
} // namespace

BOTH_BUILDS(Diz);

TEST_P(Diz, TrailerTextShownAndNeverWritten)
{
    const bytes img = makeimage(40000);
    bytes patch = patchfor(img);
    adddiz(patch, "  Some Game (fix)\r\n  line two\n\tend");
    RunResult r = apply(img, patch);
    EXPECT_EQ(r.out, infolines(path("patch.zem"), 1, "diz", yes) +
                         "  Some Game (fix)\r\n  line two\n\tend\n" + done);
    bytes want = img;
    putbytes(want, 5, {0x11, 0x22, 0x33});
    EXPECT_EQ(image(), want);
}

TEST_P(Diz, ShownTextPerStoredLength)
{
    const bytes img = makeimage(40000);
    const std::string big(4000, 'a');
    struct Case {
        const char *what;
        std::string stored;
        int32_t len;
        std::string shown;
    };
    const std::vector<Case> cases = {
        {"length 7: nothing left to show", "1234567", 7, ""},
        {"zero byte inside", std::string("abc\0def1234567", 14), 14, "abc"},
        {"lengths below 7 show nothing", "abc", 3, ""},
        {"length 0", "", 0, ""},
        {"the whole buffer", std::string(3072, 'b'), 3072, std::string(3065, 'b')},
        {"above the buffer, still shortened by 7", std::string(3075, 'c'), 3075,
         std::string(3068, 'c')},
        {"far above the buffer: what it holds", big, 4000, std::string(3072, 'a')},
    };
    for (const Case &c : cases) {
        bytes patch = patchfor(img);
        adddiz(patch, c.stored, c.len);
        RunResult r = apply(img, patch);
        EXPECT_EQ(r.out, infolines(path("patch.zem"), 1, "diz", yes) + c.shown + "\n" + done)
            << c.what;
        EXPECT_EQ(image()[5], 0x11) << c.what;
    }
}

TEST_P(Diz, LengthsThatDoNotFitTheFile)
{
    const bytes img = makeimage(40000);
    for (int32_t len : {-1, -5000, INT32_MIN, 100000, INT32_MAX}) {
        bytes patch = patchfor(img);
        adddiz(patch, "text-------", len);
        RunResult r = apply(img, patch);
        EXPECT_EQ(r.out, infolines(path("patch.zem"), 1, "diz", yes) + "\n" + damaged)
            << "length " << len;
        EXPECT_EQ(image(), img) << "length " << len;
    }
}

TEST_P(Diz, NegativeLengthIsDamagedEvenWhenRecordsFit)
{
    // A negative length moves the end of the records area into the trailer;
    // one record whose data runs up to that end would carry trailer bytes.
    const bytes img = makeimage(40000);
    for (int32_t len : {-1, -7, -20, -38}) {
        bytes trailer;
        adddiz(trailer, "text-------", len);
        const long tail = zem::dizfixedlen + len;   // trailer bytes behind the area's end
        bytes patch = zemheader(1, "diz");
        addcheck(patch, int32_t(img.size()), img);
        addrecord(patch, 5, bytes(trailer.begin(), trailer.end() - tail));
        patch.insert(patch.end(), trailer.end() - tail, trailer.end());
        RunResult r = apply(img, patch);
        EXPECT_EQ(r.out, infolines(path("patch.zem"), 1, "diz", yes) + "\n" + damaged)
            << "length " << len;
        EXPECT_EQ(image(), img) << "length " << len;
    }
}

TEST_P(Diz, TagMustMatchExactly)
{
    const bytes img = makeimage(40000);
    bytes patch = patchfor(img);
    adddiz(patch, "text");
    patch[patch.size() - 6] = 'i';   // ".DiZ"
    RunResult r = apply(img, patch);
    EXPECT_EQ(r.out, infolines(path("patch.zem"), 1, "diz", nodiz) + damaged);
    EXPECT_EQ(image(), img);
}

TEST_P(Diz, Version1IsNeverExamined)
{
    // Records that happen to end in a trailer tag are still records.
    bytes patch = zemheader(0, "v1");
    addrecord(patch, 2, {'.', 'D', 'I', 'Z', 3, 0, 0, 0});
    bytes img = makeimage(16);
    RunResult r = apply(img, patch);
    EXPECT_EQ(r.out, infolines(path("patch.zem"), 0, "v1", nodiz) + done);
    putbytes(img, 2, {'.', 'D', 'I', 'Z', 3, 0, 0, 0});
    EXPECT_EQ(image(), img);
}

TEST_P(Diz, TooShortForATag)
{
    RunResult r = apply({}, {'Z', 'E', 'M', 0, 0, 1, 'x'});
    EXPECT_EQ(r.out, infolines(path("patch.zem"), 1, "x", nodiz) + damaged);
    EXPECT_EQ(image(), bytes{});
}

// A stranger's patch tries to set the terminal's title, and to hide the
// question behind concealed text and a question of its own: on a terminal
// its control characters are shown as DOS glyphs, C1 controls (CSI) as
// U+FFFD; on a pipe or in a file its bytes are kept exactly as stored.
TEST_P(Diz, ControlCharactersShownOnATerminalOnly)
{
    const bytes img = makeimage(40000);
    bytes patch = zemheader(1, "\x1b]0;pwned\x07 title\x7f");
    bytes seen = img;
    seen[zem::imageblockpos] ^= 1;   // not the right image: a question
    addcheck(patch, int32_t(img.size()), seen);
    addrecord(patch, 5, {0x11});
    const std::string diz = "\x1b[8mhidden\r\n\tnext\x01\xc2\x9b" "8m\xc2\xa0\r\x0c";
    adddiz(patch, diz);
    writefile(path("image.bin"), img);
    writefile(path("patch.zem"), patch);
    const std::vector<std::string> args = {path("image.bin"), path("patch.zem")};
    const std::string question = "The BINfile does not seem to be the right one\n"
                                 "CONTINUE though? (Suggestion: NO) (y/n): \nAborted...\n";
    const std::string stored =
        infolines(path("patch.zem"), 1, "\x1b]0;pwned\x07 title\x7f", yes) + diz + "\n" + question;
    const std::string shown = infolines(path("patch.zem"), 1, "\u2190]0;pwned\u2022 title\u2302", yes) +
                              "\u2190[8mhidden\r\n\tnext\u263a\ufffd" "8m\xc2\xa0\r\u2640\n" + question;
    struct Case {
        const char *how;
        std::string out;
        std::string want;
    } cases[] = {
        {"terminal", runattached(GetParam(), args, "n", true), shown},
        {"pipe", runattached(GetParam(), args, "n", false), stored},
        {"file", runprog(GetParam(), args, "n").out, stored},
    };
    for (const Case &c : cases) EXPECT_EQ(c.out, c.want) << c.how;
    EXPECT_EQ(image(), img);
}
