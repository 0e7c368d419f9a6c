// The sector kinds, EDC and ECC of raw CD sectors, against the tests' own
// bitwise and byte-by-byte implementation and against values checked by hand.
#include "cdfixture.hpp"
#include "cdsector.hpp"
#include "patchbuilder.hpp"

namespace {

constexpr size_t sec = cdfix::rawsector;

// A raw sector: sync, a header of BCD address and mode, the subheader in
// both copies (Mode 2), then data from seed (no data: zeros).
bytes rawsector(int mode, unsigned char submode, unsigned seed)
{
    bytes s = seed ? makeimage(sec, seed) : bytes(sec, 0);
    std::fill(s.begin(), s.begin() + 12, 0xff);
    s[0] = s[11] = 0;
    s[12] = 0;
    s[13] = 2;
    s[14] = 0;
    s[15] = (unsigned char)mode;
    if (mode == 2) {
        for (int copy = 0; copy < 2; copy++) {
            s[16 + 4 * size_t(copy)] = 0;
            s[17 + 4 * size_t(copy)] = 0;
            s[18 + 4 * size_t(copy)] = submode;
            s[19 + 4 * size_t(copy)] = 0;
        }
    }
    if (mode == 1) std::fill(s.begin() + 2068, s.begin() + 2076, 0);
    return s;
}

// The sector with codes written by the tests' own implementation.
bytes withcodes(bytes s)
{
    cdfix::fixcodes(s, 0);
    return s;
}

} // namespace

// The EDC, by carry-less multiplication or by table, against the bit-by-bit
// one: every length around the 64- and 16-byte steps, the lengths of both
// sector modes, and a CRC carried on from an earlier part.
TEST(Edc, AgreesWithTheBitwiseCrc)
{
    const bytes data = makeimage(3000, 5);
    std::vector<long> lengths = {2056, 2064, 2332, 2352};
    for (long n = 0; n <= 200; n++) lengths.push_back(n);
    for (long n : lengths) {
        SCOPED_TRACE(n);
        EXPECT_EQ(cd::edc(data.data() + 1, n), cdfix::edc(data.data() + 1, size_t(n)));
        long half = n / 3;   // in two parts
        EXPECT_EQ(cd::edc(data.data() + 1 + half, n - half, cd::edc(data.data() + 1, half)),
                  cdfix::edc(data.data() + 1, size_t(n)));
    }
    const unsigned char check[] = "123456789";   // the catalogue's check value of this CRC
    EXPECT_EQ(cd::edc(check, 9), 0x6ec2edc4u);
}

// Sectors of zeros, checked by hand once: the EDC, and the P and Q bytes of
// the columns and diagonals that the header's nonzero bytes fall into.
TEST(SectorCodes, ZeroSectorsCheckedByHand)
{
    struct Row {
        const char *what;
        bytes sector;
        std::vector<std::pair<long, unsigned char>> values;   // offset, value
    } rows[] = {
        {"Mode 1, header 00 02 00 01", rawsector(1, 0, 0),
         {{2064, 0xc5}, {2065, 0x13}, {2066, 0x68}, {2067, 0x2b},   // EDC 0x2b6813c5
          {2077, 0xf7}, {2079, 0xf5}, {2163, 0xf5}, {2165, 0xf4},   // P: columns 1 and 3
          {2076, 0}, {2078, 0}, {2080, 0},
          {2249, 0x41}, {2301, 0x43}, {2248, 0}, {2250, 0}}},       // Q: diagonal 0
        {"Mode 2 Form 1, header as zeros", rawsector(2, 0x08, 0),
         {{2072, 0x0b}, {2073, 0x88}, {2074, 0x81}, {2075, 0x94},   // EDC 0x9481880b
          {2077, 0}, {2079, 0}, {2082, 0xfb}, {2249, 0}}},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        bytes s = row.sector;
        cd::writecodes(s.data(), cd::kindof(s.data()));
        for (auto [at, value] : row.values) EXPECT_EQ(s[size_t(at)], value) << "byte " << at;
        EXPECT_EQ(s, withcodes(row.sector));
    }
}

