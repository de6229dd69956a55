#include "WireReader.h"
#include "WireWriter.h"

#include <gtest/gtest.h>

namespace {

using Bytes = std::vector<uint8_t>;

TEST(WireWriter, Encodings)
{
    WireWriter out;
    out.writeByte(0x7F);
    out.writeU2(0x0102);
    out.writeU4(0xCAFED00D);
    out.writeJLong(0x0102030405060708LL);
    out.writeJLong(-1);
    out.writeString("36");
    out.writeString("");
    EXPECT_EQ(out.bytes(), (Bytes{0x7F, 0x01, 0x02, 0xCA, 0xFE, 0xD0, 0x0D, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07,
                                  0x08, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x02, '3', '6', 0x00, 0x00}));
}

TEST(WireWriter, LongStringKeepsLengthAndBytesInStep)
{
    WireWriter out;
    out.writeString(std::string(70000, 'x'));
    ASSERT_EQ(out.bytes().size(), 2u + 65535u);
    EXPECT_EQ(out.bytes()[0], 0xFF);
    EXPECT_EQ(out.bytes()[1], 0xFF);
}

TEST(WireReader, DecodesAndStopsAtTheEnd)
{
    Bytes in = {0x01, 0x02, 0xCA, 0xFE, 0xD0, 0x0D, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08,
                0x00, 0x02, '3', '6', 0x01, 0x00, 0x00, 0x00, 0x78, 0x56, 0x34, 0x12, 0x00, 0x00, 0x00, 0x00, 0x09};
    WireReader r(in);
    EXPECT_EQ(r.readU2(), 0x0102);
    EXPECT_EQ(r.readU4(), 0xCAFED00Du);
    EXPECT_EQ(r.readJLong(), 0x0102030405060708LL);
    EXPECT_EQ(r.readString(), "36");
    EXPECT_EQ(r.readID(4), 1u);           // host order: little-endian
    EXPECT_EQ(r.readID(8), 0x12345678u);
    EXPECT_FALSE(r.error());
    EXPECT_EQ(r.readU4(), 0u); // one byte left
    EXPECT_TRUE(r.error());
    EXPECT_EQ(r.readByte(), 0); // and nothing more after an error
}

TEST(WireReader, StringLongerThanTheRest)
{
    Bytes in = {0x00, 0x05, 'a', 'b'};
    WireReader r(in);
    EXPECT_EQ(r.readString(), "");
    EXPECT_TRUE(r.error());
}

} // namespace
