#include "Vant/Gate/GateErrorCode.h"

namespace Vant {
namespace Gate {

const Gate_error_category gate_error_category;

const char* Gate_error_category::name() const noexcept {
    return "esocket_error";
}

std::string Gate_error_category::message(int code) const {
    switch (code) {
        case GateSuccess:
            return "Success";
        case ReliablePending:
            return "A reliable message is pending unnotified";
        default:
            return "Unknown error";
    }
}

boost::system::error_code makeGateError(GateError code) {
    return boost::system::error_code(code, gate_error_category);
}

}  // namespace Gate
}  // namespace Vant
