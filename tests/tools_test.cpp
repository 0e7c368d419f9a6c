// zemmake and zeminfo as one product: their options and errors worded
// alike, the same judgement of how much of a patch an image holds, and
// progress on a terminal only.
#include <array>
#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <nlohmann/json.hpp>
#include <poll.h>
#include <pty.h>
#include <regex>
#include <set>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include "patchbuilder.hpp"

using json = nlohmann::json;

namespace {

class Tools : public ::testing::Test {
protected:
    std::string dir;
    void SetUp() override
    {
        char tmpl[] = "/tmp/mavrintools.XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
    }
    void TearDown() override { ASSERT_EQ(system(("rm -rf '" + dir + "'").c_str()), 0); }
    std::string path(const std::string &name) const { return dir + "/" + name; }
};

// How many bytes the process has read, from /proc; -1 once it is gone.
long long bytesread(pid_t pid)
{
    std::ifstream io("/proc/" + std::to_string(pid) + "/io");
    for (std::string key; io >> key;) {
        long long n;
        io >> n;
        if (key == "rchar:") return n;
    }
    return -1;
}

} // namespace

// Every option error reads the same in both programs, naming the option as
// it was typed, and -h is --help.
TEST_F(Tools, OptionErrorsAreWordedAlike)
{
    struct Row {
        const char *prog;
        std::vector<std::string> args;
        std::string says;   // behind "prog: "
    } rows[] = {
        {ZEMMAKE, {"-x", "a", "b", "c"}, "unknown option -x"},
        {ZEMINFO, {"-x", "a"}, "unknown option -x"},
        {ZEMMAKE, {"-1x", "a", "b", "c"}, "unknown option -x"},   // in a cluster
        {ZEMMAKE, {"--bogus", "a", "b", "c"}, "unknown option --bogus"},
        {ZEMINFO, {"--bogus=1", "a"}, "unknown option --bogus"},
        {ZEMMAKE, {"--help=1"}, "option --help takes no value"},
        {ZEMINFO, {"--help=1"}, "option --help takes no value"},
        {ZEMINFO, {"--json=yes", "a"}, "option --json takes no value"},
        {ZEMMAKE, {"--force=yes", "a", "b", "c"}, "option --force takes no value"},
        {ZEMMAKE, {"a", "b", "c", "-d"}, "option -d needs a value"},
        {ZEMMAKE, {"a", "b", "c", "--description"}, "option --description needs a value"},
        {ZEMMAKE, {"a", "b", "c", "--diz"}, "option --diz needs a value"},
        // --version and --version-1 begin alike
        {ZEMMAKE, {"--vers", "a", "b", "c"}, "option --vers is ambiguous"},
        // a short option's error after a long option
        {ZEMMAKE, {"--force", "-1q", "a", "b", "c"}, "unknown option -q"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(std::string(row.prog) + " " + row.args[0]);
        RunResult r = runprog(row.prog, row.args);
        const std::string name = std::string(row.prog).substr(std::string(row.prog).rfind('/') + 1);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, name + ": " + row.says + "\nTry '" + name + " --help' for more information.\n");
    }
    for (const char *prog : {ZEMMAKE, ZEMINFO}) {
        RunResult shortform = runprog(prog, {"-h"}), longform = runprog(prog, {"--help"});
        EXPECT_EQ(shortform.status, 0) << prog;
        EXPECT_EQ(shortform.out, longform.out) << prog;
        EXPECT_NE(shortform.out.find("-h, --help"), std::string::npos) << prog << shortform.out;
    }
}

