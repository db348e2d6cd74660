#include "Vant/Runtime/StateRunner.h"

#include <iostream>
#include <set>

#include "Vant/Runtime/StateKeeper.h"

namespace Vant {
namespace Runtime {

using Vant::StateMachine::StateType;
using Vant::StateMachine::StateTypes;

const char* const StateRunner::TimedOutSlicing = "TimedOutSlicing";
const char* const StateRunner::TimedOutWifi = "TimedOutWifi";

StateRunner::StateRunner(StateKeeper* keeper, std::shared_ptr<TaskRun> run, std::string instanceId,
                         bool atomic)
    : keeper(keeper),
      run(std::move(run)),
      taskId(this->run->getTaskId()),
      instanceId(std::move(instanceId)),
      atomic(atomic),
      stateTypeName(this->run->instanceStateType(this->instanceId)),
      _estimatedDuration(-1.0) {}

StateRunner::~StateRunner() {}

StateType StateRunner::getstateType() {
    const kel::var& types = StateTypes;
    if (stateTypeName.empty() || !types.has(stateTypeName)) return StateType();
    return StateType(types[stateTypeName]);
}

void StateRunner::start() {
    const StateType st = getstateType();
    const kel::var& mode = st.isMap() && st.has("mode") ? st["mode"] : kel::var();
    // The thread holds the runner: it lives at least as long as its work.
    std::shared_ptr<StateRunner> self = shared_from_this();
    if (mode.isString() && mode.stringValue() == "composed") {
        keeper->startThread(taskId, "_MainThread", [self] { self->runAsComposed("Main"); });
    } else if (mode.isString() && mode.stringValue() == "primary") {
        keeper->startThread(taskId, "_MainThread", [self] { self->runAsPrimary(); });
    } else {
        std::cerr << "Missing state type " << st.toJsonString() << std::endl;
    }
}

bool StateRunner::interrupted() {
    const StateType st = getstateType();
    if (st.isMap() && st.has("parallel") && st["parallel"].booleanValue(false)) return false;
    if (atomic) return false;
    return run->deleted() || run->hasVariable("Interrupted");
}

bool StateRunner::completed() {
    return progressOf(instanceId) == 1.0;
}

bool StateRunner::failed() {
    return progressOf(instanceId) < 0;
}

double StateRunner::progressOf(const std::string& id) {
    return run->progress(id);
}

// A failed state has ended even when it is atomic or parallel (neither reports an
// interruption): whoever waits for it would wait forever otherwise. An interrupted
// composed state has not ended until its list is through: the list goes on after an
// interruption (skipping as its conditions say) and its atomic sub-states still run
// to their end, so whoever waits for it must not send the board anything before.
bool StateRunner::ended() {
    if (completed() || failed()) return true;
    if (run->deleted() && isRequest()) return true;
    return interrupted() && !isComposed();
}

bool StateRunner::isComposed() {
    const StateType st = getstateType();
    return st.isMap() && st.has("mode") && st["mode"].stringValue("") == "composed";
}

bool StateRunner::isRequest() {
    const StateType st = getstateType();
    return st.isMap() && st.has("mode") && st["mode"].stringValue("") == "primary" && !st.has("gcode") &&
           !st.has("special");
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
    setProgress(progress);
}

}  // namespace Runtime
}  // namespace Vant
