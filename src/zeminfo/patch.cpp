// zeminfo: the input files; the patch's header, trailer text and validation
// block; the volume descriptor fields.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "infocore.hpp"

// Opens without blocking (a FIFO with no writer would wait forever) and
// takes regular files only: anything else cannot be read at offsets.
bool openinput(const char *path, Input &in, std::string &error)
{
    in = {open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC), 0};
    if (in.fd < 0) {
        error = std::string("cannot open ") + path + ": " + strerror(errno);
        return false;
    }
    struct stat st;
    if (fstat(in.fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        error = std::string(path) + " is not a regular file";
        closeinput(in);
        return false;
    }
    in.size = st.st_size;
    return true;
}

void closeinput(Input &in)
{
    if (in.fd >= 0) close(in.fd);
    in = {-1, 0};
}

void bytesat(const Input &f, int64_t pos, long n, unsigned char *out)
{
    const long done = std::max(0L, zem::readat(f.fd, out, n, pos));
    std::memset(out + done, 0, size_t(n - done));
}

namespace {

// An identifier of a volume descriptor: its bytes, trailing spaces dropped.
std::string identifier(const unsigned char *p, long n)
{
    while (n > 0 && (p[n - 1] == ' ' || p[n - 1] == 0)) n--;
    return cp437(p, n);
}

// "YYYY-MM-DD HH:MM:SS +HH:MM" from the 17-byte date of a volume descriptor,
// or empty when the date is not set (all digits zero).
std::string pvddate(const unsigned char *p)
{
    bool set = false;
    for (int i = 0; i < 16; i++) {
        if (p[i] < '0' || p[i] > '9') return "(not a date)";
        set = set || p[i] != '0';
    }
    if (!set) return "";
    const char *d = reinterpret_cast<const char *>(p);
    int quarters = static_cast<signed char>(p[16]);   // offset from GMT, 15 minutes each
    int mins = quarters < 0 ? -quarters * 15 : quarters * 15;
    char buf[40];
    snprintf(buf, sizeof buf, "%.4s-%.2s-%.2s %.2s:%.2s:%.2s %c%02d:%02d", d, d + 4, d + 6, d + 8,
             d + 10, d + 12, quarters < 0 ? '-' : '+', mins / 60, mins % 60);
    return buf;
}

// Where the fields lie in a primary volume descriptor.
constexpr long pvdtype = 0, pvdid = 1, pvdsystem = 8, pvdvolume = 40, pvdidlen = 32;
constexpr long pvdspace = 80, pvdblocksize = 128, pvdcreated = 813, pvddatelen = 17;
constexpr long isoblock = 2048;

} // namespace

Volume decodevolume(const unsigned char *p, long n, long from)
{
    Volume v = {};
    // p[i] holds byte from + i of the descriptor
    auto has = [&](long at, long len) { return at >= from && at + len <= from + n; };
    auto at = [&](long k) { return p + (k - from); };
    if (!has(pvdspace, 8) || !has(pvdblocksize, 4) || !has(pvdvolume, pvdidlen) ||
        !has(pvdcreated, pvddatelen))
        return v;
    if (from == 0 && (*at(pvdtype) != 1 || std::memcmp(at(pvdid), "CD001", 5) != 0)) return v;
    // Sizes are stored twice, little- then big-endian: both must agree.
    const unsigned char *s = at(pvdspace), *b = at(pvdblocksize);
    uint32_t le = uint32_t(s[0]) | uint32_t(s[1]) << 8 | uint32_t(s[2]) << 16 | uint32_t(s[3]) << 24;
    uint32_t be = uint32_t(s[7]) | uint32_t(s[6]) << 8 | uint32_t(s[5]) << 16 | uint32_t(s[4]) << 24;
    long blk = long(b[0]) | long(b[1]) << 8;
    if (le != be || blk != isoblock || b[2] != b[1] || b[3] != b[0]) return v;

    v.valid = true;
    v.spacesize = le;
    long sysfrom = std::max(pvdsystem, from);
    v.system = identifier(at(sysfrom), pvdsystem + pvdidlen - sysfrom);
    v.systemcut = sysfrom > pvdsystem;
    v.volume = identifier(at(pvdvolume), pvdidlen);
    v.created = pvddate(at(pvdcreated));
    return v;
}

Volume blockvolume(const unsigned char *block)
{
    // Byte 32 of raw sector 16 is byte 8 of the descriptor on a Mode 2 disc
    // (behind the 8-byte subheader), byte 16 on a Mode 1 disc.
    constexpr long mode2from = 32 - 24, mode1from = 32 - 16;
    Volume v = decodevolume(block, zem::checkblocklen, mode2from);
    if (v.valid) {
        v.mode = 2;
        return v;
    }
    v = decodevolume(block, zem::checkblocklen, mode1from);
    if (v.valid) v.mode = 1;
    return v;
}

bool readpatch(const Input &patch, PatchFacts &pf, std::string &error)
{
    /* Identify */
    unsigned char head[zem::methodpos + 1];
    bytesat(patch, 0, sizeof head, head);
    pf.kind = zem::identify(head, std::min<int64_t>(patch.size, sizeof head));
    if (pf.kind == zem::notzem) {
        error = pf.file + " is not a ZEM patch";
        return false;
    }
    if (pf.kind == zem::unknownmethod) {
        error = pf.file + " uses encoding method " + std::to_string(head[zem::methodpos]) +
                ", which zeminfo does not know";
        return false;
    }

    /* Header: what the file lacks reads as zeros, as in Mavrin */
    unsigned char desc[zem::desclen];
    bytesat(patch, zem::descpos, zem::desclen, desc);
    pf.description = cp437(desc, zem::desclen);
    zem::Trailer trailer = {false, 0};
    if (pf.kind == zem::version2) {
        unsigned char size[zem::imagesizelen], block[zem::checkblocklen];
        bytesat(patch, zem::imagesizepos, zem::imagesizelen, size);
        bytesat(patch, zem::checkblockpos, zem::checkblocklen, block);
        pf.hasimagesize = true;
        pf.imagesize = zem::getle32(size);
        pf.volume = blockvolume(block);

        /* FILE_ID.DIZ: the text Mavrin shows */
        unsigned char tail[zem::diztagfromend] = {};
        if (patch.size >= zem::diztagfromend)
            bytesat(patch, patch.size - zem::diztagfromend, zem::diztagfromend, tail);
        trailer = zem::findtrailer(tail, patch.size);
        pf.hasdiz = trailer.present;
        zem::TrailerText text = zem::trailertext(trailer, patch.size);
        unsigned char shown[zem::diztextmax];
        if (text.shown > 0) bytesat(patch, text.at, text.shown, shown);
        if (text.shown > 0) pf.diz = cp437(shown, text.shown);
    }
    pf.area = zem::recordsarea(pf.kind, trailer, patch.size);
    pf.damage = pf.area.damage;
    pf.damageat = -1;
    return true;
}