// zemmake -u and zeminfo say the same of an image: not applied, partly, or
// applied; the undo of an image partly patched puts it back as it was when
// the undo was made; answered y, Mavrin finishes a run that stopped after
// rewriting the validation block.
TEST_F(Tools, UndoAndZeminfoAgreeOnWhatTheImageHolds)
{
    const size_t blockat = size_t(zem::imageblockpos);
    const bytes img = makeimage(60000);
    struct Rec {
        int32_t pos;
        bytes data;
    };
    const std::vector<Rec> recs = {
        {int32_t(blockat + 100), bytes(20, 0xa1)},   // rewrites the validation block
        {45000, bytes(30, 0xb2)},
        {45010, bytes(10, 0xc3)},                    // overwrites part of the one before
        {50000, bytes(5, 0xd4)},
    };
    bytes patch = zemheader(1, "fix");
    addcheck(patch, int32_t(img.size()), img);
    for (const Rec &r : recs) addrecord(patch, r.pos, r.data);
    // The image as Mavrin leaves it having written the first n records.
    auto upto = [&](size_t n, size_t from = 0) {
        bytes b = img;
        for (size_t k = from; k < n; k++) putbytes(b, recs[k].pos, recs[k].data);
        return b;
    };
    const std::string refused = "zemmake: " + path("image.bin") + " already holds what " + path("p.zem") +
                                " writes: an undo made now would change nothing; make it from the "
                                "image before applying " + path("p.zem") + "\n";
    auto partly = [&](int records, int bytesheld) {
        return "zemmake: warning: " + path("image.bin") + " already holds part of what " + path("p.zem") +
               " writes (" + std::to_string(records) + " of 4 records, " + std::to_string(bytesheld) +
               " of 55 bytes): the undo cannot restore what is already overwritten; only an undo made "
               "before applying " + path("p.zem") + " can\n";
    };
    struct Row {
        const char *what;
        bytes image;
        const char *verdict;   // zeminfo's
        int status;            // zeminfo's
        std::string undoerr;   // zemmake -u's standard error
    } rows[] = {
        {"fresh", img, "applies", 0, ""},
        {"fully patched, the later record winning", upto(4), "applied", 3, refused},
        // stopped after the second record: the third's bytes still hold the second's
        {"stopped after rewriting the block", upto(2), "partly", 2, partly(2, 40)},
        {"only the last record written", upto(4, 3), "partly", 0, partly(1, 5)},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        writefile(path("image.bin"), row.image);
        writefile(path("p.zem"), patch);
        unlink(path("undo.zem").c_str());
        RunResult info = runprog(ZEMINFO, {"--json", path("p.zem"), path("image.bin")});
        json j = json::parse(info.out, nullptr, false);
        EXPECT_EQ(info.status, row.status);
        EXPECT_EQ(j["verdict"], row.verdict);
        EXPECT_EQ(j["image"]["applied"], row.status == 3);
        EXPECT_EQ(j["image"]["partly_applied"], std::string(row.verdict) == "partly");

        RunResult undo = runprog(ZEMMAKE, {"-u", path("image.bin"), path("p.zem"), path("undo.zem")});
        EXPECT_EQ(undo.err, row.undoerr);
        EXPECT_EQ(undo.status, row.status == 3 ? 1 : 0);
        if (row.status == 3) {
            EXPECT_EQ(access(path("undo.zem").c_str(), F_OK), -1);   // nothing written
            continue;
        }
        // Mavrin asks only about the block the stopped run rewrote: y finishes the patch.
        RunResult m = runprog(MAVRIN_DYNAMIC, {path("image.bin"), path("p.zem")}, "y");
        EXPECT_EQ(m.out.find("CONTINUE though?") != std::string::npos, row.status == 2) << m.out;
        EXPECT_TRUE(readfile(path("image.bin")) == upto(4));
        runprog(MAVRIN_DYNAMIC, {path("image.bin"), path("undo.zem")});
        EXPECT_TRUE(readfile(path("image.bin")) == row.image);
    }
    writefile(path("image.bin"), upto(2));
    std::string words = runprog(ZEMINFO, {path("p.zem"), path("image.bin")}).out;
    EXPECT_NE(words.find("Verdict        : partly applied: Mavrin asks about the validation block, "
                         "which the patch itself changed; answer y to finish\n"),
              std::string::npos)
        << words;
    EXPECT_EQ(words.find("another disc"), std::string::npos) << words;
}

// Work past a second shows its progress on a terminal's standard error: one
// line, rewritten in place, cleared before anything else is printed. Each
// run is held (SIGSTOP) once it has read a little, so that it lasts past
// the second on any machine. On a pipe nothing is shown (every other test).
TEST_F(Tools, ProgressOnATerminalOnly)
{
    // Sparse images: reading them is all the work there is.
    const off_t big = off_t(256) << 20;
    for (const char *name : {"orig.bin", "mod.bin"}) {
        int fd = open(path(name).c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
        ASSERT_EQ(ftruncate(fd, big), 0);
        close(fd);
    }
    bytes mod = {1};
    int fd = open(path("mod.bin").c_str(), O_WRONLY);
    ASSERT_EQ(pwrite(fd, mod.data(), 1, big - 1), 1);
    close(fd);
    // A patch with a record in every 32 KiB of the image: zeminfo reads all of it.
    bytes patch = zemheader(0);
    for (off_t at = 0; at < big; at += 32 << 10) addrecord(patch, int32_t(at), {7});
    writefile(path("p.zem"), patch);

    struct Row {
        const char *prog;
        std::vector<std::string> args;
        std::string line;       // what the progress line begins with
        std::string last;       // the run's last line, on standard output
    } rows[] = {
        {ZEMMAKE, {path("orig.bin"), path("mod.bin"), path("out.zem")}, "\rzemmake: comparing the images: ",
         path("out.zem") + ": ZEM2.0 patch, 1 record, 1 changed byte, a 1090-byte patch\n"},
        {ZEMINFO, {path("p.zem"), path("orig.bin")}, "\rzeminfo: reading the records: ",
         "Verdict        : Mavrin applies it without asking: a version 1.0 patch cannot check its image\n"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.prog);
        unlink(path("out.zem").c_str());
        struct termios raw = {};
        cfmakeraw(&raw);
        int tty = -1;
        pid_t pid = forkpty(&tty, nullptr, &raw, nullptr);
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            alarm(watchdogseconds);
            execprog(row.prog, row.args);
        }
        while (bytesread(pid) >= 0 && bytesread(pid) < (32 << 20)) usleep(1000);
        kill(pid, SIGSTOP);
        usleep(1300 * 1000);
        kill(pid, SIGCONT);
        std::string got;
        char buf[4096];
        for (ssize_t n; (n = read(tty, buf, sizeof buf)) > 0;) got.append(buf, size_t(n));
        close(tty);
        int ws = 0;
        waitpid(pid, &ws, 0);
        EXPECT_TRUE(WIFEXITED(ws) && WEXITSTATUS(ws) == 0) << got;

        // Progress lines, then blanks over the last of them, then the output.
        const size_t cleared = got.rfind('\r');
        ASSERT_TRUE(cleared != std::string::npos && cleared > 0) << got;
        const size_t blanks = got.find_last_not_of(' ', cleared - 1);
        const size_t last = got.rfind(row.line, blanks - 1);
        ASSERT_NE(last, std::string::npos) << got;
        EXPECT_EQ(got[blanks], '\r') << got;
        EXPECT_GE(cleared - blanks - 1, got.find('%', last) - last) << got;
        EXPECT_EQ(got.find('\n'), got.find('\n', cleared)) << "progress after the output began:\n" << got;
        EXPECT_EQ(got.substr(got.size() - row.last.size()), row.last) << got;
    }
}

