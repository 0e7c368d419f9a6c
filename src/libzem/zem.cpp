// libzem: the patched view. Everything the API calls is caught here, at the
// boundary: no exception leaves it, and nothing maps a file, so a file cut
// short under a reader is a failed read (ZEM_EIO), never a signal.
#define ZEM_BUILDING 1
#include "zem.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <string>
#include <new>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

#include "image.hpp"
#include "tool.hpp"
#include "zemformat.hpp"
#include "zemindex.hpp"
#include "zemreader.hpp"

struct zem_view {
    disc::Image img;             // read only
    std::vector<int> patchfds;
    zem::RecordIndex index;
    int64_t basesize = 0;        // the image's own size
    int64_t size = 0;            // the patched image's size
    std::mutex errlock;          // taken on failed reads and by zem_view_error only
    std::vector<std::pair<std::thread::id, int>> errors;
};

namespace {

void closeall(zem_view *v)
{
    for (int fd : v->patchfds) close(fd);
    v->patchfds.clear();
    disc::closeimage(v->img);
}

// The image's validation block, and its size, as the patches applied so far
// leave it.
struct Leftover {
    int64_t size;
    unsigned char block[zem::checkblocklen];
};

// Opens one patch and adds its records to the index; ZEM_OK or the error.
int addpatch(zem_view *v, int k, const char *path, unsigned flags, Leftover &left)
{
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return ZEM_EPATCH;
    v->patchfds.push_back(fd);   // closed with the view from here on
    struct stat st;
    if (fstat(fd, &st) != 0 || !(S_ISREG(st.st_mode) || S_ISBLK(st.st_mode))) return ZEM_EPATCH;
    int64_t filelen = S_ISREG(st.st_mode) ? int64_t(st.st_size) : int64_t(lseek(fd, 0, SEEK_END));
    if (filelen < 0) return ZEM_EPATCH;

    unsigned char head[zem::v2headerlen] = {0};
    long got = zem::readat(fd, head, sizeof head, 0);
    if (got < 0) return ZEM_EPATCH;
    zem::kind kind = zem::identify(head, got);
    if (kind == zem::notzem) return ZEM_ENOTZEM;
    if (kind == zem::unknownmethod) return ZEM_EMETHOD;
    unsigned char tail[zem::diztagfromend] = {0};
    if (filelen >= zem::diztagfromend &&
        zem::readat(fd, tail, sizeof tail, filelen - zem::diztagfromend) != long(sizeof tail))
        return ZEM_EPATCH;
    zem::Trailer trailer = zem::findtrailer(tail, filelen);
    zem::Area area = zem::recordsarea(kind, trailer, filelen);
    if (area.damage != zem::flawnone) return ZEM_EDAMAGED;

    size_t from = v->index.pieces().size();
    zem::flaw damage = zem::flawnone;
    zem::step s = v->index.addpatch(fd, k, area, damage);
    if (s == zem::stepdamaged) return ZEM_EDAMAGED;
    if (s != zem::stepend) return errno == EFBIG ? ZEM_EINVAL : ZEM_EPATCH;

    // Mavrin's check of a version 2.0 patch, against the image as the
    // earlier patches leave it: first the size, then the block (the patch's
    // header is whole: the area is sound).
    if (kind == zem::version2 && !(flags & ZEM_ANYIMAGE)) {
        if (left.size != int64_t(zem::getle32(head + zem::imagesizepos))) return ZEM_EWRONGSIZE;
        if (std::memcmp(left.block, head + zem::checkblockpos, zem::checkblocklen) != 0)
            return ZEM_EWRONGIMAGE;
    }

    // What this patch leaves for the next one.
    const std::vector<zem::Piece> &pieces = v->index.pieces();
    constexpr int64_t blockend = zem::imageblockpos + zem::checkblocklen;
    for (size_t i = from; i < pieces.size(); i++) {
        const zem::Piece &p = pieces[i];
        left.size = std::max(left.size, p.end());
        int64_t a = std::max(p.begin(), int64_t(zem::imageblockpos));
        int64_t b = std::min(p.end(), blockend);
        if (a >= b) continue;
        long n = long(b - a);
        if (zem::readat(fd, left.block + (a - zem::imageblockpos), n, p.src() + (a - p.begin())) != n)
            return ZEM_EPATCH;
    }
    return ZEM_OK;
}

zem_view *openview(const char *image, const char *const *patches, int npatches, unsigned flags,
                   int &error, int &failed, std::string &why)
{
    failed = -1;
    if (!image || npatches < 0 || npatches > zem::indexmaxpatches || (npatches > 0 && !patches) ||
        (flags & ~ZEM_ANYIMAGE)) {
        error = ZEM_EINVAL;
        return nullptr;
    }
    for (int k = 0; k < npatches; k++)
        if (!patches[k]) {
            error = ZEM_EINVAL;
            failed = k;
            return nullptr;
        }
    std::unique_ptr<zem_view> v(new zem_view);
    v->img.nfiles = 0;
    disc::ImageError ierr;
    if (!disc::openimage(v->img, image, false, nullptr, nullptr, ierr)) {
        why = tool::imageerror(image, ierr);   // worded as zemmake and zeminfo word it
        error = ZEM_EIMAGE;
        return nullptr;
    }
    v->basesize = v->img.size;
    Leftover left;
    left.size = v->basesize;
    std::memset(left.block, 0, sizeof left.block);
    if (disc::readimage(v->img, left.block, zem::checkblocklen, zem::imageblockpos) < 0) {
        closeall(v.get());
        error = ZEM_EIO;
        return nullptr;
    }
    v->patchfds.reserve(size_t(npatches));
    for (int k = 0; k < npatches; k++) {
        int e = ZEM_ENOMEM;
        try {
            e = addpatch(v.get(), k, patches[k], flags, left);
        } catch (...) {
        }
        if (e != ZEM_OK) {
            closeall(v.get());
            error = e;
            failed = k;
            return nullptr;
        }
    }
    v->index.finish();
    v->size = std::max(v->basesize, v->index.end());
    error = ZEM_OK;
    return v.release();
}

void seterror(zem_view *v, int e)
{
    try {
        std::lock_guard<std::mutex> hold(v->errlock);
        std::thread::id me = std::this_thread::get_id();
        for (auto &slot : v->errors)
            if (slot.first == me) {
                slot.second = e;
                return;
            }
        v->errors.emplace_back(me, e);
    } catch (...) {   // no room to keep it: the -1 still says the read failed
    }
}

// Reads the patch data of pieces [i, end) that lie in [off, off + n) into
// buf (which holds [off, off + n)); a run of pieces whose data lie close
// together in one patch is one read.
bool overlay(const zem_view *v, unsigned char *buf, int64_t off, int64_t n, size_t i)
{
    constexpr long spanmax = 64 << 10;   // bytes of patch read at once
    constexpr long gapmax = 4 << 10;     // patch bytes read over between two pieces
    unsigned char span[spanmax];
    const std::vector<zem::Piece> &pieces = v->index.pieces();
    int64_t stop = off + n;
    while (i < pieces.size() && pieces[i].begin() < stop) {
        const zem::Piece &p = pieces[i];
        int fd = v->patchfds[size_t(p.patch())];
        int64_t first = p.src(), last = p.src() + p.len();
        size_t j = i + 1;
        while (j < pieces.size() && pieces[j].begin() < stop && pieces[j].patch() == p.patch() &&
               pieces[j].src() >= last && pieces[j].src() - last <= gapmax &&
               pieces[j].src() + pieces[j].len() - first <= spanmax) {
            last = pieces[j].src() + pieces[j].len();
            j++;
        }
        if (j == i + 1) {   // one piece: straight into the caller's buffer
            int64_t a = std::max(p.begin(), off), b = std::min(p.end(), stop);
            long len = long(b - a);
            if (zem::readat(fd, buf + (a - off), len, p.src() + (a - p.begin())) != len) return false;
        } else {
            long len = long(last - first);
            if (zem::readat(fd, span, len, first) != len) return false;
            for (size_t k = i; k < j; k++) {
                const zem::Piece &q = pieces[k];
                int64_t a = std::max(q.begin(), off), b = std::min(q.end(), stop);
                std::memcpy(buf + (a - off), span + (q.src() - first) + (a - q.begin()), size_t(b - a));
            }
        }
        i = j;
    }
    return true;
}

// Fills [from, to) of buf (which holds [off, ...)) from the image: its own
// bytes, then zeros past its end.
bool fillimage(const zem_view *v, unsigned char *buf, int64_t off, int64_t from, int64_t to)
{
    int64_t own = std::min(to, std::max(v->basesize, from)) - from;
    if (own > 0 && disc::readimage(v->img, buf + (from - off), own, from) != own) return false;
    if (from + own < to) std::memset(buf + (from + own - off), 0, size_t(to - from - own));
    return true;
}

// The image's bytes under [off, off + n), the pieces from i on to come over
// them: one read of the whole stretch, or, when the pieces cover most of it
// (a dense patch), only the stretches between them.
bool underlay(const zem_view *v, unsigned char *buf, int64_t off, int64_t n, size_t i)
{
    const std::vector<zem::Piece> &pieces = v->index.pieces();
    int64_t stop = off + n, covered = 0;
    for (size_t j = i; j < pieces.size() && pieces[j].begin() < stop; j++)
        covered += std::min(pieces[j].end(), stop) - std::max(pieces[j].begin(), off);
    if (covered < n / 2) return fillimage(v, buf, off, off, stop);
    int64_t at = off;
    for (size_t j = i; j < pieces.size() && pieces[j].begin() < stop; j++) {
        if (pieces[j].begin() > at && !fillimage(v, buf, off, at, pieces[j].begin())) return false;
        at = std::max(at, pieces[j].end());
    }
    return at >= stop || fillimage(v, buf, off, at, stop);
}

} // namespace

