// The wire's integer encoding, by bytes alone.
#include "proto/codec.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>

namespace gavo::codec {
namespace {

std::string put16_bytes(int value) {
    unsigned char b[2];
    put16(b, value);
    return std::string(reinterpret_cast<char*>(b), 2);
}

std::string put32_bytes(int value) {
    unsigned char b[4];
    put32(b, value);
    return std::string(reinterpret_cast<char*>(b), 4);
}

TEST(CodecTest, ShortIsReadUnsignedSoNoValueLooksLikeACode) {
    const unsigned char ffff[] = {0xFF, 0xFF}, small[] = {0x01, 0x02}, high[] = {0xFF, 0xCE};
    EXPECT_EQ(get16(ffff), 65535);
    EXPECT_EQ(get16(small), 0x0102);
    EXPECT_EQ(get16(high), 65486);  // -50 as 16 bits stays positive
}

TEST(CodecTest, LongIsReadSignedMostSignificantFirst) {
    const unsigned char minus1[] = {0xFF, 0xFF, 0xFF, 0xFF}, v256[] = {0x00, 0x00, 0x01, 0x00},
                        min[] = {0x80, 0x00, 0x00, 0x00}, order[] = {0x01, 0x02, 0x03, 0x04};
    EXPECT_EQ(get32(minus1), -1);
    EXPECT_EQ(get32(v256), 256);
    EXPECT_EQ(get32(min), INT_MIN);
    EXPECT_EQ(get32(order), 0x01020304);
}

TEST(CodecTest, PutShortKeepsOnlyTheLow16Bits) {
    EXPECT_EQ(put16_bytes(-1), "\xFF\xFF");
    EXPECT_EQ(put16_bytes(0x12345), "\x23\x45");
    EXPECT_EQ(put16_bytes(0x0102), std::string("\x01\x02"));
    EXPECT_EQ(put16_bytes(0), std::string(2, '\0'));
}

TEST(CodecTest, PutLongIsMostSignificantFirstAndRoundTrips) {
    EXPECT_EQ(put32_bytes(0x01020304), "\x01\x02\x03\x04");
    EXPECT_EQ(put32_bytes(-2), "\xFF\xFF\xFF\xFE");
    for (int v : {0, 1, -1, 256, INT_MIN, INT_MAX, -100}) {
        unsigned char b[4];
        put32(b, v);
        EXPECT_EQ(get32(b), v);
    }
}

}  // namespace
}  // namespace gavo::codec
