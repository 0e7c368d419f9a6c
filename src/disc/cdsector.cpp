// Raw CD sectors: their kinds; the EDC, a CRC by carry-less multiplication
// where the processor has it, else table-driven, eight bytes a step; P and Q,
// 16 columns or diagonals at once with SSE2, else byte by byte.
#include "cdsector.hpp"

#include <cstring>
#include <initializer_list>

#if defined(__x86_64__)
#include <immintrin.h>
#endif
#if defined(__SSE2__)
#include <emmintrin.h>
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


/* Sector kinds */

Kind kindof(const unsigned char *s)
{
    static const unsigned char sync[syncln] = {0, 0xff, 0xff, 0xff, 0xff, 0xff,
                                               0xff, 0xff, 0xff, 0xff, 0xff, 0};
    if (std::memcmp(s, sync, syncln) != 0) return Kind::none;
    if (s[modepos] == 1) return Kind::mode1;
    if (s[modepos] != 2) return Kind::none;
    // Form 2 sectors may carry anything in their subheader but the form bit
    // must be told by both copies alike; a disagreement is no sector we know.
    if (std::memcmp(s + subheaderpos, s + subheaderpos + subheadercopy, subheadercopy) != 0)
        return Kind::none;
    return s[submodepos] & form2bit ? Kind::form2 : Kind::form1;
}

Layout layoutof(Kind k)
{
    switch (k) {
    case Kind::mode1: return {0, 2064, true};
    case Kind::form1: return {subheaderpos, 2072, true};
    case Kind::form2: return {subheaderpos, 2348, false};
    case Kind::none: break;
    }
    return {0, 0, false};
}

const char *kindname(Kind k)
{
    switch (k) {
    case Kind::mode1: return "Mode 1";
    case Kind::form1: return "Mode 2 Form 1";
    case Kind::form2: return "Mode 2 Form 2";
    case Kind::none: break;
    }
    return "not a data sector";
}

uint32_t storededc(const unsigned char *s, Kind k)
{
    Layout l = layoutof(k);
    return l.edcat ? le32(s + l.edcat) : 0;
}