extern "C" {

ZEM_API zem_view *zem_view_open_why(const char *image, const char *const *patches, int npatches,
                                    unsigned flags, int *error, int *failed, char *why,
                                    size_t whylen)
{
    int e = ZEM_ENOMEM, k = -1;
    zem_view *v = nullptr;
    std::string words;
    try {
        v = openview(image, patches, npatches, flags, e, k, words);
    } catch (...) {
        v = nullptr;
        e = ZEM_ENOMEM;
    }
    if (error) *error = e;
    if (failed) *failed = v ? -1 : k;
    if (why && whylen > 0) {
        const char *text = v ? "" : words.empty() ? zem_strerror(e) : words.c_str();
        size_t n = std::min(std::strlen(text), whylen - 1);
        std::memcpy(why, text, n);
        why[n] = 0;
    }
    return v;
}

ZEM_API zem_view *zem_view_open_ex(const char *image, const char *const *patches, int npatches,
                                   unsigned flags, int *error, int *failed)
{
    return zem_view_open_why(image, patches, npatches, flags, error, failed, nullptr, 0);
}

ZEM_API zem_view *zem_view_open(const char *image, const char *const *patches, int npatches,
                                unsigned flags, int *error)
{
    return zem_view_open_ex(image, patches, npatches, flags, error, nullptr);
}

ZEM_API void zem_view_close(zem_view *view)
{
    if (!view) return;
    closeall(view);
    delete view;
}

ZEM_API int64_t zem_view_size(const zem_view *view)
{
    return view ? view->size : -1;
}

ZEM_API int64_t zem_view_read(zem_view *view, void *buf, size_t len, int64_t offset)
{
    if (!view) return -1;
    if ((!buf && len > 0) || offset < 0) {
        seterror(view, ZEM_EINVAL);
        return -1;
    }
    if (offset >= view->size || len == 0) return 0;
    int64_t n = view->size - offset;
    if (uint64_t(n) > len) n = int64_t(len);
    unsigned char *out = static_cast<unsigned char *>(buf);

    size_t first = view->index.find(offset);
    if (!underlay(view, out, offset, n, first) || !overlay(view, out, offset, n, first)) {
        seterror(view, ZEM_EIO);
        return -1;
    }
    return n;
}

ZEM_API int zem_view_error(const zem_view *view)
{
    if (!view) return ZEM_EINVAL;
    zem_view *v = const_cast<zem_view *>(view);
    try {
        std::lock_guard<std::mutex> hold(v->errlock);
        std::thread::id me = std::this_thread::get_id();
        for (auto &slot : v->errors)
            if (slot.first == me) return slot.second;
    } catch (...) {
    }
    return ZEM_OK;
}

ZEM_API int zem_view_nfiles(const zem_view *view)
{
    return view ? view->img.nfiles : 0;
}

ZEM_API int zem_view_file(const zem_view *view, int i, const char **name, int64_t *first,
                          int64_t *size)
{
    if (!view || i < 0 || i >= view->img.nfiles) return ZEM_EINVAL;
    const disc::ImageFile &f = view->img.files[i];
    if (name) *name = f.path;
    if (first) *first = f.first;
    if (size) *size = i == view->img.nfiles - 1 ? view->size - f.first : f.size;
    return ZEM_OK;
}

ZEM_API const char *zem_strerror(int error)
{
    switch (error) {
    case ZEM_OK: return "success";
    case ZEM_EINVAL: return "invalid argument";
    case ZEM_ENOMEM: return "out of memory";
    case ZEM_EIMAGE: return "the image cannot be opened";
    case ZEM_EPATCH: return "a patch cannot be opened or read";
    case ZEM_ENOTZEM: return "the patch is not a ZEM file";
    case ZEM_EMETHOD: return "the patch has an unknown encoding method";
    case ZEM_EDAMAGED: return "the patch is damaged";
    case ZEM_EWRONGSIZE: return "the image is not the size the patch was made for";
    case ZEM_EWRONGIMAGE: return "the image is not the one the patch was made for";
    case ZEM_EIO: return "reading the image or a patch failed";
    }
    return "unknown error";
}

ZEM_API unsigned zem_version_number(void)
{
    return ZEM_VERSION_NUMBER;
}

} // extern "C"
