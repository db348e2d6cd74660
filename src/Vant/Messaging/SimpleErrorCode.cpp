#include "Vant/Messaging/SimpleErrorCode.h"

namespace Vant {
namespace Messaging {

namespace {
// Indexed by SimpleError.
const char* const texts[] = {
    "Success",
    "Length sent invalid (too long)",
    "Length received invalid (too long)",
    "Connection not connected",
    "Unknown reason",
    "Connection timed out",
};
}  // namespace

const TextErrorCategory ssocket_error_category("esocket_error", texts);

}  // namespace Messaging
}  // namespace Vant