namespace {

/* P and Q
 *
 * The bytes from the header on, 2340 of them, are 1170 16-bit words: word w
 * at bytes 2w and 2w + 1, each byte of a word in its own code ("plane"). Laid
 * as rows of 43 words (86 bytes), the first 24 rows are the data that P
 * covers: each of the 86 byte columns is a codeword of 24 data bytes and
 * rows 24 and 25, the two P bytes. Q covers those 26 rows: diagonal n takes
 * from word column m the word of row (m + n) mod 26, 43 words in all, then
 * its two Q words, which lie at 2248 and 2300 in the byte order of the
 * diagonals (2n + plane). A codeword v0 .. v(k-1) is right when the sum of
 * its bytes and the sum of v(i) * alpha^(k-1-i) are both zero, in GF(2^8)
 * modulo x^8 + x^4 + x^3 + x^2 + 1.
 *
 * Both sums come from one pass over a codeword's bytes: a ^= v and
 * b = (b ^ v) * alpha. Over the data bytes alone that gives, for the two
 * parity bytes x then y, x ^ y = a and alpha x ^ y = alpha b, so
 * x = (a ^ alpha b) / (1 + alpha) and y = a ^ x. Over the whole codeword,
 * parity included, both are zero exactly when the stored parity is right.
 */

constexpr long rowlen = 86;        // bytes of a row
constexpr long prowsall = prows + 2;
constexpr long qparitylen = qlen / 2;

// x * alpha.
inline unsigned char mulalpha(unsigned char x)
{
    return (unsigned char)(x << 1 ^ (x & 0x80 ? 0x1d : 0));
}

// x / (1 + alpha), by table: multiplying by 1 + alpha is one to one.
struct Divide {
    unsigned char t[256];
    Divide()
    {
        for (int x = 0; x < 256; x++) t[mulalpha((unsigned char)x) ^ x] = (unsigned char)x;
    }
};
const Divide divide;

// The sums of the P columns over their first rows rows (24: the data; 26:
// the parity too), and of the Q diagonals over their first steps steps (43
// or 45). a and b hold pcolumns (P) or qdiagonals (Q) bytes, with room for
// 16 more. In a Mode 2 sector the four header bytes count as zeros.
struct Sums {
    unsigned char a[pcolumns + 16], b[pcolumns + 16];
};

// Byte i of the words from the header on, as P and Q take it.
inline unsigned char eccbyte(const unsigned char *s, long i, bool mode2)
{
    return mode2 && i < 4 ? 0 : s[eccfrom + i];
}

void psumsplain(const unsigned char *s, bool mode2, long rows, Sums &out)
{
    std::memset(&out, 0, sizeof out);
    for (long r = 0; r < rows; r++)
        for (long c = 0; c < pcolumns; c++) {
            unsigned char v = eccbyte(s, r * rowlen + c, mode2);
            out.a[c] ^= v;
            out.b[c] = mulalpha(out.b[c] ^ v);
        }
}

void qsumsplain(const unsigned char *s, bool mode2, long steps, Sums &out)
{
    std::memset(&out, 0, sizeof out);
    for (long m = 0; m < steps; m++)
        for (long l = 0; l < qdiagonals; l++) {
            long n = l / 2, plane = l % 2;
            long at = m < qsteps ? (m + n) % prowsall * rowlen + 2 * m + plane
                                 : qpos - eccfrom + (m - qsteps) * qparitylen + l;
            unsigned char v = eccbyte(s, at, mode2);
            out.a[l] ^= v;
            out.b[l] = mulalpha(out.b[l] ^ v);
        }
}

#if defined(__SSE2__)
// 16 bytes times alpha: doubled, and where the top bit was set, 0x1d added.
inline __m128i mulalpha16(__m128i x)
{
    __m128i top = _mm_cmplt_epi8(x, _mm_setzero_si128());
    return _mm_xor_si128(_mm_add_epi8(x, x), _mm_and_si128(top, _mm_set1_epi8(0x1d)));
}

inline __m128i load16(const void *p)
{
    return _mm_loadu_si128(static_cast<const __m128i *>(p));
}

inline void store16(void *p, __m128i x)
{
    _mm_storeu_si128(static_cast<__m128i *>(p), x);
}

// The first four bytes zero where mode2 asks for it.
inline __m128i headermask(bool mode2)
{
    return mode2 ? _mm_set_epi32(-1, -1, -1, 0) : _mm_set1_epi32(-1);
}

// P: 16 columns at once, in six vectors; the last overlaps the one before so
// that the 86 columns need no scalar tail.
void psums16(const unsigned char *s, bool mode2, long rows, Sums &out)
{
    constexpr long at[6] = {0, 16, 32, 48, 64, pcolumns - 16};
    const unsigned char *base = s + eccfrom;
    __m128i a[6], b[6];
    for (int k = 0; k < 6; k++) {
        __m128i v = load16(base + at[k]);
        if (k == 0) v = _mm_and_si128(v, headermask(mode2));
        a[k] = v;
        b[k] = mulalpha16(v);
    }
    for (long r = 1; r < rows; r++) {
        const unsigned char *row = base + r * rowlen;
        for (int k = 0; k < 6; k++) {
            __m128i v = load16(row + at[k]);
            a[k] = _mm_xor_si128(a[k], v);
            b[k] = mulalpha16(_mm_xor_si128(b[k], v));
        }
    }
    for (int k = 0; k < 6; k++) {
        store16(out.a + at[k], a[k]);
        store16(out.b + at[k], b[k]);
    }
}

// Q: the 26 rows are turned into columns of words first (8 by 8 words at a
// time), each column stored twice over, so that the words diagonals 0 to 25
// take from column m, rows m, m + 1, ... mod 26, lie side by side. Then 8
// diagonals (16 bytes) at a time, four vectors a step.
void qsums16(const unsigned char *s, bool mode2, long steps, Sums &out)
{
    constexpr long colwords = 64;   // two copies of 26 rows, and room to read past them
    alignas(16) uint16_t cols[qsteps][colwords];
    const unsigned char *base = s + eccfrom;
    // Rows 24-31 first: their rows past 25 are zeros that the copies of rows
    // 0-5 then overwrite.
    for (long rb : {3, 0, 1, 2}) {
        for (long cb = 0; cb < 6; cb++) {
            __m128i x[8];
            for (long i = 0; i < 8; i++) {
                long r = rb * 8 + i;
                x[i] = r < prowsall ? load16(base + r * rowlen + cb * 16) : _mm_setzero_si128();
            }
            if (rb == 0 && cb == 0) x[0] = _mm_and_si128(x[0], headermask(mode2));
            __m128i a0 = _mm_unpacklo_epi16(x[0], x[1]), a1 = _mm_unpackhi_epi16(x[0], x[1]);
            __m128i a2 = _mm_unpacklo_epi16(x[2], x[3]), a3 = _mm_unpackhi_epi16(x[2], x[3]);
            __m128i a4 = _mm_unpacklo_epi16(x[4], x[5]), a5 = _mm_unpackhi_epi16(x[4], x[5]);
            __m128i a6 = _mm_unpacklo_epi16(x[6], x[7]), a7 = _mm_unpackhi_epi16(x[6], x[7]);
            __m128i b0 = _mm_unpacklo_epi32(a0, a2), b1 = _mm_unpackhi_epi32(a0, a2);
            __m128i b2 = _mm_unpacklo_epi32(a1, a3), b3 = _mm_unpackhi_epi32(a1, a3);
            __m128i b4 = _mm_unpacklo_epi32(a4, a6), b5 = _mm_unpackhi_epi32(a4, a6);
            __m128i b6 = _mm_unpacklo_epi32(a5, a7), b7 = _mm_unpackhi_epi32(a5, a7);
            __m128i y[8] = {_mm_unpacklo_epi64(b0, b4), _mm_unpackhi_epi64(b0, b4),
                            _mm_unpacklo_epi64(b1, b5), _mm_unpackhi_epi64(b1, b5),
                            _mm_unpacklo_epi64(b2, b6), _mm_unpackhi_epi64(b2, b6),
                            _mm_unpacklo_epi64(b3, b7), _mm_unpackhi_epi64(b3, b7)};
            for (long j = 0; j < 8; j++) {
                long c = cb * 8 + j;
                if (c >= qsteps) break;
                store16(&cols[c][rb * 8], y[j]);
                store16(&cols[c][prowsall + rb * 8], y[j]);
            }
        }
    }
    __m128i a[4], b[4];
    for (int k = 0; k < 4; k++) a[k] = b[k] = _mm_setzero_si128();
    for (long m = 0; m < qsteps; m++) {
        const uint16_t *col = &cols[m][m % prowsall];
        for (int k = 0; k < 4; k++) {
            __m128i v = load16(col + 8 * k);
            a[k] = _mm_xor_si128(a[k], v);
            b[k] = mulalpha16(_mm_xor_si128(b[k], v));
        }
    }
    for (long m = qsteps; m < steps; m++) {
        const unsigned char *parity = s + qpos + (m - qsteps) * qparitylen;
        int32_t last;   // the last 4 of the 52 bytes, read without running past the sector
        std::memcpy(&last, parity + 48, 4);
        __m128i v[4] = {load16(parity), load16(parity + 16), load16(parity + 32), _mm_cvtsi32_si128(last)};
        for (int k = 0; k < 4; k++) {
            a[k] = _mm_xor_si128(a[k], v[k]);
            b[k] = mulalpha16(_mm_xor_si128(b[k], v[k]));
        }
    }
    for (int k = 0; k < 4; k++) {
        store16(out.a + 16 * k, a[k]);
        store16(out.b + 16 * k, b[k]);
    }
}
#endif

// Whether the first n bytes of both sums are zero.
bool zerosums(const Sums &x, long n)
{
    unsigned char any = 0;
    for (long i = 0; i < n; i++) any |= x.a[i] | x.b[i];
    return any == 0;
}

// The two parity bytes of each codeword from the sums over its data: the
// first at p, the second n bytes on.
void putparity(const Sums &x, long n, unsigned char *p)
{
    for (long i = 0; i < n; i++) {
        unsigned char first = divide.t[x.a[i] ^ mulalpha(x.b[i])];
        p[i] = first;
        p[i + n] = x.a[i] ^ first;
    }
}

using SumsFn = void (*)(const unsigned char *, bool, long, Sums &);
#if defined(__SSE2__)
constexpr SumsFn psums = psums16, qsums = qsums16;
#else
constexpr SumsFn psums = psumsplain, qsums = qsumsplain;
#endif

bool eccrightwith(const unsigned char *s, bool mode2, SumsFn p, SumsFn q)
{
    Sums x;
    p(s, mode2, prowsall, x);
    if (!zerosums(x, pcolumns)) return false;
    q(s, mode2, qsteps + 2, x);
    return zerosums(x, qdiagonals);
}

void writeeccwith(unsigned char *s, bool mode2, SumsFn p, SumsFn q)
{
    Sums x;
    p(s, mode2, prows, x);
    putparity(x, pcolumns, s + ppos);
    q(s, mode2, qsteps, x);   // Q covers P
    putparity(x, qdiagonals, s + qpos);
}

} // namespace

