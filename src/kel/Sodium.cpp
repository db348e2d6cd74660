#include "kel/Sodium.h"

#include <sodium.h>

#include <stdexcept>

namespace kel {

namespace {
// libsodium must be initialised once before its first use; a static object does it
// before main() runs, so no thread ever races on it.
struct SodiumInit {
    SodiumInit() {
        if (sodium_init() < 0) throw std::runtime_error("sodium_init failed");
    }
} sodiumInit;
}  // namespace

bytes Sodium::encrypt(bytes sharedKey, bytes plaintext) {
    bytes sodiumText = ZeroBytes + plaintext;
    bytes nonce = bytes(crypto_box_NONCEBYTES).randomize();
    crypto_box_afternm(sodiumText.begin(), sodiumText.begin(), sodiumText.length(), nonce.begin(),
                       sharedKey.begin());
    return nonce + sodiumText.subBytes(crypto_box_BOXZEROBYTES);
}

bytes Sodium::decrypt(bytes sharedKey, bytes ciphertext) {
    // A text too short for a nonce and an authenticator cannot authenticate; it is
    // refused like any other text that fails (reading past it would be a fault).
    if (ciphertext.length() < encryptHeaderLength) throw std::runtime_error("decryption failed");
    bytes nonce = ciphertext.subBytes(0, crypto_box_NONCEBYTES);
    bytes sodiumText = BoxZeroBytes + ciphertext.subBytes(crypto_box_NONCEBYTES);
    if (crypto_box_open_afternm(sodiumText.begin(), sodiumText.begin(), sodiumText.length(), nonce.begin(),
                                sharedKey.begin()) != 0) {
        throw std::runtime_error("decryption failed");
    }
    return sodiumText.subBytes(crypto_box_ZEROBYTES);
}

bytes Sodium::authenticate(bytes sharedKey, bytes message) {
    bytes auth(crypto_auth_BYTES);
    crypto_auth(auth.begin(), message.begin(), message.length(), sharedKey.begin());
    return auth;
}

bool Sodium::verifyAuthentication(bytes sharedKey, bytes message, bytes auth) {
    if (auth.length() != crypto_auth_BYTES) return false;
    return crypto_auth_verify(auth.begin(), message.begin(), message.length(), sharedKey.begin()) == 0;
}

bytes Sodium::sharedKey(bytes publicKey, bytes privateKey) {
    bytes key(crypto_box_BEFORENMBYTES);
    if (crypto_box_beforenm(key.begin(), publicKey.begin(), privateKey.begin()) != 0) {
        // A low-order public key gives an all-zero shared secret; libsodium refuses
        // it. The key is then left zero, which no honest peer can match.
        key.nullify();
    }
    return key;
}

bytes Sodium::publicKey(bytes privateKey) {
    bytes key(crypto_scalarmult_curve25519_BYTES);
    crypto_scalarmult_curve25519_base(key.begin(), privateKey.begin());
    return key;
}

}  // namespace kel
