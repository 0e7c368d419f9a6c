// Fuzzes libzem's view: an image and one to three patches from the input,
// opened with or without ZEM_ANYIMAGE, then read in pieces; the outcome and
// every byte are checked against a plain model of the patches written here,
// apart from the shared reader.
//
// Input: byte 0 (patches: 1 + b % 3; bit 2: ZEM_ANYIMAGE), bytes 1-2 (the
// image size, little-endian, times 4), then each patch as a 16-bit
// little-endian length and its bytes; the rest chooses the reads.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

#include "zem.h"

using bytes = std::vector<unsigned char>;

static int32_t le32(const unsigned char *p)
{
    uint32_t v = uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
    int32_t s;
    std::memcpy(&s, &v, 4);
    return s;
}

constexpr int32_t modelmax = 4 << 20;

// Applies patch p to model as Mavrin would; ZEM_OK, the refusal, or -1 for
// a patch that writes past modelmax.
static int model(bytes &image, const bytes &p, bool any)
{
    size_t n = p.size();
    if (n < 3 || std::memcmp(p.data(), "ZEM", 3) != 0) return ZEM_ENOTZEM;
    int method = n > 5 ? p[5] : 0;
    if (method > 1) return ZEM_EMETHOD;
    int64_t first = method ? 1084 : 56, end = int64_t(n);
    if (method && n >= 8 && std::memcmp(p.data() + n - 8, ".DIZ", 4) == 0) {
        int32_t len = le32(p.data() + n - 4);
        if (len < 0) return ZEM_EDAMAGED;
        end -= 38 + int64_t(len);
    }
    if (end < first) return ZEM_EDAMAGED;
    std::vector<std::pair<int64_t, size_t>> recs;   // offset, patch position of the data
    for (int64_t at = first; at < end;) {
        if (end - at < 5) return ZEM_EDAMAGED;
        int32_t pos = le32(p.data() + at);
        long len = p[size_t(at) + 4];
        if (pos < 0 || at + 5 + len > end) return ZEM_EDAMAGED;
        for (long i = 0; i < len; i++) recs.push_back({int64_t(pos) + i, size_t(at + 5 + i)});
        at += 5 + len;
    }
    if (method && !any) {
        if (int64_t(le32(p.data() + 56)) != int64_t(image.size())) return ZEM_EWRONGSIZE;
        for (long i = 0; i < 1024; i++) {
            size_t at = size_t(37664 + i);
            if ((at < image.size() ? image[at] : 0) != p[size_t(60 + i)]) return ZEM_EWRONGIMAGE;
        }
    }
    for (auto &r : recs)
        if (r.first >= modelmax) return -1;   // too far to model in memory
    for (auto &r : recs) {
        if (image.size() <= size_t(r.first)) image.resize(size_t(r.first) + 1, 0);
        image[size_t(r.first)] = p[r.second];
    }
    return ZEM_OK;
}

static void check(bool ok, const char *what)
{
    if (!ok) {
        std::fprintf(stderr, "view_fuzz: %s\n", what);
        std::abort();
    }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 3) return 0;
    int npatches = 1 + data[0] % 3;
    bool any = data[0] & 4;
    size_t imagesize = (size_t(data[1]) | size_t(data[2]) << 8) * 4;
    size_t at = 3;
    std::vector<bytes> patches;
    for (int k = 0; k < npatches; k++) {
        if (size - at < 2) return 0;
        size_t len = size_t(data[at]) | size_t(data[at + 1]) << 8;
        at += 2;
        if (len > size - at) len = size - at;
        patches.emplace_back(data + at, data + at + len);
        at += len;
    }

    bytes image(imagesize);
    for (size_t i = 0; i < imagesize; i++) image[i] = (unsigned char)(i * 7 + i / 251);
    char dir[] = "/tmp/viewfuzz.XXXXXX";
    check(mkdtemp(dir) != nullptr, "mkdtemp");
    std::string ipath = std::string(dir) + "/i.bin";
    std::vector<std::string> names;
    auto put = [](const std::string &path, const bytes &b) {
        FILE *f = std::fopen(path.c_str(), "wb");
        check(f && std::fwrite(b.data(), 1, b.size(), f) == b.size() && std::fclose(f) == 0, "write");
    };
    put(ipath, image);
    for (int k = 0; k < npatches; k++) {
        names.push_back(std::string(dir) + "/p" + std::to_string(k));
        put(names.back(), patches[size_t(k)]);
    }
    std::vector<const char *> argv;
    for (auto &n : names) argv.push_back(n.c_str());

    bytes want = image;
    int wanterror = ZEM_OK, wantfailed = -1;
    for (int k = 0; k < npatches && wanterror == ZEM_OK; k++) {
        wanterror = model(want, patches[size_t(k)], any);
        if (wanterror != ZEM_OK) wantfailed = k;
    }
    if (wanterror < 0) {   // still opened and read, but not compared
        zem_view *far = zem_view_open(ipath.c_str(), argv.data(), npatches, ZEM_ANYIMAGE, nullptr);
        unsigned char b[64];
        if (far) check(zem_view_read(far, b, sizeof b, zem_view_size(far) - 10) == 10, "far read");
        zem_view_close(far);
        for (auto &n : names) unlink(n.c_str());
        unlink(ipath.c_str());
        rmdir(dir);
        return 0;
    }

    int error = -1, failed = -2;
    zem_view *v = zem_view_open_ex(ipath.c_str(), argv.data(), npatches, any ? ZEM_ANYIMAGE : 0,
                                   &error, &failed);
    check(error == wanterror, "the error differs from the model's");
    check(failed == wantfailed, "the failing patch differs from the model's");
    if (v) {
        check(zem_view_size(v) == int64_t(want.size()), "size");
        bytes buf(want.size() + 512);
        for (size_t r = at; r + 4 <= size || r == at; r += 4) {
            int64_t off = r + 4 <= size ? int64_t(data[r] | data[r + 1] << 8) * int64_t(1 + data[r + 2] % 64) : 0;
            size_t len = r + 4 <= size ? size_t(data[r + 3]) * 2 + 1 : want.size() + 1;
            int64_t n = zem_view_read(v, buf.data(), len, off);
            int64_t expect = off >= int64_t(want.size()) ? 0 : std::min(int64_t(len), int64_t(want.size()) - off);
            check(n == expect, "read count");
            check(n <= 0 || std::memcmp(buf.data(), want.data() + off, size_t(n)) == 0, "bytes");
            if (r + 4 > size) break;
        }
        zem_view_close(v);
    }
    for (auto &n : names) unlink(n.c_str());
    unlink(ipath.c_str());
    rmdir(dir);
    return 0;
}
