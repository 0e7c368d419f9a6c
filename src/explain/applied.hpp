// How much of a patch an image already holds, as zeminfo judges it; zemmake
// -u asks the same question through judgeapplied, so the two agree.
#pragma once

#include <cstdint>
#include <string>

#include "image.hpp"

// Already applied: every byte the patch writes holds the value the patch
// leaves there (later records winning). Partly: not all of them, but some
// records already hold their bytes, one in a hundred at least (fewer would
// be chance), or the validation block is as the patch leaves it, not as it
// was made for.
enum applystate { notapplied, partlyapplied, fullyapplied };

struct AppliedFacts {
    applystate state;
    int64_t records;        // records of the patch
    int64_t inplace;        // of them, those whose bytes the image holds
    int64_t byteswritten;   // distinct image bytes the patch writes
    int64_t held;           // of them, those that hold the value the patch leaves
    bool madefor;           // a version 2.0 patch's size and validation block match the image
    bool writesnothing;     // a sound patch whose records write no byte: it changes no image
};

// Judges the patch at patchfd (a sound ZEM patch of patchlen bytes) against
// the image img, as zeminfo does. Fails, saying why, when reading the patch
// fails.
bool judgeapplied(int patchfd, int64_t patchlen, const char *patchpath, const disc::Image &img,
                  AppliedFacts &af, std::string &error);
