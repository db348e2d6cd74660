// Error codes of the motion-board driver and the lighting controller: the one global
// category that every error code they report belongs to (success is code 0 of it). Stateless;
// usable from any thread.
#pragma once

#include "Vant/ErrorCategory.h"

#include <boost/system/error_code.hpp>

namespace Vant {
namespace Driver {

// boardLost: the device went away (or was away) while the line or byte waited for it.
enum errc { success = 0, readLineTooLong = 1, boardLost = 2 };

extern const TextErrorCategory driver_error_category;

inline boost::system::error_code make_error_code(errc e) {
    return driver_error_category.code(e);
}

}  // namespace Driver
}  // namespace Vant
