#include "kel/bytes.h"

#include <gtest/gtest.h>

#include <map>
#include <sstream>

using kel::bytes;

TEST(Bytes, HexDecodingPadsOddTextAndAcceptsBothCases) {
    EXPECT_EQ(bytes::fromHex("abc"), bytes::fromHex("0abc"));
    bytes b = bytes::fromHex("abc");
    ASSERT_EQ(b.length(), 2u);
    EXPECT_EQ(b[0], 0x0a);
    EXPECT_EQ(b[1], 0xbc);
    EXPECT_EQ(bytes::fromHex("DEADBEEF"), bytes::fromHex("deadbeef"));
    EXPECT_EQ(bytes::fromHex("DEADBEEF").toHex(), "deadbeef");
    // Characters that are not hexadecimal digits count as 0, letters past f are not refused.
    EXPECT_EQ(bytes::fromHex("??").toHex(), "00");
    EXPECT_EQ(bytes::fromHex("").length(), 0u);
}

TEST(Bytes, IntegersAreBigEndian) {
    EXPECT_EQ(bytes().toHex(), "");
    EXPECT_EQ(bytes::fromUint(1).toHex(), "00000001");
    EXPECT_EQ(bytes::fromUint(0xdeadbeef).readUint(), 0xdeadbeefu);
    bytes s = bytes::fromUshort(0x1234);
    EXPECT_EQ(s[0], 0x12);
    EXPECT_EQ(s[1], 0x34);
    EXPECT_EQ(s.readUshort(), 0x1234);
    EXPECT_EQ(bytes(6, 0).writeUint(0x01020304).toHex(), "010203040000");
}

TEST(Bytes, SlicesShareTheBufferAndClonesDoNot) {
    bytes whole = bytes::fromHex("0102030405060708");
    bytes before = whole.clone();
    bytes middle = whole.subBytes(2, 3);
    EXPECT_EQ(middle.toHex(), "030405");
    EXPECT_EQ(whole.subBytes(5).toHex(), "060708");
    EXPECT_EQ(middle.subBytes(1).toHex(), "0405");

    middle.nullify();
    EXPECT_EQ(whole.toHex(), "0102000000060708");
    EXPECT_EQ(before.toHex(), "0102030405060708");

    bytes copy = whole;  // a copy is another handle on the same buffer
    copy[0] = 0xff;
    EXPECT_EQ(whole[0], 0xff);
    EXPECT_EQ(whole.last(), 0x08);
    EXPECT_EQ(whole.atEnd(0), 0x08);
    EXPECT_EQ(whole.atEnd(1), 0x07);
}

TEST(Bytes, WritesStayInsideTheView) {
    bytes target(4, 0xee);
    target.write(bytes::fromHex("0102030405"));  // longer source: only 4 bytes fit
    EXPECT_EQ(target.toHex(), "01020304");
    target.write(2, bytes::fromHex("aabbcc"));
    EXPECT_EQ(target.toHex(), "0102aabb");
    bytes outer(6, 0);
    outer.subBytes(1, 2).write(bytes::fromHex("ffffff"));
    EXPECT_EQ(outer.toHex(), "00ffff000000");
}

TEST(Bytes, CombiningMakesNewBuffers) {
    bytes a = bytes::fromHex("0102");
    bytes b = bytes::fromHex("0304");
    bytes sum = a + b;
    EXPECT_EQ(sum.toHex(), "01020304");
    sum[0] = 9;
    EXPECT_EQ(a[0], 1);
    EXPECT_EQ((a ^ bytes::fromHex("ff0f99")).toHex(), "fe0d");
    EXPECT_EQ((bytes() + b).toHex(), "0304");
    EXPECT_EQ(std::string(bytes(std::string("a\0b", 3))), std::string("a\0b", 3));
}

TEST(Bytes, OrderingIsLexicographicWithPrefixesFirst) {
    const bytes empty;
    const bytes a = bytes::fromHex("01");
    const bytes ab = bytes::fromHex("0102");
    const bytes high = bytes::fromHex("ff");
    EXPECT_TRUE(empty < a);
    EXPECT_TRUE(a < ab);
    EXPECT_FALSE(ab < a);
    EXPECT_FALSE(ab < bytes::fromHex("0102"));
    EXPECT_TRUE(ab < high);  // bytes compare as unsigned values
    EXPECT_FALSE(high < ab);
    EXPECT_TRUE(ab == bytes::fromHex("000102").subBytes(1));
    EXPECT_TRUE(a != ab);

    std::map<bytes, int> keyed;
    keyed[ab] = 1;
    keyed[bytes::fromHex("0102")] = 2;
    EXPECT_EQ(keyed.size(), 1u);
}

TEST(Bytes, StreamsAsHexAndRandomizes) {
    std::ostringstream out;
    out << bytes::fromHex("00ab");
    EXPECT_EQ(out.str(), "00ab");
    bytes r1 = bytes(32).randomize();
    bytes r2 = bytes(32).randomize();
    EXPECT_NE(r1, r2);
    EXPECT_EQ(kel::ZeroBytes, bytes(32, 0));
    EXPECT_EQ(kel::BoxZeroBytes, bytes(16, 0));
}
