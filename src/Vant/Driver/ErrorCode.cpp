#include "Vant/Driver/ErrorCode.h"

namespace Vant {
namespace Driver {

namespace {
// Indexed by errc.
const char* const texts[] = {"Success", "Received line longer than buffer", "Board lost"};
}  // namespace

const TextErrorCategory driver_error_category("esocket_error", texts);

}  // namespace Driver
}  // namespace Vant