// What --help lists is what the manual page lists: the same options and the
// same exit statuses; and README's command lines are --help's usage lines.
TEST_F(Tools, HelpManualPageAndReadmeAgree)
{
    auto readtext = [](const std::string &path) {
        bytes b = readfile(path);
        return std::string(b.begin(), b.end());
    };
    const std::regex option("(^|[ ,])(--?[a-zA-Z0-9][a-z0-9-]*)");
    auto options = [&option](const std::string &text) {
        std::set<std::string> found;
        for (std::sregex_iterator m(text.begin(), text.end(), option), end; m != end; ++m)
            found.insert((*m)[2]);
        return found;
    };
    // The lines of a section of a page, roff escapes of dashes and fonts undone.
    auto section = [](std::string page, const std::string &name) {
        page = std::regex_replace(page, std::regex("\\\\-"), "-");
        page = std::regex_replace(page, std::regex("\\\\f[BIRP]|\\\\c"), "");
        size_t from = page.find("\n.SH " + name + "\n");
        size_t to = page.find("\n.SH ", from + 1);
        return from == std::string::npos ? std::string() : page.substr(from, to - from);
    };
    const std::string readme = readtext(SOURCE_DIR "/README.md");
    std::vector<std::array<const char *, 2>> progs = {{ZEMMAKE, SOURCE_DIR "/doc/zemmake.1"},
                                                      {ZEMINFO, SOURCE_DIR "/doc/zeminfo.1"}};
#ifdef ZEMMOUNT
    progs.push_back({ZEMMOUNT, SOURCE_DIR "/doc/zemmount.1"});
#endif
    for (const auto &p : progs) {
        SCOPED_TRACE(p[0]);
        const std::string help = runprog(p[0], {"--help"}).out, page = readtext(p[1]);
        std::string helpoptions, helpstatus, pageoptions;
        std::istringstream lines(help);
        bool inusage = true, instatus = false;
        for (std::string l; std::getline(lines, l);) {
            if (l.rfind("  -", 0) == 0 || l.rfind("      --", 0) == 0) helpoptions += l.substr(0, 28) + "\n";
            inusage = inusage && !l.empty();
            if (inusage) {   // "Usage: " and the lines below it, as wide
                const std::string usage = l.substr(7);
                EXPECT_NE(readme.find("\n    " + usage + "\n"), std::string::npos) << usage;
            }
            instatus = instatus || l == "Exit status:";
            if (instatus && l.size() > 4 && l.compare(0, 2, "  ") == 0 && l[2] != ' ') helpstatus += l.substr(2, 1);
        }
        // The page's options are the items of its OPTIONS section.
        std::istringstream items(section(page, "OPTIONS"));
        for (std::string l, last; std::getline(items, l); last = l)
            if (last == ".TP") pageoptions += l + "\n";
        EXPECT_EQ(options(helpoptions), options(pageoptions)) << helpoptions << "---\n" << pageoptions;
        std::string pagestatus;
        std::istringstream statuses(section(page, "EXIT STATUS"));
        for (std::string l, last; std::getline(statuses, l); last = l)
            if (last == ".TP" && l.rfind(".B ", 0) == 0) pagestatus += l.substr(3);
        EXPECT_EQ(helpstatus, pagestatus);
        EXPECT_GE(helpstatus.size(), 2u) << help;
    }
}
