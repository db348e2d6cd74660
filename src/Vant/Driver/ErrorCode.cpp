#include "Vant/Driver/ErrorCode.h"

namespace Vant {
namespace Driver {

Driver_error_category driver_error_category;

const char* Driver_error_category::name() const noexcept {
    return "esocket_error";
}

std::string Driver_error_category::message(int code) const {
    switch (code) {
        case success:
            return "Success";
        case readLineTooLong:
            return "Received line longer than buffer";
        case boardLost:
            return "Board lost";
        default:
            return "Unknown error";
    }
}

}  // namespace Driver
}  // namespace Vant
