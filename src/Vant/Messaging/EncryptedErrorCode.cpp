#include "Vant/Messaging/EncryptedErrorCode.h"

namespace Vant {
namespace Messaging {

const Esocket_error_category esocket_error_category;

const char* Esocket_error_category::name() const noexcept {
    return "esocket_error";
}

std::string Esocket_error_category::message(int code) const {
    switch (static_cast<EsocketError>(code)) {
        case EsocketError::Success:
            return "Success";
        case EsocketError::NotConnected:
            return "Not connected";
        case EsocketError::UnexpectedPublicKey:
            return "Unexpected public key";
        case EsocketError::DecryptionError:
            return "Decryption error";
        case EsocketError::AuthenticationError:
            return "Authentication error";
        case EsocketError::IncorrectPaddingLength:
            return "Incorrect padding length";
        case EsocketError::BlockCounterMismatch:
            return "Block counter mismatch";
        case EsocketError::ConnectionTimedOut:
            return "Connection timed out";
        case EsocketError::BufferOverflow:
            return "Buffer overflow";
    }
    return "Unknown error";
}

boost::system::error_code make_error_code(EsocketError e) {
    return boost::system::error_code(static_cast<int>(e), esocket_error_category);
}

}  // namespace Messaging
}  // namespace Vant
