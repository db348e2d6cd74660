// Error category of the encrypted server (EncryptedServer): it only ever reports
// success with it (code 0); accept failures carry the system's own codes.
#pragma once

#include <boost/system/error_code.hpp>

#include <string>

namespace Vant {
namespace Messaging {

class Messaging_error_category : public boost::system::error_category {
public:
    const char* name() const noexcept override;
    std::string message(int code) const override;
};

extern const Messaging_error_category messaging_error_category;

}  // namespace Messaging
}  // namespace Vant
