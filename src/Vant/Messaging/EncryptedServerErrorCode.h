// Error category of the encrypted server (EncryptedServer): it only ever reports
// success with it (code 0); accept failures carry the system's own codes.
#pragma once

#include "Vant/ErrorCategory.h"

namespace Vant {
namespace Messaging {

extern const TextErrorCategory messaging_error_category;

}  // namespace Messaging
}  // namespace Vant
