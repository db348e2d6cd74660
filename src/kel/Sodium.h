// kel::Sodium: stateless wrappers over the libsodium primitives the system uses
// (box with a precomputed shared key, message authentication, Curve25519 keys).
// Safe to call from any thread.
#pragma once

#include "kel/bytes.h"

namespace kel {

class Sodium {
public:
    static constexpr unsigned encryptHeaderLength = 40;  // nonce (24) + authenticator (16)
    static constexpr unsigned authenticatorLength = 32;

    // nonce (24 bytes) + Poly1305 authenticator (16) + ciphertext (plaintext length).
    static bytes encrypt(bytes sharedKey, bytes plaintext);
    // Throws std::runtime_error "decryption failed" on any text that does not
    // authenticate, including one too short to hold a nonce and authenticator.
    static bytes decrypt(bytes sharedKey, bytes ciphertext);
    static bytes authenticate(bytes sharedKey, bytes message);
    static bool verifyAuthentication(bytes sharedKey, bytes message, bytes auth);
    static bytes sharedKey(bytes publicKey, bytes privateKey);
    static bytes publicKey(bytes privateKey);
};

}  // namespace kel
