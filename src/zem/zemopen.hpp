// How Mavrin opens its two files: shared, so that zeminfo can tell exactly
// what Mavrin will meet when it opens an image.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

namespace zem {

// What became of opening the image and the patch.
enum openoutcome {
    openedboth,     // both are open
    imagerefused,   // the image cannot be opened for update, or is of another kind
    patchrefused,   // the patch cannot be opened for reading, or is of another kind
    samefiles,      // the image and the patch are one file
};

struct OpenPair {
    int imagefd;    // the image, for reading and writing; -1 unless both are open
    int patchfd;    // the patch, for reading; -1 unless both are open
    int err;        // errno of the open that failed; 0 when the file opened
                    // but is of a kind that is refused (its mode says which)
    mode_t mode;    // st_mode of a file refused for its kind
};

// Opens the image for update and the patch for reading, each without waiting
// (for a writer to a FIFO, for a terminal line) and only when it is a regular
// file or a block device: a pipe, a socket or a device such as /dev/null
// would take the records and keep nothing, or hang the run. Two names of one
// file are refused too: writing records into the patch would change what is
// read next. The image is opened first; on any outcome but openedboth
// nothing stays open.
openoutcome openpair(const char *imagepath, const char *patchpath, OpenPair &p);

// Opens path with flags (O_RDWR or O_RDONLY) as openpair opens each of its
// files. Returns -1 when it cannot be opened (err set) or is of another kind
// (err 0, mode set); st describes what was opened.
int openfixed(const char *path, int flags, struct stat &st, int &err, mode_t &mode);

} // namespace zem
