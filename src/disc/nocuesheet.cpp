// The stand-in for cuesheet.cpp, for a build that cannot link libcue (the
// statically linked one: Debian ships libcue as a shared library only).
#include "cuesheet.hpp"

#include <cstdio>

namespace disc {

bool parsecue(const char *, CueSheet &, char *reason, size_t reasonlen)
{
    snprintf(reason, reasonlen, "this build reads no cue sheets");
    return false;
}

} // namespace disc
