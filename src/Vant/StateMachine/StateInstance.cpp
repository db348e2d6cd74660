#include "Vant/StateMachine/StateInstance.h"

#include <algorithm>

#include "Vant/StateMachine/RecordKeys.h"

namespace Vant {
namespace StateMachine {

StateInstance::StateInstance() : kel::var(kel::var_map()) {}

StateInstance::StateInstance(kel::var v) : kel::var(v) {}

StateInstance::StateInstance(const std::string& stateType) : StateInstance() {
    (*this)["id"] = kel::var::randomHex(4);
    (*this)["class"] = "StateInstance";
    (*this)["stateType"] = stateType;
    (*this)["progress"] = 0.0;
}

StateInstance::StateInstance(const char* stateType) : StateInstance(std::string(stateType)) {}

bool StateInstance::hasProgress(const kel::var& record) {
    if (!record.isMap() || !record.has(recordKeys().progress)) return false;
    const kel::var& progress = record["progress"];
    return progress.isReal() || progress.isInteger();
}

double StateInstance::progressOf(const kel::var& record) {
    if (!hasProgress(record)) return 0.0;
    const kel::var& progress = record["progress"];
    return progress.isReal() ? progress.realValue() : static_cast<double>(progress.integerValue());
}

StateInstance StateInstance::operator-(const StateInstance& older) const {
    StateInstance d;
    // Scalars are cloned so that a later assignment to the difference's entry cannot
    // write through into this record.
    if (has(recordKeys().id)) d["id"] = (*this)["id"].clone();
    const double newer = progress();
    if (newer > older.progress()) d["progress"] = newer;
    for (const kel::var* key : {&recordKeys().recordClass, &recordKeys().stateType}) {
        if (has(*key) && !older.has(*key)) d[*key] = (*this)[*key].clone();
    }
    return d;
}

StateInstance StateInstance::operator+(const StateInstance& difference) const {
    StateInstance r;
    copyIdentity(r, *this, difference);
    // A side without a progress leaves the other's as it is: a failed instance (-2.0)
    // stays failed when a difference without "progress" is added to it.
    if (hasProgress(*this) && hasProgress(difference)) {
        r["progress"] = std::max(progress(), difference.progress());
    } else {
        r["progress"] = hasProgress(*this) ? progress() : difference.progress();
    }
    return r;
}

void StateInstance::copyIdentity(kel::var& target, const kel::var& first, const kel::var& second) {
    for (const kel::var* key : {&recordKeys().id, &recordKeys().recordClass, &recordKeys().stateType}) {
        if (first.has(*key)) {
            target[*key] = first[*key].clone();
        } else if (second.has(*key)) {
            target[*key] = second[*key].clone();
        }
    }
}

bool StateInstance::changedSince(const StateInstance& older) const {
    return progress() > older.progress() ||
           (has(recordKeys().stateType) && !older.has(recordKeys().stateType));
}

bool StateInstance::isDifference() const {
    return !has(recordKeys().stateType);
}

bool StateInstance::hasDifference() const {
    return !isDifference() || has(recordKeys().progress);
}

StateInstance StateInstance::cloneLight() const {
    return StateInstance(clone());
}

}  // namespace StateMachine
}  // namespace Vant
