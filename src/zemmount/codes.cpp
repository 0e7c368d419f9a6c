// Reads of the patched image, and with -e the codes of the data sectors the
// patches change made right as they are read: never stored.
#include <algorithm>
#include <cstring>
#include <vector>

#include "cdsector.hpp"
#include "zemmount.hpp"

// Reads len bytes at offset of view into out, zeros past its end; false
// when the view fails.
static bool readall(zem_view *view, unsigned char *out, int64_t len, int64_t offset)
{
    int64_t n = zem_view_read(view, out, size_t(len), offset);
    if (n < 0) return false;
    memset(out + n, 0, size_t(len - n));
    return true;
}

int64_t readpatched(Mount &m, unsigned char *out, int64_t len, int64_t offset)
{
    const int64_t size = zem_view_size(m.view);
    len = std::max<int64_t>(0, std::min(len, size - offset));
    if (!m.original || len == 0) return zem_view_read(m.view, out, size_t(len), offset);

    // Whole sectors around the read, patched and original, side by side.
    const int64_t from = offset / cd::sectorlen * cd::sectorlen;
    const int64_t to = std::min(size, (offset + len + cd::sectorlen - 1) / cd::sectorlen * cd::sectorlen);
    thread_local std::vector<unsigned char> patched, orig;
    patched.resize(size_t(to - from));
    orig.resize(size_t(to - from));
    if (!readall(m.view, patched.data(), to - from, from) ||
        !readall(m.original, orig.data(), to - from, from))
        return -1;
    const int64_t origsize = zem_view_size(m.original);
    for (int64_t at = from; at + cd::sectorlen <= to; at += cd::sectorlen) {
        unsigned char *s = patched.data() + (at - from);
        const unsigned char *o = orig.data() + (at - from);
        if (memcmp(s, o, cd::sectorlen) == 0) continue;   // not changed by the patches
        cd::Kind kind = cd::kindof(s);
        if (kind == cd::Kind::none) continue;
        // A zero EDC, in the original where it holds the sector, means "not computed".
        if (cd::storededc(at + cd::sectorlen <= origsize ? o : s, kind) == 0) continue;
        cd::writecodes(s, kind);
    }
    memcpy(out, patched.data() + (offset - from), size_t(len));
    return len;
}
