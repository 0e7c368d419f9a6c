// Reference applier "pwrite": the least work that patches in place by
// positioned writes. It reads the records front to back and writes each run
// of adjacent records with one pwrite. Usage: benchlimit IMAGE PATCH
#include "refpatch.hpp"

static unsigned char buf[1 << 20];
static unsigned char run[1 << 20];

int main(int argc, char **argv)
{
    const char *prog = "benchlimit";
    if (argc != 3) fail(prog, "usage: benchlimit IMAGE PATCH");
    Stream s = openpatch(prog, argv[2], buf, sizeof buf);
    off_t size;
    int fd = openimage(prog, argv[1], size);
    size_t runlen = 0;   // the run's data: run[0, runlen), for the image at runpos
    off_t runpos = 0;
    for (Record r; nextrecord(s, r);) {
        if (runlen > 0 && (r.pos != runpos + off_t(runlen) || runlen + r.len > sizeof run)) {
            writeall(prog, fd, run, runlen, runpos);
            runlen = 0;
        }
        if (runlen == 0) runpos = r.pos;
        std::memcpy(run + runlen, r.data, r.len);
        runlen += r.len;
    }
    writeall(prog, fd, run, runlen, runpos);
    if (close(fd) != 0) fail(prog, "cannot write the image");
    return 0;
}
