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

TEST(Sodium, EncryptionRoundTripsWithASymmetricKeyAndFreshNonces) {
    KeyPair a, b;
    const bytes key = Sodium::sharedKey(a.pub, b.priv);
    EXPECT_NE(key, Sodium::sharedKey(a.pub, a.priv));
    const bytes message("the printer is ready");
    const bytes first = Sodium::encrypt(key, message);
    const bytes second = Sodium::encrypt(key, message);
    ASSERT_EQ(message.length() + Sodium::encryptHeaderLength, first.length());
    EXPECT_NE(first.subBytes(0, 24), second.subBytes(0, 24));
    EXPECT_NE(first.subBytes(24), second.subBytes(24));
    EXPECT_EQ(message, Sodium::decrypt(Sodium::sharedKey(b.pub, a.priv), first));
    EXPECT_EQ(message, Sodium::decrypt(key, second));
    EXPECT_EQ(0u, Sodium::decrypt(key, Sodium::encrypt(key, bytes())).length());  // the shortest text
}

TEST(Sodium, RefusesEveryFlippedBitWrongKeyAndShortText) {
    KeyPair a, b, c;
    const bytes key = Sodium::sharedKey(a.pub, b.priv);
    const bytes cipher = Sodium::encrypt(key, bytes("abc"));
    for (unsigned i = 0; i < cipher.length(); ++i) {
        for (int bit = 0; bit < 8; ++bit) {
            bytes altered = cipher.clone();
            altered[i] ^= static_cast<kel::byte>(1 << bit);
            EXPECT_THROW(Sodium::decrypt(key, altered), std::runtime_error) << "byte " << i << " bit " << bit;
        }
    }
    EXPECT_THROW(Sodium::decrypt(Sodium::sharedKey(c.pub, b.priv), cipher), std::runtime_error);
    for (unsigned n : {0u, 1u, 24u, 39u}) {
        EXPECT_THROW(Sodium::decrypt(key, cipher.subBytes(0, n)), std::runtime_error) << n;
    }
}

TEST(Sodium, AuthenticatorsVerifyOnlyTheirMessage) {
    KeyPair a, b;
    const bytes key = Sodium::sharedKey(a.pub, b.priv);
    const bytes auth = Sodium::authenticate(key, bytes("hello"));
    EXPECT_TRUE(Sodium::verifyAuthentication(key, bytes("hello"), auth));
    EXPECT_FALSE(Sodium::verifyAuthentication(key, bytes("hellp"), auth));
    EXPECT_FALSE(Sodium::verifyAuthentication(Sodium::sharedKey(a.pub, a.priv), bytes("hello"), auth));
    EXPECT_FALSE(Sodium::verifyAuthentication(key, bytes("hello"), auth.subBytes(0, 16)));
}