bool eccright(const unsigned char *s, bool mode2)
{
    return eccrightwith(s, mode2, psums, qsums);
}

void writeecc(unsigned char *s, bool mode2)
{
    writeeccwith(s, mode2, psums, qsums);
}

namespace portable {

bool eccright(const unsigned char *s, bool mode2)
{
    return eccrightwith(s, mode2, psumsplain, qsumsplain);
}

void writeecc(unsigned char *s, bool mode2)
{
    writeeccwith(s, mode2, psumsplain, qsumsplain);
}

} // namespace portable

Codes checkcodes(const unsigned char *s)
{
    Codes c = {kindof(s), false, false, false};
    if (c.kind == Kind::none) return c;
    Layout l = layoutof(c.kind);
    uint32_t stored = le32(s + l.edcat);
    if (stored == 0) {
        c.noedc = true;
        return c;
    }
    c.edcright = edc(s + l.from, l.edcat - l.from) == stored;
    c.eccright = !l.ecc || eccright(s, c.kind == Kind::form1);
    return c;
}

void writecodes(unsigned char *s, Kind k)
{
    Layout l = layoutof(k);
    if (!l.edcat) return;
    uint32_t crc = edc(s + l.from, l.edcat - l.from);
    for (int i = 0; i < edclen; i++) s[l.edcat + i] = (unsigned char)(crc >> (8 * i));
    if (l.ecc) writeecc(s, k == Kind::form1);
}

} // namespace cd
