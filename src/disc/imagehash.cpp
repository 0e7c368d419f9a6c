// CRC32 (zlib), MD5 and SHA-1 (OpenSSL's libcrypto) of an image, all in
// one reading, on two threads.
#include "imagehash.hpp"

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <new>
#include <openssl/evp.h>
#include <thread>
#include <zlib.h>

#include "zemreader.hpp"

namespace disc {

namespace {

// The reading thread fills one buffer while the other thread hashes the
// ones before it; a few of them let either run ahead of the other a little.
constexpr long chunklen = 1L << 18;
constexpr int nchunks = 8;

// The three hashes of one stretch of bytes (a file, or the whole image),
// each kept or not.
struct Sums {
    bool crc, md5, sha1;
    uLong crcval;
    EVP_MD_CTX *md5ctx, *sha1ctx;
};

bool startsums(Sums &s, bool crc, bool md5, bool sha1)
{
    s.crc = crc;
    s.md5 = md5;
    s.sha1 = sha1;
    s.crcval = crc32(0, nullptr, 0);
    bool ok = true;
    if (!s.md5ctx) s.md5ctx = EVP_MD_CTX_new();
    if (!s.sha1ctx) s.sha1ctx = EVP_MD_CTX_new();
    if (md5) ok &= s.md5ctx && EVP_DigestInit_ex(s.md5ctx, EVP_md5(), nullptr) == 1;
    if (sha1) ok &= s.sha1ctx && EVP_DigestInit_ex(s.sha1ctx, EVP_sha1(), nullptr) == 1;
    return ok;
}

void addsums(Sums &s, const unsigned char *p, long n)
{
    if (s.crc) s.crcval = crc32(s.crcval, p, uInt(n));
    if (s.md5) EVP_DigestUpdate(s.md5ctx, p, size_t(n));
    if (s.sha1) EVP_DigestUpdate(s.sha1ctx, p, size_t(n));
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

// Writes the hashes it kept into h.
void endsums(Sums &s, Hashes &h)
{
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned n = 0;
    if (s.crc) snprintf(h.crc32, sizeof h.crc32, "%08lx", s.crcval & 0xffffffffUL);
    if (s.md5 && EVP_DigestFinal_ex(s.md5ctx, md, &n) == 1) tohex(md, n, h.md5);
    if (s.sha1 && EVP_DigestFinal_ex(s.sha1ctx, md, &n) == 1) tohex(md, n, h.sha1);
}

void freesums(Sums &s)
{
    EVP_MD_CTX_free(s.md5ctx);
    EVP_MD_CTX_free(s.sha1ctx);
}

// The buffers and what the two threads tell each other about them.
struct Ring {
    unsigned char *buf;
    long len[nchunks];
    int64_t posted = 0;    // chunks the reader has filled
    int64_t taken = 0;     // chunks the other thread is done with
    bool ended = false;    // the reader posts no more
    std::mutex m;
    std::condition_variable cv;
};

// The second thread: hashes every chunk posted, in order, into s.
void hashchunks(Ring &r, Sums &s)
{
    for (;;) {
        std::unique_lock<std::mutex> lock(r.m);
        r.cv.wait(lock, [&] { return r.taken < r.posted || r.ended; });
        if (r.taken == r.posted) return;
        const int slot = int(r.taken % nchunks);
        lock.unlock();
        addsums(s, r.buf + long(slot) * chunklen, r.len[slot]);
        lock.lock();
        r.taken++;
        r.cv.notify_all();
    }
}

} // namespace

bool hashimage(const Image &img, Hashes &whole, Hashes *perfile, ImageError &err)
{
    std::unique_ptr<unsigned char[]> buf(new (std::nothrow) unsigned char[size_t(chunklen) * nchunks]);
    // One file: its hashes are the image's, and MD5, the slowest, has a
    // thread to itself. More files: this thread keeps each file's, the
    // other the whole image's, about as much work each.
    const bool several = img.nfiles > 1;
    Sums mine = {}, other = {}, wholemine = {};
    bool ok = buf && startsums(other, several, true, several) &&
              startsums(wholemine, !several, false, !several);
    if (!ok) {
        snprintf(err.path, sizeof err.path, "%s", img.files[0].path);
        snprintf(err.reason, sizeof err.reason, "cannot be hashed: %s", strerror(ENOMEM));
        freesums(mine);
        freesums(other);
        freesums(wholemine);
        return false;
    }
    Ring r;
    r.buf = buf.get();
    std::thread worker(hashchunks, std::ref(r), std::ref(other));

    for (int i = 0; i < img.nfiles && ok; i++) {
        const ImageFile &f = img.files[i];
        if (several && !startsums(mine, true, true, true)) {
            snprintf(err.path, sizeof err.path, "%s", f.path);
            snprintf(err.reason, sizeof err.reason, "cannot be hashed: %s", strerror(ENOMEM));
            ok = false;
            break;
        }
        (void)posix_fadvise(f.fd, 0, 0, POSIX_FADV_SEQUENTIAL);
        for (int64_t at = 0; at < f.size;) {
            std::unique_lock<std::mutex> lock(r.m);
            r.cv.wait(lock, [&] { return r.posted - r.taken < nchunks; });
            const int slot = int(r.posted % nchunks);
            lock.unlock();

            unsigned char *p = r.buf + long(slot) * chunklen;
            const long want = long(std::min<int64_t>(chunklen, f.size - at));
            const long got = zem::readat(f.fd, p, want, at);
            if (got != want) {
                snprintf(err.path, sizeof err.path, "%s", f.path);
                if (got < 0) snprintf(err.reason, sizeof err.reason, "cannot be read: %s", strerror(errno));
                else snprintf(err.reason, sizeof err.reason, "has become shorter since it was opened");
                ok = false;
                break;
            }
            lock.lock();
            r.len[slot] = got;
            r.posted++;
            r.cv.notify_all();
            lock.unlock();

            addsums(several ? mine : wholemine, p, got);
            at += got;
        }
        if (ok && several && perfile) endsums(mine, perfile[i]);
    }

    {
        std::lock_guard<std::mutex> lock(r.m);
        r.ended = true;
        r.cv.notify_all();
    }
    worker.join();
    if (ok) {
        endsums(other, whole);
        endsums(wholemine, whole);
        if (!several && perfile) perfile[0] = whole;
    }
    freesums(mine);
    freesums(other);
    freesums(wholemine);
    return ok;
}

} // namespace disc
