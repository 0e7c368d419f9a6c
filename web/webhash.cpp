// CRC32 (zlib), MD5 and SHA-1 (libmd) of an image for the page, all in one
// reading on the worker's one thread: what imagehash.cpp computes natively
// with libcrypto and a second thread, neither of which the page has.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <md5.h>
#include <sha1.h>
#include <zlib.h>

#include "imagehash.hpp"
#include "zemreader.hpp"

namespace disc {

namespace {

constexpr long chunklen = 1L << 20;
unsigned char chunk[chunklen];

struct Sums {
    uLong crc;
    MD5_CTX md5;
    SHA1_CTX sha1;
};

void startsums(Sums &s)
{
    s.crc = crc32(0, nullptr, 0);
    MD5Init(&s.md5);
    SHA1Init(&s.sha1);
}

void addsums(Sums &s, const unsigned char *p, long n)
{
    s.crc = crc32(s.crc, p, uInt(n));
    MD5Update(&s.md5, p, size_t(n));
    SHA1Update(&s.sha1, p, size_t(n));
}

void tohex(const unsigned char *p, unsigned n, char *out)
{
    static const char digits[] = "0123456789abcdef";
    for (unsigned i = 0; i < n; i++) {
        out[2 * i] = digits[p[i] >> 4];
        out[2 * i + 1] = digits[p[i] & 15];
    }
    out[2 * n] = 0;
}

void endsums(Sums &s, Hashes &h)
{
    unsigned char md5[MD5_DIGEST_LENGTH], sha1[SHA1_DIGEST_LENGTH];
    snprintf(h.crc32, sizeof h.crc32, "%08lx", s.crc & 0xffffffffUL);
    MD5Final(md5, &s.md5);
    SHA1Final(sha1, &s.sha1);
    tohex(md5, sizeof md5, h.md5);
    tohex(sha1, sizeof sha1, h.sha1);
}

Sums whole, file;

} // namespace

bool hashimage(const Image &img, Hashes &out, Hashes *perfile, ImageError &err)
{
    startsums(whole);
    for (int i = 0; i < img.nfiles; i++) {
        const ImageFile &f = img.files[i];
        startsums(file);
        for (int64_t at = 0; at < f.size;) {
            const long want = f.size - at < chunklen ? long(f.size - at) : chunklen;
            const long got = zem::readat(f.fd, chunk, want, at);
            if (got != want) {
                snprintf(err.path, sizeof err.path, "%s", f.path);
                if (got < 0) snprintf(err.reason, sizeof err.reason, "cannot be read: %s", strerror(errno));
                else snprintf(err.reason, sizeof err.reason, "has become shorter since it was opened");
                return false;
            }
            addsums(whole, chunk, got);
            addsums(file, chunk, got);
            at += got;
        }
        if (perfile) endsums(file, perfile[i]);
    }
    endsums(whole, out);
    return true;
}

} // namespace disc
