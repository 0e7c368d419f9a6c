// Hashes an image (one file or a cue sheet) as zeminfo --hash will: CRC32,
// MD5 and SHA-1 of each file and of the whole, in one reading. Prints the
// whole image's hashes, md5sum's way first, so that bench/hash_bench.sh can
// check them while it times the program against md5sum. Also prints the CPU
// seconds of this thread and of the other: on a machine with two free cores
// the run takes about as long as the larger of the two.
#include <cstdio>
#include <sys/resource.h>

#include "imagehash.hpp"

static disc::Image img;
static disc::Hashes each[disc::maxfiles];

int main(int argc, char **argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: hashbench IMAGE\n");
        return 2;
    }
    disc::ImageError err;
    disc::Hashes whole;
    if (!disc::openimage(img, argv[1], false, nullptr, nullptr, err) ||
        !disc::hashimage(img, whole, each, err)) {
        fprintf(stderr, "hashbench: %s: %s\n", err.path, err.reason);
        return 1;
    }
    struct rusage self, all;
    getrusage(RUSAGE_THREAD, &self);
    getrusage(RUSAGE_SELF, &all);
    auto secs = [](const struct rusage &r) {
        return double(r.ru_utime.tv_sec + r.ru_stime.tv_sec) + double(r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1e6;
    };
    printf("%s  %s\ncrc32 %s sha1 %s, %d files\n", whole.md5, argv[1], whole.crc32, whole.sha1, img.nfiles);
    printf("CPU seconds: reading thread %.2f, other %.2f\n", secs(self), secs(all) - secs(self));
    return disc::closeimage(img) ? 0 : 1;
}
