#include "Vant/Gate/GateErrorCode.h"

namespace Vant {
namespace Gate {

namespace {
// Indexed by GateError.
const char* const texts[] = {"Success", "A reliable message is pending unnotified"};
}  // namespace

const TextErrorCategory gate_error_category("esocket_error", texts);

}  // namespace Gate
}  // namespace Vant