// Every kind: what kindof says, and the codes writecodes gives, byte for
// byte those of the tests' own implementation, on both paths; checkcodes
// then finds them right, and a zero EDC field is "no EDC".
TEST(SectorCodes, KindsAndCodesAgreeWithTheTestsOwn)
{
    bytes nosync = rawsector(1, 0, 3);
    nosync[5] = 0x7f;
    bytes disagree = rawsector(2, 0x08, 4);
    disagree[22] = 0x28;   // the second copy says Form 2
    struct Row {
        const char *what;
        bytes sector;
        cd::Kind kind;
    } rows[] = {
        {"Mode 1", rawsector(1, 0, 1), cd::Kind::mode1},
        {"Form 1", rawsector(2, 0x08, 2), cd::Kind::form1},
        {"Form 1, any other submode bits", rawsector(2, 0xdf, 12), cd::Kind::form1},
        {"Form 2", rawsector(2, 0x20, 3), cd::Kind::form2},
        {"Mode 0", rawsector(0, 0, 5), cd::Kind::none},
        {"Mode 3", rawsector(3, 0, 6), cd::Kind::none},
        {"no sync", nosync, cd::Kind::none},
        {"subheader copies disagree", disagree, cd::Kind::none},
        {"audio", makeimage(sec, 7), cd::Kind::none},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        EXPECT_EQ(cd::kindof(row.sector.data()), row.kind);
        bytes s = row.sector;
        cd::writecodes(s.data(), row.kind);
        cd::Codes c = cd::checkcodes(s.data());
        EXPECT_EQ(c.kind, row.kind);
        if (row.kind == cd::Kind::none) {
            EXPECT_EQ(s, row.sector);   // never touched
            EXPECT_FALSE(c.checked());
            continue;
        }
        EXPECT_EQ(s, withcodes(row.sector));
        EXPECT_TRUE(c.checked() && c.edcright && c.eccright);
        cd::Layout l = cd::layoutof(row.kind);
        if (l.ecc) {
            bytes plain = s;
            std::fill(plain.begin() + 2076, plain.end(), 0);
            cd::portable::writeecc(plain.data(), row.kind == cd::Kind::form1);
            EXPECT_TRUE(std::equal(plain.begin() + 2076, plain.end(), s.begin() + 2076));
            EXPECT_TRUE(cd::portable::eccright(s.data(), row.kind == cd::Kind::form1));
        }
        bytes zero = s;
        std::fill(zero.begin() + l.edcat, zero.begin() + l.edcat + 4, 0);
        c = cd::checkcodes(zero.data());
        EXPECT_TRUE(c.noedc);
        EXPECT_FALSE(c.checked());
    }
}

// A changed byte anywhere the codes cover is found, by the EDC, by P and Q
// or both, on both paths; a Mode 2 header is covered by neither.
TEST(SectorCodes, ChangesAreFoundWhereTheCodesCoverThem)
{
    const bytes m1 = withcodes(rawsector(1, 0, 8)), f1 = withcodes(rawsector(2, 0x08, 9)),
                f2 = withcodes(rawsector(2, 0x20, 10));
    struct Row {
        const char *what;
        const bytes &sector;
        long at;
        bool edcright, eccright;
        long also = 0;   // a second byte changed with it
    } rows[] = {
        {"Mode 1 header", m1, 12, false, false},
        {"Mode 1 data", m1, 1000, false, false},
        {"Mode 1 last data byte", m1, 2063, false, false},
        {"Mode 1 EDC", m1, 2065, false, false},
        {"Mode 1 zero bytes", m1, 2070, true, false},
        {"Mode 1 first P byte", m1, 2076, true, false},
        {"Mode 1 last P byte", m1, 2247, true, false},
        {"Mode 1 first Q byte", m1, 2248, true, false},
        {"Mode 1 last Q byte", m1, 2351, true, false},
        {"Form 1 header", f1, 13, true, true},
        {"Form 1 subheader, both copies", f1, 19, false, false, 23},
        {"Form 1 data", f1, 2071, false, false},
        {"Form 1 EDC", f1, 2074, false, false},
        {"Form 1 Q", f1, 2300, true, false},
        {"Form 2 data", f2, 2347, false, true},
        {"Form 2 header", f2, 14, true, true},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        bytes s = row.sector;
        s[size_t(row.at)] ^= 0x41;
        if (row.also) s[size_t(row.also)] ^= 0x41;
        cd::Codes c = cd::checkcodes(s.data());
        EXPECT_EQ(c.edcright, row.edcright);
        EXPECT_EQ(c.eccright, row.eccright);
        if (cd::layoutof(c.kind).ecc) {
            EXPECT_EQ(cd::portable::eccright(s.data(), c.kind == cd::Kind::form1), row.eccright);
        }
        cd::writecodes(s.data(), c.kind);
        EXPECT_TRUE(cd::checkcodes(s.data()).right());
    }
}

// Many sectors of random bytes: the codes of both paths are the tests' own.
TEST(SectorCodes, RandomSectorsOnBothPaths)
{
    for (unsigned seed = 20; seed < 60; seed++) {
        SCOPED_TRACE(seed);
        bytes s = makeimage(sec, seed);
        bool mode2 = seed % 2;
        bytes fast = s, plain = s, own = s;
        own[15] = mode2 ? 2 : 1;
        fast[15] = plain[15] = own[15];
        cd::writeecc(fast.data(), mode2);
        cd::portable::writeecc(plain.data(), mode2);
        cdfix::fixecc(own.data());
        EXPECT_EQ(fast, own);
        EXPECT_EQ(plain, own);
        EXPECT_TRUE(cd::eccright(own.data(), mode2));
    }
}
