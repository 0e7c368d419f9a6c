// Builds ZEM patches byte by byte, makes images, and runs the real program.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "zemformat.hpp"

using bytes = std::vector<unsigned char>;

// Patch pieces, appended to p.
bytes zemheader(int method, const std::string &desc = "test patch");
void putle32(bytes &p, int32_t v);
void addrecord(bytes &p, int32_t pos, const bytes &data);
// Image size and validation block of a version 2.0 patch made for image.
void addcheck(bytes &p, int32_t imagesize, const bytes &image);
// FILE_ID.DIZ trailer holding text, with the given stored length.
void adddiz(bytes &p, const std::string &text, int32_t len);
// Trailer whose shown text is exactly text (seven hidden bytes behind it).
void adddiz(bytes &p, const std::string &text);

// A patterned, never all-zero image.
bytes makeimage(size_t size, unsigned seed = 1);
// What applying records (pos, data) to image gives.
void putbytes(bytes &image, int32_t pos, const bytes &data);

void writefile(const std::string &path, const bytes &b);
bytes readfile(const std::string &path);

struct RunResult {
    std::string out;
    std::string err;
    int status;   // exit status, or -1 when the program did not exit normally
};

// How a run is set up besides its arguments. fsizelimit > 0 caps the size
// of files the program may write (RLIMIT_FSIZE). plainuser takes from root
// its power to ignore file permissions; status 126 says it could not.
// aslimit > 0 caps the program's address space (RLIMIT_AS).
struct RunOpts {
    std::string input;         // on standard input
    long fsizelimit = 0;
    bool plainuser = false;
    unsigned closed = 0;       // bit n set: descriptor n is closed, not caught
    std::string outpath;       // standard output goes to this file, not caught
    long aslimit = 0;
};

// Runs prog with args as opts says. A program still running after
// watchdogseconds is killed (SIGALRM), so that a hang fails its test.
constexpr unsigned watchdogseconds = 120;
RunResult runprog(const std::string &prog, const std::vector<std::string> &args,
                  const RunOpts &opts);
RunResult runprog(const std::string &prog, const std::vector<std::string> &args,
                  const std::string &input = "", long fsizelimit = 0, bool plainuser = false);

// The console output of a run made in this process.
struct Captured {
    std::string out, err;
};
// Runs fn with standard input reading input; catches standard output and error.
Captured inprocess(const std::string &input, const std::function<void()> &fn);

// Replaces the process with prog and args, behind the words of the
// environment variable MAVRIN_TEST_WRAPPER when it is set (for example
// "valgrind --error-exitcode=99 -q"). Exits 127 when that fails.
[[noreturn]] void execprog(const std::string &prog, const std::vector<std::string> &args);

extern const char *const banner;   // the program's first line
// Lines of the console output that many runs share.
extern const std::string nodiz;        // no FILE_ID.DIZ trailer
extern const std::string yes;          // a trailer, its text follows
extern const std::string done;         // every record written
extern const std::string damaged;      // the records area is broken
extern const std::string writefailed;  // a write to the image failed

// A fixture with a temporary folder, removed after each test, and the path
// of the build under test as its parameter.
class MavrinRun : public ::testing::TestWithParam<const char *> {
protected:
    std::string dir;
    void SetUp() override;
    void TearDown() override;
    std::string path(const std::string &name) const { return dir + "/" + name; }
    // Writes image and patch to files, runs the program on them.
    RunResult apply(const bytes &image, const bytes &patch, const std::string &input = "");
    // The image file after the run.
    bytes image() const { return readfile(path("image.bin")); }
};

// Console output of a run that reached the records, up to "Patching ... ".
std::string infolines(const std::string &zempath, int method, const std::string &desc,
                      const std::string &dizlines);

// Names a parameterised test after the build it runs.
std::string buildname(const ::testing::TestParamInfo<const char *> &info);

// Declares a test suite over MavrinRun that runs against both builds.
#define BOTH_BUILDS(suite)                                                        \
    class suite : public MavrinRun {};                                            \
    INSTANTIATE_TEST_SUITE_P(Builds, suite,                                       \
                             ::testing::Values(MAVRIN_DYNAMIC, MAVRIN_STATIC), buildname)
