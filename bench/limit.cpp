// The benchmark's reference: the least work that applies a ZEM patch. It reads
// the whole patch at once, checks nothing it can do without, and writes each
// run of adjacent records with one pwrite. Usage: benchlimit IMAGE PATCH
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "zemformat.hpp"

static void fail(const char *what)
{
    std::fprintf(stderr, "benchlimit: %s\n", what);
    std::exit(1);
}

// Memory for n bytes, in huge pages and mapped in at once: on a virtual
// machine a fault per 4 KiB page can cost more than all the rest of the work.
static unsigned char *buffer(size_t n)
{
    void *p = mmap(nullptr, n, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) fail("out of memory");
    madvise(p, n, MADV_HUGEPAGE);
    madvise(p, n, MADV_POPULATE_WRITE);
    return static_cast<unsigned char *>(p);
}

static void writerun(int fd, const unsigned char *p, size_t n, off_t at)
{
    while (n > 0) {
        ssize_t done = pwrite(fd, p, n, at);
        if (done <= 0) fail("cannot write the image");
        p += done;
        n -= size_t(done);
        at += done;
    }
}

int main(int argc, char **argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: benchlimit IMAGE PATCH\n");
        return 2;
    }

    /* The whole patch, in one read */
    int zfd = open(argv[2], O_RDONLY);
    struct stat st;
    if (zfd < 0 || fstat(zfd, &st) != 0) fail("cannot open the patch");
    size_t zemlen = size_t(st.st_size);
    unsigned char *zem = buffer(zemlen + 1);
    size_t got = 0;
    while (got < zemlen) {
        ssize_t n = read(zfd, zem + got, zemlen - got);
        if (n <= 0) fail("cannot read the patch");
        got += size_t(n);
    }
    close(zfd);

    /* Records area */
    if (zemlen < size_t(zem::v1headerlen)) fail("not a patch");
    size_t at = zem::v1headerlen, end = zemlen;
    if (zem[zem::methodpos] == zem::methodv2) {
        at = zem::v2headerlen;
        if (zemlen >= size_t(at + zem::diztagfromend) &&
            std::memcmp(zem + zemlen - zem::diztagfromend, ".DIZ", zem::diztaglen) == 0)
            end -= zem::dizfixedlen + size_t(zem::getle32(zem + zemlen - zem::dizlenlen));
    }

    /* Records: the data of adjacent ones is gathered in place, behind the
       first one's, and leaves in one write */
    int fd = open(argv[1], O_RDWR);
    if (fd < 0) fail("cannot open the image");
    size_t runat = 0, runlen = 0;   // the run's data: zem[runat, runat + runlen)
    off_t runpos = 0;
    while (at + zem::recheadlen <= end) {
        off_t pos = zem::getle32(zem + at);
        size_t len = zem[at + zem::recposlen];
        at += zem::recheadlen;
        if (at + len > end) break;
        if (runlen > 0 && pos != runpos + off_t(runlen)) {
            writerun(fd, zem + runat, runlen, runpos);
            runlen = 0;
        }
        if (runlen == 0) {
            runpos = pos;
            runat = at;
        } else {
            std::memmove(zem + runat + runlen, zem + at, len);
        }
        runlen += len;
        at += len;
    }
    writerun(fd, zem + runat, runlen, runpos);
    if (close(fd) != 0) fail("cannot write the image");
    return 0;
}
