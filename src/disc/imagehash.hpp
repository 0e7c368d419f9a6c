// CRC32, MD5 and SHA-1 of an image's files and of the whole logical image,
// as dump lists give them.
#pragma once

#include "image.hpp"

namespace disc {

// Lowercase hexadecimal, zero-terminated.
struct Hashes {
    char crc32[9];
    char md5[33];
    char sha1[41];
};

// Reads the image once, front to back, and computes the hashes of each of
// its files (into perfile, img.nfiles entries, when given) and of the whole
// logical image, on two threads: the caller's reads and hashes, a second one
// hashes the same buffers (memory of a few MiB, whatever the image's size).
// Returns false, with err naming the file, when a read fails or a file has
// become shorter than it was when opened.
bool hashimage(const Image &img, Hashes &whole, Hashes *perfile, ImageError &err);

} // namespace disc
