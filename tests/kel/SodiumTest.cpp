#include "kel/Sodium.h"

#include <gtest/gtest.h>

#include <stdexcept>

using kel::bytes;
using kel::Sodium;

namespace {
struct KeyPair {
    bytes priv = bytes(32).randomize();
    bytes pub = Sodium::publicKey(priv);
};
}  // namespace

TEST(Sodium, SharedKeyIsSymmetric) {
    KeyPair a, b;
    EXPECT_EQ(Sodium::sharedKey(a.pub, b.priv), Sodium::sharedKey(b.pub, a.priv));
    EXPECT_NE(Sodium::sharedKey(a.pub, b.priv), Sodium::sharedKey(a.pub, a.priv));
    EXPECT_EQ(Sodium::publicKey(a.priv), a.pub);
}

TEST(Sodium, EncryptionRoundTripsWithFreshNonces) {
    KeyPair a, b;
    bytes key = Sodium::sharedKey(a.pub, b.priv);
    bytes message("the printer is ready");
    bytes first = Sodium::encrypt(key, message);
    bytes second = Sodium::encrypt(key, message);
    ASSERT_EQ(first.length(), message.length() + Sodium::encryptHeaderLength);
    EXPECT_NE(first.subBytes(0, 24), second.subBytes(0, 24));
    EXPECT_NE(first.subBytes(24), second.subBytes(24));
    EXPECT_EQ(Sodium::decrypt(Sodium::sharedKey(b.pub, a.priv), first), message);
    EXPECT_EQ(Sodium::decrypt(key, second), message);

    bytes empty = Sodium::encrypt(key, bytes());
    EXPECT_EQ(empty.length(), 40u);
    EXPECT_EQ(Sodium::decrypt(key, empty).length(), 0u);
}

TEST(Sodium, RefusesEveryFlippedBitWrongKeyAndShortText) {
    KeyPair a, b, c;
    bytes key = Sodium::sharedKey(a.pub, b.priv);
    bytes cipher = Sodium::encrypt(key, bytes("abc"));
    for (unsigned i = 0; i < cipher.length(); ++i) {
        for (int bit = 0; bit < 8; ++bit) {
            bytes altered = cipher.clone();
            altered[i] ^= static_cast<kel::byte>(1 << bit);
            EXPECT_THROW(Sodium::decrypt(key, altered), std::runtime_error) << "byte " << i << " bit " << bit;
        }
    }
    EXPECT_THROW(Sodium::decrypt(Sodium::sharedKey(c.pub, b.priv), cipher), std::runtime_error);
    for (unsigned n : {0u, 1u, 24u, 39u}) {
        try {
            Sodium::decrypt(key, cipher.subBytes(0, n));
            ADD_FAILURE() << "a text of " << n << " bytes was accepted";
        } catch (const std::runtime_error& e) {
            EXPECT_STREQ(e.what(), "decryption failed");
        }
    }
}

TEST(Sodium, AuthenticatorsVerifyOnlyTheirMessage) {
    KeyPair a, b;
    bytes key = Sodium::sharedKey(a.pub, b.priv);
    bytes auth = Sodium::authenticate(key, bytes("hello"));
    EXPECT_EQ(auth.length(), Sodium::authenticatorLength);
    EXPECT_TRUE(Sodium::verifyAuthentication(key, bytes("hello"), auth));
    EXPECT_FALSE(Sodium::verifyAuthentication(key, bytes("hellp"), auth));
    EXPECT_FALSE(Sodium::verifyAuthentication(Sodium::sharedKey(a.pub, a.priv), bytes("hello"), auth));
    EXPECT_FALSE(Sodium::verifyAuthentication(key, bytes("hello"), auth.subBytes(0, 16)));
}
