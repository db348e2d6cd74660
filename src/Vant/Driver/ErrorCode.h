// Error codes of the motion-board driver and the lighting controller: the one global
// category that every error code they report belongs to (success is code 0 of it). Stateless;
// usable from any thread.
#pragma once

#include <string>

#include <boost/system/error_code.hpp>

namespace Vant {
namespace Driver {

// boardLost: the device went away (or was away) while the line or byte waited for it.
enum errc { success = 0, readLineTooLong = 1, boardLost = 2 };

class Driver_error_category : public boost::system::error_category {
public:
    virtual ~Driver_error_category() = default;
    const char* name() const noexcept override;
    std::string message(int code) const override;
};

extern Driver_error_category driver_error_category;

inline boost::system::error_code make_error_code(errc e) {
    return boost::system::error_code(static_cast<int>(e), driver_error_category);
}

}  // namespace Driver
}  // namespace Vant
