// Mavrin: applies a ZEM patch to a raw CD image, in place.
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

#include "runstate.hpp"

// Puts /dev/null on each of descriptors 0, 1 and 2 that is closed. Opened
// in their place, the image would take in the console lines, or give the
// answer to a question. Says whether all three are open; when not, nothing
// else has been opened.
static bool holdstdfds()
{
    for (int fd = 0; fd <= 2; fd++) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        // The lowest free descriptor is this one: those below it are open.
        int got = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
        if (got != fd) {
            if (got >= 0) close(got);
            return false;
        }
    }
    return true;
}

int main(int argc, char **argv)
{
    // Without /dev/null there is nowhere safe to print: end before opening anything.
    if (!holdstdfds()) return 0;
    // A write past a file size limit must fail and be reported, not kill us.
    signal(SIGXFSZ, SIG_IGN);
    static RunState rs;   // zero-filled before the run
    mavrinrun(rs, argc, argv);
    return 0;
}
