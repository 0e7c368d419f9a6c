// The image the programs work on: one file (a regular file or a block
// device), or a cue sheet whose BINARY files, in order, make one logical
// image, their contents concatenated as a merged image would hold them.
//
// Everything is opened, checked and measured by openimage(); after it
// returns nothing is allocated, so an Image can live in a program's fixed
// state (it is about 400 KiB: keep it static, not on a thread's stack).
// A writer may also work file by file itself, on files[i].fd at
// pos - files[i].first, after fileat(pos).
#pragma once

#include <cstdint>
#include <sys/stat.h>
#include <sys/types.h>

#include "cuesheet.hpp"

namespace disc {

constexpr size_t pathmax = 4096;   // a path as opened, with its zero

struct ImageFile {
    int fd;                // open for reading, or for reading and writing
    int64_t first;         // its first byte in the logical image
    int64_t size;          // its size (the last file's grows as writes pass the end)
    char path[pathmax];    // as opened: the cue sheet's folder joined to the name found
    dev_t dev;             // what makes it the same file as another
    ino_t ino;
    dev_t rdev;
    bool blockdev;
};

// A track as the cue sheet gives it, in bytes of the logical image. Tracks
// follow one another without a gap: a track runs from its first index (00
// when it has one) to the next track's, or to the end of its file, and the
// first track of a file starts with the file.
struct Track {
    int number;            // 1, 2, ... in the order of the sheet (as libcue numbers them)
    int file;              // index into files
    char mode[modemax];    // "MODE2/2352", "MODE1/2352", "AUDIO", ...
    int sectorsize;        // bytes in one of its sectors: 2352, 2048, 2336, ...
    int64_t first, size;
};

struct Image {
    bool cue;              // opened from a cue sheet
    char cuepath[pathmax]; // the cue sheet as given, when cue
    int nfiles;            // 1 for a single file
    ImageFile files[maxfiles];
    int ntracks;           // 0 for a single file
    Track tracks[maxtracks];
    int64_t size;          // the logical image's size: the files' sizes added up
};

// Why an image was not opened, or could not be read or written: the file
// to name in the message and what is wrong with it ("is missing", "is
// empty", "does not parse: ...").
struct ImageError {
    char path[pathmax];
    char reason[reasonmax];
};

// Whether path names a cue sheet: a name ending in ".cue", in any case.
bool iscuesheet(const char *path);

// Opens the image at path: for reading, or for reading and writing when
// forupdate. A path naming a cue sheet opens its track files, names taken
// relative to the sheet's folder (when a name is missing, the one name in
// that folder that differs from it only in case). Each file is opened
// without waiting (a FIFO or a tape cannot hold the run up) and must be a
// regular file or a block device. Track files are opened so that nothing
// outside the sheet's folder can be reached (openat2's RESOLVE_BENEATH,
// or the path resolved and checked where the kernel lacks it): no folder
// on a track file's way may be a symbolic link, and a track file that is
// one must lead to a regular file in the folder. A name with backslashes
// that is not found is tried with slashes. Refused, before a byte of any
// file is read or written, with err naming the file: a cue sheet that does
// not parse, lists a file type other than BINARY, or names a file outside
// its folder; a track file that is missing, empty, not a regular file or
// block device, a link refused as above, listed twice, or the same file as
// exclude (when given, e.g. the patch: the refusal says it "is the same
// file as" excludename).
// A single file is refused only when it cannot be opened, is not a regular
// file or block device, or is exclude. On a refusal nothing is left open.
bool openimage(Image &img, const char *path, bool forupdate, const struct stat *exclude,
               const char *excludename, ImageError &err);

// For the tests: when set, track files are opened as on a kernel without
// openat2.
extern bool openat2missing;

// Closes every file of the image; returns whether every close went well
// (a close can report a write that did not reach the disk).
bool closeimage(Image &img);

// Whether every file but the last is still the file opened (its device and
// inode, on the open descriptor) and still has the size it had then: a file
// cut short or lengthened by another program would shift the files after it
// in the logical image. failedfile, when given, gets the index of the first
// that is not. A file replaced by another name (mv) is still the open one.
bool filesunchanged(const Image &img, int *failedfile = nullptr);

// The index of the file that holds logical byte pos: the last file for
// pos at or past the end.
int fileat(const Image &img, int64_t pos);

// The index of the image's file that is the same file as st, or -1.
int findfile(const Image &img, const struct stat &st);

// Reads up to len bytes at logical offset pos into buf, across files;
// returns the count read, short only at the logical end, or -1 (errno set)
// when a read fails, a file that is not the last has become shorter, or pos
// or len is negative.
// failedfile, when given, gets the index of the file that failed.
int64_t readimage(const Image &img, unsigned char *buf, int64_t len, int64_t pos,
                  int *failedfile = nullptr);

// Writes len bytes at logical offset pos, split across files; what lies
// past the logical end goes to the last file, which grows (with a zero gap
// when pos is past the end). Returns false (errno set) when a write fails
// or pos or len is negative.
bool writeimage(Image &img, const unsigned char *buf, int64_t len, int64_t pos,
                int *failedfile = nullptr);

// What findsplit() learns about a file that a cue sheet beside it lists.
struct SplitDump {
    char cuepath[pathmax];
    int file;              // its index among the sheet's files
    int nfiles;            // how many files the sheet lists
    int64_t first, size;   // its first byte in the sheet's logical image, and its size
    int64_t imagesize;     // the size of the sheet's logical image
};

// Whether path, a single file, is one track file of a dump that a cue
// sheet in its folder describes with more than one file (a split dump);
// when several sheets list it, the first by name is taken. Sheets that do
// not open are passed over.
bool findsplit(const char *path, SplitDump &out);

} // namespace disc
