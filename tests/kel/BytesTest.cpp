#include "kel/bytes.h"

#include <gtest/gtest.h>

#include <map>

using kel::bytes;

TEST(Bytes, HexAndIntegersAreBigEndianAndOddHexIsPadded) {
    EXPECT_EQ("0abc", bytes::fromHex("abc").toHex());
    EXPECT_EQ("deadbeef", bytes::fromHex("DEADBEEF").toHex());
    EXPECT_EQ("00", bytes::fromHex("??").toHex());  // characters that are not hex digits count as 0
    EXPECT_EQ("00000001", bytes::fromUint(1).toHex());
    EXPECT_EQ(0xdeadbeefu, bytes::fromUint(0xdeadbeef).readUint());
    EXPECT_EQ("1234", bytes::fromUshort(0x1234).toHex());
    EXPECT_EQ(0x1234, bytes::fromUshort(0x1234).readUshort());
    EXPECT_EQ("010203040000", bytes(6, 0).writeUint(0x01020304).toHex());
}

TEST(Bytes, SlicesAndCopiesShareTheBufferAndClonesDoNot) {
    bytes whole = bytes::fromHex("0102030405060708");
    bytes before = whole.clone();
    bytes middle = whole.subBytes(2, 3);
    EXPECT_EQ("030405", middle.toHex());
    EXPECT_EQ("060708", whole.subBytes(5).toHex());
    EXPECT_EQ("0405", middle.subBytes(1).toHex());
    middle.nullify();
    EXPECT_EQ("0102000000060708", whole.toHex());
    EXPECT_EQ("0102030405060708", before.toHex());
    bytes copy = whole;
    copy[0] = 0xff;
    EXPECT_EQ(0xff, whole[0]);
    EXPECT_EQ(0x07, whole.atEnd(1));
}

TEST(Bytes, WritesStayInsideTheViewAndCombiningMakesNewBuffers) {
    bytes target(4, 0xee);
    target.write(bytes::fromHex("0102030405"));  // longer source: only 4 bytes fit
    target.write(2, bytes::fromHex("aabbcc"));
    EXPECT_EQ("0102aabb", target.toHex());
    bytes outer(6, 0);
    outer.subBytes(1, 2).write(bytes::fromHex("ffffff"));
    EXPECT_EQ("00ffff000000", outer.toHex());

    bytes a = bytes::fromHex("0102");
    bytes sum = a + bytes::fromHex("0304");
    sum[0] = 9;
    EXPECT_EQ("09020304", sum.toHex());
    EXPECT_EQ(1, a[0]);
    EXPECT_EQ("fe0d", (a ^ bytes::fromHex("ff0f99")).toHex());
    EXPECT_EQ(std::string("a\0b", 3), std::string(bytes(std::string("a\0b", 3))));
    EXPECT_NE(bytes(32).randomize(), bytes(32).randomize());
}

TEST(Bytes, OrderingIsLexicographicUnsignedWithPrefixesFirst) {
    const bytes a = bytes::fromHex("01");
    const bytes ab = bytes::fromHex("0102");
    const bytes high = bytes::fromHex("ff");
    EXPECT_TRUE(bytes() < a);
    EXPECT_TRUE(a < ab);
    EXPECT_FALSE(ab < a);
    EXPECT_FALSE(ab < bytes::fromHex("0102"));
    EXPECT_TRUE(ab < high);
    EXPECT_FALSE(high < ab);
    EXPECT_TRUE(ab == bytes::fromHex("000102").subBytes(1));
    std::map<bytes, int> keyed{{ab, 1}};
    keyed[bytes::fromHex("0102")] = 2;
    EXPECT_EQ(1u, keyed.size());
}
