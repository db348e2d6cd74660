#include "Vant/Ferrow/StateRunner.h"

#include <iostream>
#include <set>

#include "Vant/Ferrow/StateKeeper.h"

namespace Vant {
namespace Ferrow {

using Vant::StateMachine::StateType;
using Vant::StateMachine::StateTypes;

StateRunner::StateRunner() : keeper(nullptr), atomic(false), _estimatedDuration(-1.0) {}

StateRunner::StateRunner(StateKeeper* keeper, std::string taskId, std::string instanceId, bool atomic)
    : keeper(keeper),
      taskId(std::move(taskId)),
      instanceId(std::move(instanceId)),
      atomic(atomic),
      _estimatedDuration(-1.0) {}

StateRunner::~StateRunner() {}

StateType StateRunner::getstateType() {
    const std::string name = keeper->sync.getInstanceStateType(taskId, instanceId);
    const kel::var& types = StateTypes;
    if (name.empty() || !types.has(name)) return StateType();
    return StateType(types[name]);
}

void StateRunner::start() {
    const StateType st = getstateType();
    const kel::var& mode = st.isMap() && st.has("mode") ? st["mode"] : kel::var();
    if (mode.isString() && mode.stringValue() == "composed") {
        keeper->startThread(taskId, "_MainThread", [this] { runAsComposed("Main"); });
    } else if (mode.isString() && mode.stringValue() == "primary") {
        keeper->startThread(taskId, "_MainThread", [this] { runAsPrimary(); });
    } else {
        std::cerr << "Missing state type " << st.toJsonString() << std::endl;
    }
}

bool StateRunner::interrupted() {
    const StateType st = getstateType();
    if (st.isMap() && st.has("parallel") && st["parallel"].booleanValue(false)) return false;
    if (atomic) return false;
    return keeper->sync.hasVariable(taskId, "Interrupted");
}

bool StateRunner::completed() {
    return keeper->sync.getInstanceProgress(taskId, instanceId) == 1.0;
}

bool StateRunner::failed() {
    return keeper->sync.getInstanceProgress(taskId, instanceId) < 0;
}

// A failed state has ended even when it is atomic or parallel (neither reports an
// interruption): whoever waits for it would wait forever otherwise. An interrupted
// composed state has not ended until its list is through: the list goes on after an
// interruption (skipping as its conditions say) and its atomic sub-states still run
// to their end, so whoever waits for it must not send the board anything before.
bool StateRunner::ended() {
    if (completed() || failed()) return true;
    return interrupted() && !isComposed();
}

bool StateRunner::isComposed() {
    const StateType st = getstateType();
    return st.isMap() && st.has("mode") && st["mode"].stringValue("") == "composed";
}

double StateRunner::estimatedDuration() {
    const double cached = _estimatedDuration;
    if (cached >= 0.0) return cached;
    const double computed = estimatedDuration(getstateType());
    _estimatedDuration = computed;
    return computed;
}

namespace {

double number(const kel::var& value) {
    if (value.isReal()) return value.realValue();
    if (value.isInteger()) return static_cast<double>(value.integerValue());
    return 0.0;
}

// The estimate of a composed type sums its sub-states; `visiting` holds the types
// whose sum is in progress, so that a catalogue file where two types contain each
// other ends the recursion (the inner occurrence adds nothing) instead of the stack.
double estimate(const StateType& st, std::set<std::string>& visiting) {
    if (!st.isMap() || !st.has("mode") || !st["mode"].isString()) return 0.0;
    const std::string mode = st["mode"].stringValue();
    if (mode == "primary") return st.has("duration") ? number(st["duration"]) : 0.0;
    if (mode != "composed" || !st.has("items") || !st["items"].isArray()) return 0.0;
    const std::string ownName = st.has("stateType") ? st["stateType"].stringValue("") : std::string();
    if (!visiting.insert(ownName).second) return 0.0;
    const kel::var& types = StateTypes;
    double total = 0.0;
    const kel::var& items = st["items"];
    for (unsigned i = 0; i < items.size(); ++i) {
        const kel::var& item = items[i];
        if (!item.isMap() || !item.has("class") || item["class"].stringValue("") != "StateItem") continue;
        const std::string name = item.has("stateType") ? item["stateType"].stringValue("") : std::string();
        if (name == ownName) {
            total *= 2;  // a type that names itself doubles what came before it
        } else if (types.has(name)) {
            total += estimate(StateType(types[name]), visiting);
        }
    }
    visiting.erase(ownName);
    return total;
}

}  // namespace

double StateRunner::estimatedDuration(StateType st) {
    std::set<std::string> visiting;
    return estimate(st, visiting);
}

void StateRunner::updateProgress(double elapsed) {
    double progress = 0.0;
    const double d = estimatedDuration();
    if (d > 0) progress = elapsed / d;
    if (progress >= 1.0) progress = 0.99999;
    keeper->sync.updateInstanceProgress(taskId, instanceId, progress);
}

}  // namespace Ferrow
}  // namespace Vant
