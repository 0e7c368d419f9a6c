// Reference applier "window mapping": a shared mapping of 2 MiB of the image
// at a 1 MiB boundary, moved when a record falls outside it; records at or
// past the image's end by pwrite. Usage: refwindow IMAGE PATCH
#include <sys/mman.h>

#include "refpatch.hpp"

static unsigned char buf[1 << 20];

int main(int argc, char **argv)
{
    const char *prog = "refwindow";
    if (argc != 3) fail(prog, "usage: refwindow IMAGE PATCH");
    const off_t step = 1 << 20, span = 2 * step;
    Stream s = openpatch(prog, argv[2], buf, sizeof buf);
    off_t size;
    int fd = openimage(prog, argv[1], size);
    unsigned char *window = nullptr;
    off_t winat = 0, winlen = 0;
    for (Record r; nextrecord(s, r);) {
        if (r.pos + off_t(r.len) > size) {
            writeall(prog, fd, r.data, r.len, r.pos);
            continue;
        }
        if (r.pos < winat || r.pos + off_t(r.len) > winat + winlen) {
            if (window) munmap(window, size_t(winlen));
            winat = r.pos / step * step;
            winlen = size - winat < span ? size - winat : span;
            void *p = mmap(nullptr, size_t(winlen), PROT_READ | PROT_WRITE, MAP_SHARED, fd, winat);
            if (p == MAP_FAILED) fail(prog, "cannot map the image");
            window = static_cast<unsigned char *>(p);
        }
        std::memcpy(window + (r.pos - winat), r.data, r.len);
    }
    if (close(fd) != 0) fail(prog, "cannot write the image");
    return 0;
}
