// Raw CD sectors: their kinds, and the error codes (EDC and ECC) that data sectors carry.
#pragma once

#include <cstdint>

namespace cd {

// A raw sector: 12 sync bytes, a 4-byte header (address, mode), then by kind.
constexpr long sectorlen = 2352;
constexpr long syncln = 12;
constexpr long headerpos = 12;
constexpr long modepos = 15;
constexpr long subheaderpos = 16;          // Mode 2: two copies of 4 bytes
constexpr long subheadercopy = 4;
constexpr long submodepos = subheaderpos + 2;
constexpr unsigned char form2bit = 0x20;   // submode bit 5: Form 2
constexpr long edclen = 4;

// The error correction of Mode 1 and Mode 2 Form 1: P parity over 86
// columns of 24 bytes, Q parity over 52 diagonals of 43 bytes, both over the
// bytes from the header on.
constexpr long eccfrom = headerpos;
constexpr long ppos = 2076, plen = 172;    // two rows of 86
constexpr long qpos = 2248, qlen = 104;    // two rows of 52
constexpr long pcolumns = 86, prows = 24;
constexpr long qdiagonals = 52, qsteps = 43;

// What a raw sector is. Anything that is not Mode 1, Mode 2 Form 1 or Form 2
// (no sync pattern, audio, Mode 0, subheader copies that disagree) is not a
// data sector and is never touched.
enum class Kind { none, mode1, form1, form2 };

// The kind of the sector at s (sectorlen bytes).
Kind kindof(const unsigned char *s);

// Where a kind's EDC is computed from and where it lies, and whether it has
// P and Q. For Kind::none: {0, 0, false}.
struct Layout {
    long from, edcat;   // EDC of bytes [from, edcat), stored at edcat, little-endian
    bool ecc;
};
Layout layoutof(Kind k);

// CRC-32, reflected polynomial 0xD8018001, initial value 0, no final inversion.
uint32_t edc(const unsigned char *p, long n, uint32_t crc = 0);

// The EDC field of a sector of kind k as stored. Zero means "not computed".
uint32_t storededc(const unsigned char *s, Kind k);

// The state of a sector's codes.
struct Codes {
    Kind kind;
    bool noedc;      // a data sector whose EDC field is zero: left as it is
    bool edcright;   // the stored EDC is the one computed (data sectors with an EDC)
    bool eccright;   // the stored P and Q are those computed (Mode 1, Form 1, with an EDC);
                     // true where the kind has none
    bool right() const { return edcright && eccright; }
    bool checked() const { return kind != Kind::none && !noedc; }
};
// Checks the codes of the sector at s. A sector that is not a data sector, or
// has no EDC, is reported so with edcright and eccright false.
Codes checkcodes(const unsigned char *s);

// Whether the stored P and Q of a Mode 1 (mode2 false) or Form 1 sector are
// those computed over it as it is.
bool eccright(const unsigned char *s, bool mode2);

// Computes P and Q over a Mode 1 or Form 1 sector and writes them into it.
void writeecc(unsigned char *s, bool mode2);

// P and Q byte by byte, as computed where SSE2 is absent; the tests hold it
// to the results of the path in use.
namespace portable {
bool eccright(const unsigned char *s, bool mode2);
void writeecc(unsigned char *s, bool mode2);
} // namespace portable

// Writes the right EDC, and P and Q where the kind has them, into the
// sector at s, of kind k (what kindof says of it).
void writecodes(unsigned char *s, Kind k);

// The kind's name for a user: "Mode 1", "Mode 2 Form 1", "Mode 2 Form 2".
const char *kindname(Kind k);

} // namespace cd
