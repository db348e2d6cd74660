#include "Vant/Messaging/EncryptedErrorCode.h"

namespace Vant {
namespace Messaging {

namespace {
// Indexed by EsocketError.
const char* const texts[] = {
    "Success",
    "Not connected",
    "Unexpected public key",
    "Decryption error",
    "Authentication error",
    "Incorrect padding length",
    "Block counter mismatch",
    "Connection timed out",
    "Buffer overflow",
};
}  // namespace

const TextErrorCategory esocket_error_category("esocket_error", texts);

}  // namespace Messaging
}  // namespace Vant
