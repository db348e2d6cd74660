#include "Vant/Messaging/EncryptedServerErrorCode.h"

namespace Vant {
namespace Messaging {

namespace {
const char* const texts[] = {"Success"};
}  // namespace

const TextErrorCategory messaging_error_category("esocket_error", texts);

}  // namespace Messaging
}  // namespace Vant
