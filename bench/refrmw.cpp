// Reference applier "read-modify-write": where at least 8 of the next records
// fall within 1 MiB at more than one per 1,400 bytes, it reads their span,
// copies them in and writes the span back; every other record goes by
// pwrite. Usage: refrmw IMAGE PATCH
#include "refpatch.hpp"

static unsigned char buf[4 << 20];
static unsigned char span[(1 << 20) + zem::recmaxdata];

int main(int argc, char **argv)
{
    const char *prog = "refrmw";
    if (argc != 3) fail(prog, "usage: refrmw IMAGE PATCH");
    const off_t reach = 1 << 20, density = 1400;
    const int least = 8;
    Stream s = openpatch(prog, argv[2], buf, sizeof buf);
    off_t size;
    int fd = openimage(prog, argv[1], size);
    for (;;) {
        /* How many of the next records, as far as the buffer holds, share
           the first one's megabyte */
        size_t have = ensure(s, sizeof buf / 2);
        if (have < size_t(zem::recheadlen)) break;
        Record r, a;
        takerecord(s, r);
        Stream ahead = s;
        off_t hi = r.pos + off_t(r.len);
        int n = 1;
        while (ahead.end - ahead.at >= size_t(zem::recheadlen)) {
            takerecord(ahead, a);
            if (ahead.at > ahead.end || a.pos < r.pos || a.pos + off_t(a.len) > r.pos + reach) break;
            if (a.pos + off_t(a.len) > hi) hi = a.pos + off_t(a.len);
            n++;
        }
        if (n < least || hi - r.pos > density * n || hi > size) {
            writeall(prog, fd, r.data, r.len, r.pos);
            continue;
        }
        /* Read the span, copy the records in, write it back */
        size_t len = size_t(hi - r.pos);
        for (size_t got = 0; got < len;) {
            ssize_t k = pread(fd, span + got, len - got, r.pos + off_t(got));
            if (k <= 0) fail(prog, "cannot read the image");
            got += size_t(k);
        }
        std::memcpy(span, r.data, r.len);
        for (int i = 1; i < n; i++) {
            takerecord(s, a);
            std::memcpy(span + (a.pos - r.pos), a.data, a.len);
        }
        writeall(prog, fd, span, len, r.pos);
    }
    if (close(fd) != 0) fail(prog, "cannot write the image");
    return 0;
}
