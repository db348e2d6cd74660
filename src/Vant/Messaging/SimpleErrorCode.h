// Error codes of the framed TCP connection (SimpleSocket, SimpleContainer): the
// category every connection failure of this layer is reported in. Stateless and
// safe to use from any thread.
#pragma once

#include "Vant/ErrorCategory.h"

#include <boost/system/error_code.hpp>

namespace Vant {
namespace Messaging {

enum SimpleError {
    SimpleSuccess = 0,
    LengthSentInvalid = 1,      // "Length sent invalid (too long)"
    LengthReceivedInvalid = 2,  // "Length received invalid (too long)"
    NotConnected = 3,           // "Connection not connected"
    UnknownReason = 4,          // "Unknown reason"
    TimedOut = 5,               // "Connection timed out"
};

extern const TextErrorCategory ssocket_error_category;

// A code of this category; makeSimpleError(SimpleSuccess) is the success that
// callbacks of this layer receive.
inline boost::system::error_code makeSimpleError(SimpleError code) {
    return ssocket_error_category.code(code);
}

}  // namespace Messaging
}  // namespace Vant
