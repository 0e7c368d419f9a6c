// What the image layer reads from a cue sheet's text: its BINARY files in
// order and its tracks. One of two sources builds it: cuesheet.cpp (libcue)
// or nocuesheet.cpp (for a build that cannot link libcue).
#pragma once

#include <cstddef>
#include <cstdint>

namespace disc {

constexpr int maxfiles = 99;         // a disc has at most 99 tracks, so files
constexpr int maxtracks = 99;
constexpr size_t cuenamemax = 1024;  // a FILE entry's name, with its zero
constexpr size_t modemax = 12;       // "MODE2/2352" and its zero
constexpr size_t reasonmax = 256;    // why a cue sheet or a file is refused

struct CueTrack {
    int number;         // as its TRACK line gives it
    int file;           // index into the sheet's files: the one that holds its INDEX 01
    int64_t start;      // its first index (00 when there is one, else 01), in
                        // sectors from the start of its file
    int sectorsize;     // bytes in one of its sectors in the file
    char mode[modemax]; // as a cue sheet writes it: "MODE2/2352", "AUDIO"
    // Its INDEX 00 lies in the file before (at its end: a FILE line comes
    // between its INDEX 00 and INDEX 01), pregap sectors from that file's start.
    bool pregapbefore;
    int64_t pregap;
};

struct CueSheet {
    int nfiles;
    char files[maxfiles][cuenamemax];   // names as the FILE entries give them
    int ntracks;
    CueTrack tracks[maxtracks];
};

// Reads the cue sheet text (zero-terminated) into sheet: keywords in any
// case, lines ended by LF, CRLF or CR, the last one perhaps without. On a
// refusal it
// writes why into reason (a phrase that follows the cue sheet's name) and
// returns false. Whatever the parse allocated is freed before it returns.
bool parsecue(const char *text, CueSheet &sheet, char *reason, size_t reasonlen);

} // namespace disc
