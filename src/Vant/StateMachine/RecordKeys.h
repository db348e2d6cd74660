// The keys of state-instance, task and queue records, each made once as a kel::var.
// var::has takes its key as a var, and building one for every test would cost an
// allocation per lookup in the inner loops of the queue algebra. Made on first use
// (thread-safe) and only read afterwards.
#pragma once

#include "kel/var.h"

namespace Vant {
namespace StateMachine {

// Initialised with "=", not braces: a braced var is an array.
struct RecordKeys {
    const kel::var id = "id";
    const kel::var recordClass = "class";
    const kel::var stateType = "stateType";
    const kel::var progress = "progress";
    const kel::var instances = "instances";
    const kel::var data = "data";
    const kel::var diff = "diff";
    const kel::var tasks = "tasks";
    const kel::var diffId = "diffId";
};

inline const RecordKeys& recordKeys() {
    static const RecordKeys made;
    return made;
}

}  // namespace StateMachine
}  // namespace Vant
