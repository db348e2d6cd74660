// The keys of state-instance, task and queue records, each made once as a kel::var.
// var::has takes its key as a var, and building one for every test would cost an
// allocation per lookup in the inner loops of the queue algebra. Made on first use
// (thread-safe) and only read afterwards.
#pragma once

#include "kel/var.h"

namespace Vant {
namespace StateMachine {
namespace Keys {

inline const kel::var& id() {
    static const kel::var key("id");
    return key;
}
inline const kel::var& recordClass() {
    static const kel::var key("class");
    return key;
}
inline const kel::var& stateType() {
    static const kel::var key("stateType");
    return key;
}
inline const kel::var& progress() {
    static const kel::var key("progress");
    return key;
}
inline const kel::var& instances() {
    static const kel::var key("instances");
    return key;
}
inline const kel::var& data() {
    static const kel::var key("data");
    return key;
}
inline const kel::var& diff() {
    static const kel::var key("diff");
    return key;
}
inline const kel::var& tasks() {
    static const kel::var key("tasks");
    return key;
}
inline const kel::var& diffId() {
    static const kel::var key("diffId");
    return key;
}

}  // namespace Keys
}  // namespace StateMachine
}  // namespace Vant
