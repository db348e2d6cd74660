#include "Vant/Messaging/EncryptedServerErrorCode.h"

namespace Vant {
namespace Messaging {

const Messaging_error_category messaging_error_category;

const char* Messaging_error_category::name() const noexcept {
    return "esocket_error";
}

std::string Messaging_error_category::message(int code) const {
    return code == 0 ? "Success" : "Unknown error";
}

}  // namespace Messaging
}  // namespace Vant
