#include "Vant/Messaging/SimpleErrorCode.h"

namespace Vant {
namespace Messaging {

const Ssocket_error_category ssocket_error_category;

const char* Ssocket_error_category::name() const noexcept {
    return "esocket_error";
}

std::string Ssocket_error_category::message(int code) const {
    switch (code) {
        case SimpleSuccess:
            return "Success";
        case LengthSentInvalid:
            return "Length sent invalid (too long)";
        case LengthReceivedInvalid:
            return "Length received invalid (too long)";
        case NotConnected:
            return "Connection not connected";
        case UnknownReason:
            return "Unknown reason";
        case TimedOut:
            return "Connection timed out";
        default:
            return "Unknown error";
    }
}

boost::system::error_code makeSimpleError(SimpleError code) {
    return boost::system::error_code(code, ssocket_error_category);
}

}  // namespace Messaging
}  // namespace Vant
