// Reference applier "whole mapping": the image mapped shared once, every
// record copied into it; records at or past its end by pwrite.
// Usage: refwhole IMAGE PATCH
#include <sys/mman.h>

#include "refpatch.hpp"

static unsigned char buf[1 << 20];

int main(int argc, char **argv)
{
    const char *prog = "refwhole";
    if (argc != 3) fail(prog, "usage: refwhole IMAGE PATCH");
    Stream s = openpatch(prog, argv[2], buf, sizeof buf);
    off_t size;
    int fd = openimage(prog, argv[1], size);
    unsigned char *image = nullptr;
    if (size > 0) {
        void *p = mmap(nullptr, size_t(size), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (p == MAP_FAILED) fail(prog, "cannot map the image");
        image = static_cast<unsigned char *>(p);
    }
    for (Record r; nextrecord(s, r);) {
        if (r.pos + off_t(r.len) <= size)
            std::memcpy(image + r.pos, r.data, r.len);
        else
            writeall(prog, fd, r.data, r.len, r.pos);
    }
    if (close(fd) != 0) fail(prog, "cannot write the image");
    return 0;
}
