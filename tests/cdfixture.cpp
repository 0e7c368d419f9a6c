// Real disc images for the tests, from genisoimage's ISO 9660 images.
#include "cdfixture.hpp"

#include <cstdlib>
#include <vector>

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

// GF(2^8) modulo x^8 + x^4 + x^3 + x^2 + 1, by log and antilog tables.
struct Gf {
    unsigned char exp[512];
    int log[256];
    Gf()
    {
        unsigned x = 1;
        for (int i = 0; i < 255; i++) {
            exp[i] = exp[i + 255] = (unsigned char)x;
            log[x] = i;
            x <<= 1;
            if (x & 0x100) x ^= 0x11d;
        }
    }
    unsigned char mul(unsigned char a, unsigned char b) const
    {
        return a && b ? exp[log[a] + log[b]] : 0;
    }
    unsigned char div(unsigned char a, unsigned char b) const
    {
        return a ? exp[log[a] + 255 - log[b]] : 0;
    }
};
static const Gf gf;

// The two parity bytes of the codeword v[0..k-1] + (x, y): the sum of all
// bytes and the sum of v[i] * alpha^(k+1-i) both zero.
static void parity(const std::vector<unsigned char> &v, unsigned char &x, unsigned char &y)
{
    const size_t k = v.size();
    unsigned char a = 0, b = 0;
    for (size_t i = 0; i < k; i++) {
        a ^= v[i];
        b ^= gf.mul(v[i], gf.exp[k + 1 - i]);
    }
    // x + y = a, alpha x + y = b
    x = gf.div(a ^ b, 1 ^ 2);
    y = a ^ x;
}

void fixecc(unsigned char *p)
{
    // The 1170 words S(n) from the header on: S(n) is bytes 2n, 2n + 1.
    unsigned char s[2340];
    std::copy(p + 12, p + 2352, s);
    if (p[15] == 2) s[0] = s[1] = s[2] = s[3] = 0;   // the header counts as zeros in Mode 2
    for (int plane = 0; plane < 2; plane++) {
        // P: word column n of S(43 m + n), m = 0..23; parity in rows 24 and 25.
        for (int n = 0; n < 43; n++) {
            std::vector<unsigned char> v;
            for (int m = 0; m < 24; m++) v.push_back(s[2 * (43 * m + n) + plane]);
            parity(v, s[2 * (43 * 24 + n) + plane], s[2 * (43 * 25 + n) + plane]);
        }
        // Q: diagonal n of S((44 m + 43 n) mod 1118), m = 0..42; parity at
        // S(1118 + n) and S(1144 + n).
        for (int n = 0; n < 26; n++) {
            std::vector<unsigned char> v;
            for (int m = 0; m < 43; m++) v.push_back(s[2 * ((44 * m + 43 * n) % 1118) + plane]);
            parity(v, s[2 * (1118 + n) + plane], s[2 * (1144 + n) + plane]);
        }
    }
    std::copy(s + 2064, s + 2340, p + 2076);
}

void fixedc(bytes &raw, size_t s)
{
    unsigned char *p = raw.data() + s * rawsector;
    bool form2 = p[15] == 2 && (p[18] & 0x20);
    size_t from = p[15] == 1 ? 0 : 16, at = p[15] == 1 ? 2064 : form2 ? 2348 : 2072;
    uint32_t crc = edc(p + from, at - from);
    for (int i = 0; i < 4; i++) p[at + size_t(i)] = (unsigned char)(crc >> (8 * i));
}

void fixcodes(bytes &raw, size_t s)
{
    fixedc(raw, s);
    unsigned char *p = raw.data() + s * rawsector;
    if (p[15] == 1 || !(p[18] & 0x20)) fixecc(p);
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
        fixcodes(raw, s);
    }
    return raw;
}

bytes everykind(const bytes &iso)
{
    bytes good = rawimage(iso, 2);
    auto at = [&good](size_t s) { return good.data() + s * rawsector; };
    for (size_t s : {21, 22}) at(s)[18] = at(s)[22] = 0x20;   // Form 2
    for (size_t s : {23, 24}) {                               // Mode 1
        at(s)[15] = 1;
        std::fill_n(at(s) + 2068, 8, 0);
    }
    for (size_t s : {21, 22, 23, 24}) fixcodes(good, s);
    std::fill_n(at(22) + 2348, 4, 0);   // Form 2, EDC zero
    std::fill_n(at(24) + 2064, 4, 0);   // Mode 1, EDC zero
    at(25)[22] ^= 0x01;                 // subheader copies disagree
    const bytes noise = makeimage(rawsector, 11);
    std::copy(noise.begin(), noise.end(), at(26));   // audio
    return good;
}

bytes spoil(const bytes &good)
{
    bytes img = good;
    auto at = [&img](size_t s) { return img.data() + s * rawsector; };
    for (size_t s : {21, 22, 23, 24, 25, 26, 30, 40})
        for (size_t i = 0; i < 10; i++) at(s)[100 + 7 * i] ^= 0x3c;
    at(31)[2100] ^= 1;
    at(32)[2073] ^= 1;
    at(33)[2351] ^= 1;
    return img;
}

bytes withcodes(const bytes &img, const std::vector<size_t> &sectors)
{
    bytes out = img;
    for (size_t s : sectors) fixcodes(out, s);
    return out;
}

bytes audiolikedata(const bytes &raw, size_t n, unsigned seed)
{
    bytes audio = makeimage(n * rawsector, seed);
    for (size_t s : {2, 3}) {
        unsigned char *p = audio.data() + s * rawsector;
        p[0] = p[11] = 0;
        std::fill_n(p + 1, 10, 0xff);
        p[15] = 1;
    }
    for (size_t s : {5, 6})
        std::copy_n(raw.begin() + long((s + 11) * rawsector), rawsector, audio.begin() + long(s * rawsector));
    return audio;
}

std::string msf(size_t sector)
{
    auto two = [](size_t v) { return std::string(v < 10 ? "0" : "") + std::to_string(v); };
    return two(sector / 75 / 60) + ":" + two(sector / 75 % 60) + ":" + two(sector % 75);
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
