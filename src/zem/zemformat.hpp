// Offsets and sizes of the ZEM patch format, and its little-endian decode.
#pragma once

#include <cstdint>
#include <cstring>

namespace zem {

// Common header, both versions
constexpr long magicpos = 0;      // the three characters "ZEM"
constexpr long magiclen = 3;
constexpr char magictext[] = "ZEM";
constexpr long methodpos = 5;     // encoding method byte
constexpr long descpos = 6;       // description text
constexpr long desclen = 50;
constexpr long v1headerlen = descpos + desclen;   // 56

// Encoding methods
constexpr int methodv1 = 0;       // version 1.0
constexpr int methodv2 = 1;       // version 2.0

// Version 2.0 header continues
constexpr long imagesizepos = v1headerlen;              // 56: image size, 32-bit LE
constexpr long imagesizelen = 4;
constexpr long checkblockpos = imagesizepos + imagesizelen;   // 60: validation block
constexpr long checkblocklen = 1024;
constexpr long v2headerlen = checkblockpos + checkblocklen;   // 1084

// Where the image holds the bytes of the validation block: sector 16, byte 32
constexpr long sectorlen = 2352;
constexpr long imageblockpos = 16 * sectorlen + 32;     // 37664 (0x9320)

// Record: offset (32-bit LE), length (one byte), data
constexpr long recposlen = 4;
constexpr long reclenlen = 1;
constexpr long recheadlen = recposlen + reclenlen;      // 5
constexpr long recmaxdata = 255;

// FILE_ID.DIZ trailer, counted from the end of the file; len is its text length
constexpr long diztaglen = 4;                 // ".DIZ"
constexpr long dizlenlen = 4;                 // len, 32-bit LE
constexpr long diztagfromend = diztaglen + dizlenlen;   // 8
constexpr char diztagtext[] = ".DIZ";
constexpr long diztailskip = 12;              // unexamined bytes behind the text
constexpr long dizheadskip = 18;              // unexamined bytes before the text
constexpr long diztextfromend = diztailskip + diztagfromend;   // len + 20
constexpr long dizfixedlen = dizheadskip + diztextfromend;      // 38: trailer is len + 38
constexpr long dizhidden = 7;                 // last text bytes read but never shown
constexpr long diztextmax = 3072;             // text buffer size

// Offsets and sizes are signed 32-bit: images from 2 GiB on lie beyond them
constexpr int64_t imagelimit = int64_t(INT32_MAX) + 1;

// Returns the signed 32-bit little-endian value stored at p.
inline int32_t getle32(const unsigned char *p)
{
    uint32_t v = uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 |
                 uint32_t(p[3]) << 24;
    int32_t s;
    std::memcpy(&s, &v, sizeof s);
    return s;
}

// Stores v at p as a 32-bit little-endian value.
inline void putle32(unsigned char *p, int32_t v)
{
    uint32_t u;
    std::memcpy(&u, &v, sizeof u);
    p[0] = (unsigned char)(u & 0xff);
    p[1] = (unsigned char)(u >> 8 & 0xff);
    p[2] = (unsigned char)(u >> 16 & 0xff);
    p[3] = (unsigned char)(u >> 24 & 0xff);
}

} // namespace zem
