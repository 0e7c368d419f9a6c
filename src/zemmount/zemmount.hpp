// zemmount: a patched image shown read-only as files, over libzem's view.
#pragma once

#include <cstdint>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "zem.h"

// One file or folder shown in the mount. Its inode number is its index in
// Mount::nodes plus one; the root is the first.
struct Node {
    std::string name;      // one part of a path
    size_t parent;         // index of the folder that holds it
    enum Kind { folder, sheet, track } kind;
    int64_t first, size;   // track: its window of the patched image
    struct stat st;        // what stat shows: the original's times, owner, read bits
};

// What is mounted: the view, the files shown, and what they read from.
struct Mount {
    zem_view *view = nullptr;
    zem_view *original = nullptr;   // -e: the image with no patch, to compare with
    int sheetfd = -1;               // a cue sheet, served as it is
    std::vector<Node> nodes;
};

// The read of len bytes at offset of the patched image, into out: the
// view's bytes, and with m.original set right EDC and ECC in the data
// sectors the patches change (as zemmake -e gives them). Returns the bytes
// read or -1.
int64_t readpatched(Mount &m, unsigned char *out, int64_t len, int64_t offset);

// Mounts m on mountpoint with the FUSE options fuseopts (read-only whatever
// they say), becomes a daemon unless foreground, and serves until unmounted.
// Returns false, with a message on standard error, when mounting fails.
bool serve(Mount &m, const char *mountpoint, const std::string &fuseopts, bool foreground);
