// Mavrin: applies a ZEM patch to a raw CD image, in place.
#include <csignal>

#include "runstate.hpp"

int main(int argc, char **argv)
{
    // A write past a file size limit must fail and be reported, not kill us.
    signal(SIGXFSZ, SIG_IGN);
    static RunState rs;   // zero-filled before the run
    mavrinrun(rs, argc, argv);
    return 0;
}
