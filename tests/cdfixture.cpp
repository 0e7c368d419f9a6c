// Real disc images for the tests, from genisoimage's ISO 9660 images.
#include "cdfixture.hpp"

#include <cstdlib>

namespace cdfix {

bytes makeiso(const std::string &dir, const std::string &volume, const std::string &sysid,
              unsigned seed)
{
    if (std::system("command -v genisoimage >/dev/null 2>&1") != 0) return {};
    std::string files = dir + "/isofiles." + volume;
    std::string iso = dir + "/" + volume + ".iso";
    if (std::system(("mkdir -p '" + files + "'").c_str()) != 0) return {};
    writefile(files + "/DATA.BIN", makeimage(60000, seed));
    writefile(files + "/README.TXT", bytes{'h', 'e', 'l', 'l', 'o', '\n'});
    std::string cmd = "genisoimage -quiet -input-charset iso8859-1 -V '" + volume + "' -sysid '" +
                      sysid + "' -o '" + iso + "' '" + files + "' 2>&1";
    if (std::system(cmd.c_str()) != 0) return {};
    return readfile(iso);
}

uint32_t edc(const unsigned char *p, size_t n)
{
    uint32_t crc = 0;
    for (size_t i = 0; i < n; i++) {
        crc ^= p[i];
        for (int k = 0; k < 8; k++) crc = crc & 1 ? (crc >> 1) ^ 0xD8018001u : crc >> 1;
    }
    return crc;
}

void fixedc(bytes &raw, size_t s)
{
    unsigned char *p = raw.data() + s * rawsector;
    size_t from = p[15] == 1 ? 0 : 16, at = p[15] == 1 ? 2064 : 2072;
    uint32_t crc = edc(p + from, at - from);
    for (int i = 0; i < 4; i++) p[at + size_t(i)] = (unsigned char)(crc >> (8 * i));
}

static unsigned char bcd(unsigned v)
{
    return (unsigned char)(v / 10 * 16 + v % 10);
}

bytes rawimage(const bytes &iso, int mode)
{
    size_t n = iso.size() / isosector;
    bytes raw(n * rawsector, 0);
    for (size_t s = 0; s < n; s++) {
        unsigned char *p = raw.data() + s * rawsector;
        for (int i = 1; i <= 10; i++) p[i] = 0xff;
        unsigned frame = unsigned(s) + 150;   // 2 seconds of lead-in
        p[12] = bcd(frame / 75 / 60);
        p[13] = bcd(frame / 75 % 60);
        p[14] = bcd(frame % 75);
        p[15] = (unsigned char)mode;
        size_t data = mode == 1 ? 16 : 24;
        if (mode == 2) p[18] = p[22] = 0x08;   // submode: data, Form 1
        std::copy(iso.begin() + long(s * isosector), iso.begin() + long((s + 1) * isosector), p + data);
        fixedc(raw, s);
    }
    return raw;
}

bytes mode2form1to2336(const bytes &raw)
{
    bytes out;
    for (size_t s = 0; s + rawsector <= raw.size(); s += rawsector)
        out.insert(out.end(), raw.begin() + long(s + 16), raw.begin() + long(s + rawsector));
    return out;
}

bytes withsubchannel(const bytes &raw)
{
    bytes out;
    for (size_t s = 0; s + rawsector <= raw.size(); s += rawsector) {
        out.insert(out.end(), raw.begin() + long(s), raw.begin() + long(s + rawsector));
        out.insert(out.end(), 96, 0);
    }
    return out;
}

} // namespace cdfix
