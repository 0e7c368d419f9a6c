// Progress of long work on standard error, when it is a terminal.
#include <cstdio>
#include <ctime>
#include <unistd.h>

#include "tool.hpp"

namespace tool {

namespace {

constexpr int64_t quietms = 1000;   // the run's first second shows nothing
constexpr int64_t everyms = 100;    // at most ten lines a second

bool on;                 // standard error is a terminal
const char *progname;
int64_t startms, nextms;
int shown;               // characters of the line on the terminal; 0: none

int64_t nowms()
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return int64_t(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

} // namespace

void progressstart(const char *prog)
{
    progressclear();
    on = isatty(STDERR_FILENO) == 1;
    progname = prog;
    startms = nowms();
    nextms = startms + quietms;
}

void progress(const char *what, int64_t done, int64_t total)
{
    if (!on) return;
    int64_t now = nowms();
    if (now < nextms) return;
    nextms = now + everyms;
    int percent = total > 0 ? int(done * 100 / total) : 0;
    char line[160];
    int len = snprintf(line, sizeof line, "%s: %s: %d%%", progname, what, percent);
    if (len < 0) return;
    if (len >= int(sizeof line)) len = int(sizeof line) - 1;
    // Blanks over what a longer line before left behind.
    fprintf(stderr, "\r%s%*s", line, shown > len ? shown - len : 0, "");
    if (shown > len) fprintf(stderr, "\r%s", line);
    shown = len;
}

void progressclear()
{
    if (shown == 0) return;
    fprintf(stderr, "\r%*s\r", shown, "");
    shown = 0;
}

} // namespace tool
