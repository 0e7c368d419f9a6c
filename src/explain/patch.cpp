// The input files; the patch's header, trailer text and validation
// block; the volume descriptor fields.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "explain.hpp"

// Opens without blocking (a FIFO with no writer would wait forever) and
// takes regular files only, and block devices where asked: anything else
// cannot be read at offsets.
bool openinput(const char *path, Input &in, std::string &error, bool blockok, bool *kindrefused)
{
    if (kindrefused) *kindrefused = false;
    in = {open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC), 0};
    if (in.fd < 0) {
        error = std::string("cannot open ") + path + ": " + strerror(errno);
        return false;
    }
    struct stat st;
    bool ok = fstat(in.fd, &st) == 0;
    if (ok && !S_ISREG(st.st_mode) && !(blockok && S_ISBLK(st.st_mode))) {
        if (kindrefused) *kindrefused = true;
        ok = false;
    }
    // A block device's size is where it ends.
    in.size = ok && S_ISBLK(st.st_mode) ? int64_t(lseek(in.fd, 0, SEEK_END)) : int64_t(st.st_size);
    if (!ok || in.size < 0) {
        error = std::string(path) + (blockok ? " is not a regular file or block device"
                                             : " is not a regular file");
        closeinput(in);
        return false;
    }
    return true;
}

void closeinput(Input &in)
{
    if (in.fd >= 0) close(in.fd);
    in = {-1, 0};
}

void bytesat(const Input &f, int64_t pos, long n, unsigned char *out)
{
    const long done = f.stacked ? long(std::max<int64_t>(0, explain::readstacked(*f.stacked, out, n, pos)))
                      : f.img ? long(std::max<int64_t>(0, disc::readimage(*f.img, out, n, pos)))
                              : std::max(0L, zem::readat(f.fd, out, n, pos));
    std::memset(out + done, 0, size_t(n - done));
}

namespace {

// An identifier of a volume descriptor: its bytes, trailing spaces dropped.
std::string identifier(const unsigned char *p, long n)
{
    while (n > 0 && (p[n - 1] == ' ' || p[n - 1] == 0)) n--;
    return cp437(p, n);
}

// The RFC 3339 date ("YYYY-MM-DDTHH:MM:SS+HH:MM", the hundredths left out)
// of the 17-byte date of a volume descriptor: digits, then the offset from
// GMT in quarters of an hour. Empty when the date is not set (all digits
// zero) or is no date.
std::string pvddate(const unsigned char *p)
{
    int v[6];   // year, month, day, hour, minute, second
    const int width[6] = {4, 2, 2, 2, 2, 2}, most[6] = {9999, 12, 31, 23, 59, 59};
    bool set = false;
    for (int i = 0; i < 16; i++) {
        if (p[i] < '0' || p[i] > '9') return "";
        set = set || p[i] != '0';
    }
    for (int k = 0, at = 0; k < 6; at += width[k++]) {
        v[k] = 0;
        for (int i = 0; i < width[k]; i++) v[k] = v[k] * 10 + (p[at + i] - '0');
        if (v[k] > most[k] || (k >= 1 && k <= 2 && v[k] == 0)) return "";
    }
    int quarters = static_cast<signed char>(p[16]);
    if (!set || quarters < -48 || quarters > 52) return "";   // GMT-12 to GMT+13
    int mins = quarters < 0 ? -quarters * 15 : quarters * 15;
    char buf[40];
    snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d%c%02d:%02d", v[0], v[1], v[2], v[3],
             v[4], v[5], quarters < 0 ? '-' : '+', mins / 60, mins % 60);
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

bool readlayout(const Input &patch, PatchFacts &pf, std::string &error)
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
    zem::Trailer trailer = {false, 0};
    if (pf.kind == zem::version2) {
        unsigned char size[zem::imagesizelen];
        bytesat(patch, zem::imagesizepos, zem::imagesizelen, size);
        bytesat(patch, zem::checkblockpos, zem::checkblocklen, pf.storedblock);
        pf.hasimagesize = true;
        pf.imagesize = zem::getle32(size);
        unsigned char tail[zem::diztagfromend] = {};
        if (patch.size >= zem::diztagfromend)
            bytesat(patch, patch.size - zem::diztagfromend, zem::diztagfromend, tail);
        trailer = zem::findtrailer(tail, patch.size);
        pf.hasdiz = trailer.present;
    }
    pf.area = zem::recordsarea(pf.kind, trailer, patch.size);
    pf.damage = pf.area.damage;
    pf.damageat = -1;
    return true;
}

bool readpatch(const Input &patch, PatchFacts &pf, std::string &error)
{
    if (!readlayout(patch, pf, error)) return false;

    /* The texts: one reading for both, as one maker wrote both */
    unsigned char desc[zem::desclen], shown[zem::diztextmax];
    bytesat(patch, zem::descpos, zem::desclen, desc);
    zem::TrailerText text = {0, 0, 0};
    if (pf.hasdiz) {
        unsigned char tail[zem::diztagfromend];
        bytesat(patch, patch.size - zem::diztagfromend, zem::diztagfromend, tail);
        text = zem::trailertext(zem::findtrailer(tail, patch.size), patch.size);
        if (text.shown > 0) bytesat(patch, text.at, text.shown, shown);
    }
    pf.encoding = std::max(encodingof(desc, zem::desclen, true), encodingof(shown, text.shown, true));
    pf.description = decodetext(desc, zem::desclen, pf.encoding);
    pf.diz = decodetext(shown, text.shown, pf.encoding);
    if (pf.kind == zem::version2) pf.volume = blockvolume(pf.storedblock);
    return true;
}
