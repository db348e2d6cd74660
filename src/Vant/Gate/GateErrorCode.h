// Error codes of the message gate: the category in which a gate reports the outcome
// of a reliable message. Stateless and safe to use from any thread.
#pragma once

#include "Vant/ErrorCategory.h"

#include <boost/system/error_code.hpp>

namespace Vant {
namespace Gate {

enum GateError {
    GateSuccess = 0,
    ReliablePending = 1,  // "A reliable message is pending unnotified"
};

extern const TextErrorCategory gate_error_category;

inline boost::system::error_code makeGateError(GateError code) {
    return gate_error_category.code(code);
}

}  // namespace Gate
}  // namespace Vant
