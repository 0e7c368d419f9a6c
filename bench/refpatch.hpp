// What the benchmark's reference appliers share: the records area read front
// to back through one buffer, the image opened, a write that finishes, and
// failing. The appliers check nothing they can do without: the patches are
// good.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "zemformat.hpp"

[[noreturn]] inline void fail(const char *prog, const char *what)
{
    std::fprintf(stderr, "%s: %s\n", prog, what);
    std::exit(1);
}

// The records area, read through buf. Reading into one small buffer again
// and again is cheaper than mapping the patch: on a virtual machine the first
// touch of every page of a mapping costs microseconds.
struct Stream {
    const char *prog;
    int fd;
    unsigned char *buf;
    size_t buflen;
    size_t at, end;   // bytes read, not yet used: buf[at, end)
    off_t left;       // bytes of the area still in the file
};

// Opens the patch and finds its records area.
inline Stream openpatch(const char *prog, const char *path, unsigned char *buf, size_t buflen)
{
    Stream s = {prog, open(path, O_RDONLY), buf, buflen, 0, 0, 0};
    struct stat st;
    unsigned char head[zem::methodpos + 1], tail[zem::diztagfromend];
    if (s.fd < 0 || fstat(s.fd, &st) != 0) fail(prog, "cannot open the patch");
    if (st.st_size < zem::v1headerlen || pread(s.fd, head, sizeof head, 0) != sizeof head ||
        pread(s.fd, tail, sizeof tail, st.st_size - off_t(sizeof tail)) != sizeof tail)
        fail(prog, "not a patch");
    off_t first = zem::v1headerlen, end = st.st_size;
    if (head[zem::methodpos] == zem::methodv2) {
        first = zem::v2headerlen;
        if (std::memcmp(tail, zem::diztagtext, zem::diztaglen) == 0)
            end -= zem::dizfixedlen + zem::getle32(tail + zem::diztaglen);
    }
    if (lseek(s.fd, first, SEEK_SET) != first) fail(prog, "cannot read the patch");
    s.left = end - first;
    return s;
}

// Makes at least n bytes available at buf + at, or all that is left; says
// how many there are. Moves the unused bytes to the front of buf.
inline size_t ensure(Stream &s, size_t n)
{
    if (s.end - s.at >= n || s.left == 0) return s.end - s.at;
    std::memmove(s.buf, s.buf + s.at, s.end - s.at);
    s.end -= s.at;
    s.at = 0;
    while (s.left > 0 && s.end < s.buflen) {
        size_t want = s.buflen - s.end < size_t(s.left) ? s.buflen - s.end : size_t(s.left);
        ssize_t got = read(s.fd, s.buf + s.end, want);
        if (got <= 0) fail(s.prog, "cannot read the patch");
        s.end += size_t(got);
        s.left -= got;
    }
    return s.end;
}

// One record: its image offset, length and data, valid until the next ensure.
struct Record {
    off_t pos;
    size_t len;
    const unsigned char *data;
};

// Takes the record at buf + at, which must be whole there.
inline void takerecord(Stream &s, Record &r)
{
    const unsigned char *p = s.buf + s.at;
    r.pos = zem::getle32(p);
    r.len = p[zem::recposlen];
    r.data = p + zem::recheadlen;
    s.at += size_t(zem::recheadlen) + r.len;
}

// Reads the next record; false at the end of the area.
inline bool nextrecord(Stream &s, Record &r)
{
    size_t have = ensure(s, zem::recheadlen + zem::recmaxdata);
    if (have < size_t(zem::recheadlen)) return false;
    takerecord(s, r);
    return true;
}

// Opens the image for writing; size gets its size.
inline int openimage(const char *prog, const char *path, off_t &size)
{
    int fd = open(path, O_RDWR);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0) fail(prog, "cannot open the image");
    size = st.st_size;
    return fd;
}

inline void writeall(const char *prog, int fd, const unsigned char *p, size_t n, off_t at)
{
    while (n > 0) {
        ssize_t done = pwrite(fd, p, n, at);
        if (done <= 0) fail(prog, "cannot write the image");
        p += done;
        n -= size_t(done);
        at += done;
    }
}
