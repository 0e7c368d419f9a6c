// The EDC of raw CD sectors: which sectors carry one, and whether it is right.
#pragma once

#include <cstdint>

#include "zemformat.hpp"

namespace cd {

// A raw sector: 12 sync bytes, a 4-byte header (address, mode), then by mode.
constexpr long syncln = 12;
constexpr long modepos = 15;
constexpr long subheaderpos = 16;          // Mode 2: two copies of 4 bytes
constexpr long submodepos = subheaderpos + 2;
constexpr unsigned char form2bit = 0x20;   // submode bit 5: Form 2, no EDC over 2048 bytes
constexpr long mode1edcpos = 2064;         // Mode 1: EDC of bytes 0-2063
constexpr long mode2edcpos = 2072;         // Mode 2 Form 1: EDC of bytes 16-2071
constexpr long edclen = 4;

// CRC-32, reflected polynomial 0xD8018001, initial value 0, no final inversion.
uint32_t edc(const unsigned char *p, long n, uint32_t crc = 0);

// Where a sector's EDC is computed from and where it is stored.
struct EdcRange {
    long from, to;   // bytes [from, to) of the sector; to is also where the EDC lies
};

// The EDC range of a Mode 1 or Mode 2 Form 1 sector; {0, 0} for any other
// sector (audio, Form 2, no sync pattern).
EdcRange edcrange(const unsigned char *sector);

// Whether the EDC stored in the sector matches its bytes in range r.
bool edcright(const unsigned char *sector, EdcRange r);

} // namespace cd
