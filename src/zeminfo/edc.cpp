// The EDC of raw CD sectors: a CRC by carry-less multiplication where the
// processor has it, else table-driven, eight bytes a step.
#include "edc.hpp"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

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

// The unsigned 32-bit little-endian value at p.
uint32_t le32(const unsigned char *p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

// The table-driven CRC, for any processor and for the ends of a message.
uint32_t edcbytes(const unsigned char *p, long n, uint32_t crc)
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

#if defined(__x86_64__)
// With carry-less multiplication, 16 bytes at a time: a 16-byte block, read
// as a little-endian 128-bit number, holds the coefficients of x^127 down to
// x^0 in bits 0 to 127 (the CRC is reflected). Folding a block D bits on
// multiplies its two halves by x^(D+63) and x^(D-1) modulo the polynomial;
// the product of two such 64-bit halves lands one bit short of the block's
// own order, and that missing x is the -1 in both exponents. What is left is
// a 128-bit number congruent to the message so far, whose CRC the table
// finishes. The exponents are taken modulo the polynomial at start-up.
constexpr uint32_t edcnormal = 0x8001801Bu;   // 0xD8018001 bit-reversed, x^32 left out

uint64_t foldconstant(int n)   // x^n mod P, bits reversed into a 64-bit half
{
    uint32_t v = 1;
    for (int i = 0; i < n; i++) v = v & 0x80000000u ? v << 1 ^ edcnormal : v << 1;
    uint64_t r = 0;
    for (int d = 0; d < 32; d++)
        if (v >> d & 1) r |= uint64_t(1) << (63 - d);
    return r;
}

struct Folds {
    __m128i by128, by512;
    Folds()
        : by128(_mm_set_epi64x(static_cast<long long>(foldconstant(128 - 1)), static_cast<long long>(foldconstant(128 + 63)))),
          by512(_mm_set_epi64x(static_cast<long long>(foldconstant(512 - 1)), static_cast<long long>(foldconstant(512 + 63))))
    {
    }
};

// Folds block x on by the distance of constants k and adds the next block.
__attribute__((target("pclmul,sse4.1"))) __m128i fold(__m128i x, __m128i k, __m128i next)
{
    return _mm_xor_si128(_mm_xor_si128(_mm_clmulepi64_si128(x, k, 0x00), _mm_clmulepi64_si128(x, k, 0x11)),
                         next);
}

// The CRC of n bytes (64 at least) from register crc on, folded.
__attribute__((target("pclmul,sse4.1"))) uint32_t edcfolded(const unsigned char *p, long n, uint32_t crc)
{
    static const Folds k;
    auto load = [](const unsigned char *q) { return _mm_loadu_si128(reinterpret_cast<const __m128i *>(q)); };
    // A register that starts at crc is a message that starts xored with it.
    __m128i x0 = _mm_xor_si128(load(p), _mm_cvtsi32_si128(int(crc)));
    __m128i x1 = load(p + 16), x2 = load(p + 32), x3 = load(p + 48);
    for (p += 64, n -= 64; n >= 64; p += 64, n -= 64) {
        x0 = fold(x0, k.by512, load(p));
        x1 = fold(x1, k.by512, load(p + 16));
        x2 = fold(x2, k.by512, load(p + 32));
        x3 = fold(x3, k.by512, load(p + 48));
    }
    x3 = fold(fold(fold(x0, k.by128, x1), k.by128, x2), k.by128, x3);
    for (; n >= 16; p += 16, n -= 16) x3 = fold(x3, k.by128, load(p));
    unsigned char rest[16];
    _mm_storeu_si128(reinterpret_cast<__m128i *>(rest), x3);
    return edcbytes(p, n, edcbytes(rest, 16, 0));
}

const bool haveclmul = __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1");
#endif

} // namespace

uint32_t edc(const unsigned char *p, long n, uint32_t crc)
{
#if defined(__x86_64__)
    if (n >= 64 && haveclmul) return edcfolded(p, n, crc);
#endif
    return edcbytes(p, n, crc);
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
