// Offsets and sizes of the ZEM patch format, and its little-endian decode.
#pragma once

#include <cstdint>
#include <cstring>

namespace zem {

// Common header, both versions
constexpr long magicpos = 0;      // the three characters "ZEM"
constexpr long magiclen = 3;
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
constexpr long diztailskip = 12;              // unexamined bytes behind the text
constexpr long dizheadskip = 18;              // unexamined bytes before the text
constexpr long diztextfromend = diztailskip + diztagfromend;   // len + 20
constexpr long dizfixedlen = dizheadskip + diztextfromend;      // 38: trailer is len + 38
constexpr long dizhidden = 7;                 // last text bytes read but never shown
constexpr long diztextmax = 3072;             // text buffer size

// Returns the signed 32-bit little-endian value stored at p.
inline int32_t getle32(const unsigned char *p)
{
    uint32_t v = uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 |
                 uint32_t(p[3]) << 24;
    int32_t s;
    std::memcpy(&s, &v, sizeof s);
    return s;
}

} // namespace zem
