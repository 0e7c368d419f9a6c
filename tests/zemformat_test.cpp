// Little-endian decode and the derived layout figures.
#include <gtest/gtest.h>

#include "zemformat.hpp"

TEST(ZemFormat, DecodesLittleEndianWhateverTheHost)
{
    const unsigned char small[4] = {0x20, 0x93, 0x00, 0x00};
    const unsigned char high[4] = {0xfe, 0xff, 0xff, 0xff};
    const unsigned char top[4] = {0x00, 0x00, 0x00, 0x80};
    const unsigned char max[4] = {0xff, 0xff, 0xff, 0x7f};
    EXPECT_EQ(zem::getle32(small), 37664);
    EXPECT_EQ(zem::getle32(high), -2);   // the high bit makes it negative
    EXPECT_EQ(zem::getle32(top), INT32_MIN);
    EXPECT_EQ(zem::getle32(max), INT32_MAX);
}

TEST(ZemFormat, LayoutFigures)
{
    EXPECT_EQ(zem::v2headerlen, 1084);
    EXPECT_EQ(zem::imageblockpos, 0x9320);
    EXPECT_EQ(zem::dizfixedlen, 38);   // a trailer is its text plus 38 bytes
}
