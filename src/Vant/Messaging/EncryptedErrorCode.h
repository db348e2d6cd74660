// Error codes of the encrypted channel (EncryptedSocket): one category with one
// global instance; success is code 0 of it. Stateless, usable from any thread.
#pragma once

#include <boost/system/error_code.hpp>

#include <string>

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

class Esocket_error_category : public boost::system::error_category {
public:
    const char* name() const noexcept override;
    std::string message(int code) const override;
};

extern const Esocket_error_category esocket_error_category;

boost::system::error_code make_error_code(EsocketError e);

}  // namespace Messaging
}  // namespace Vant
