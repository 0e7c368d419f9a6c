// The EDC of raw CD sectors: a table-driven CRC, eight bytes a step.
#include "edc.hpp"

namespace cd {

namespace {

constexpr uint32_t edcpoly = 0xD8018001u;

struct Tables {
    uint32_t t[8][256];
    Tables()
    {
        for (uint32_t i = 0; i < 256; i++) {
            uint32_t c = i;
            for (int k = 0; k < 8; k++) c = c & 1 ? c >> 1 ^ edcpoly : c >> 1;
            t[0][i] = c;
        }
        for (int k = 1; k < 8; k++)
            for (int i = 0; i < 256; i++) t[k][i] = t[k - 1][i] >> 8 ^ t[0][t[k - 1][i] & 0xff];
    }
};
const Tables tables;

uint32_t le32(const unsigned char *p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

} // namespace

uint32_t edc(const unsigned char *p, long n, uint32_t crc)
{
    const auto &t = tables.t;
    for (; n >= 8; n -= 8, p += 8) {
        uint32_t a = crc ^ le32(p), b = le32(p + 4);
        crc = t[7][a & 0xff] ^ t[6][a >> 8 & 0xff] ^ t[5][a >> 16 & 0xff] ^ t[4][a >> 24] ^
              t[3][b & 0xff] ^ t[2][b >> 8 & 0xff] ^ t[1][b >> 16 & 0xff] ^ t[0][b >> 24];
    }
    for (; n > 0; n--, p++) crc = crc >> 8 ^ t[0][(crc ^ *p) & 0xff];
    return crc;
}

EdcRange edcrange(const unsigned char *s)
{
    static const unsigned char sync[syncln] = {0, 0xff, 0xff, 0xff, 0xff, 0xff,
                                               0xff, 0xff, 0xff, 0xff, 0xff, 0};
    for (long i = 0; i < syncln; i++)
        if (s[i] != sync[i]) return {0, 0};
    if (s[modepos] == 1) return {0, mode1edcpos};
    if (s[modepos] == 2 && !(s[submodepos] & form2bit)) return {subheaderpos, mode2edcpos};
    return {0, 0};
}

bool edcright(const unsigned char *s, EdcRange r)
{
    return edc(s + r.from, r.to - r.from) == le32(s + r.to);
}

} // namespace cd
