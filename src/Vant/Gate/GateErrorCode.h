// Error codes of the message gate: the category in which a gate reports the outcome
// of a reliable message. Stateless and safe to use from any thread.
#pragma once

#include <string>

#include <boost/system/error_code.hpp>

namespace Vant {
namespace Gate {

enum GateError {
    GateSuccess = 0,
    ReliablePending = 1,  // "A reliable message is pending unnotified"
};

class Gate_error_category : public boost::system::error_category {
public:
    const char* name() const noexcept override;
    std::string message(int code) const override;
};

extern const Gate_error_category gate_error_category;

boost::system::error_code makeGateError(GateError code);

}  // namespace Gate
}  // namespace Vant
