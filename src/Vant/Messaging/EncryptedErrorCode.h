// Error codes of the encrypted channel (EncryptedSocket): one category with one
// global instance; success is code 0 of it. Stateless, usable from any thread.
#pragma once

#include "Vant/ErrorCategory.h"

#include <boost/system/error_code.hpp>

namespace Vant {
namespace Messaging {

enum class EsocketError {
    Success = 0,
    NotConnected = 1,
    UnexpectedPublicKey = 2,
    DecryptionError = 3,
    AuthenticationError = 4,
    IncorrectPaddingLength = 5,
    BlockCounterMismatch = 6,
    ConnectionTimedOut = 7,
    BufferOverflow = 8,
};

extern const TextErrorCategory esocket_error_category;

inline boost::system::error_code make_error_code(EsocketError e) {
    return esocket_error_category.code(e);
}

}  // namespace Messaging
}  // namespace Vant
