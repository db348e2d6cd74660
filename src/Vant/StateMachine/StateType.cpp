#include "Vant/StateMachine/StateType.h"

#include <cstdio>
#include <cstdlib>

namespace Vant {
namespace StateMachine {

kel::var StateTypes;

namespace {

kel::var item(const char* itemClass, const char* field, const std::string& value) {
    kel::var record = kel::var_map();
    record["class"] = itemClass;
    record[field] = value;
    return record;
}

}  // namespace

StateType::StateType(kel::var v) : kel::var(v) {}

StateType::StateType(const char* name) : kel::var(kel::var_map()) {
    (*this)["class"] = "StateType";
    (*this)["stateType"] = name;
    StateTypes[name] = *this;
}

// A builder that contradicts the record's mode is a mistake in the catalogue source;
// it stops the program in every build type, naming the condition and the operation.
void StateType::requireMode(const char* mode, const char* condition, const char* signature) {
    if (!has("mode")) (*this)["mode"] = mode;
    if ((*this)["mode"] == kel::var(mode)) return;
    std::fprintf(stderr, "src/Vant/StateMachine/StateType.h: %s: Assertion `%s' failed.\n", signature,
                 condition);
    std::abort();
}

StateType StateType::duration(double d) {
    requireMode("primary", "(*this)[\"mode\"] == \"primary\"", "StateType StateType::duration(double)");
    (*this)["duration"] = d;
    return *this;
}

StateType StateType::request() {
    requireMode("primary", "(*this)[\"mode\"] == \"primary\"", "StateType StateType::request()");
    (*this)["request"] = true;
    return *this;
}

StateType StateType::special() {
    requireMode("primary", "(*this)[\"mode\"] == \"primary\"", "StateType StateType::special()");
    (*this)["special"] = true;
    return *this;
}

StateType StateType::operator=(const char* command) {
    requireMode("primary", "(*this)[\"mode\"] == \"primary\"", "StateType StateType::operator=(const char*)");
    (*this)["gcode"] = command;
    return *this;
}

StateType StateType::atomic(bool a) {
    (*this)["atomic"] = a;
    return *this;
}

StateType StateType::taskRoot() {
    return *this;
}

StateType StateType::parallel() {
    if (!has("mode")) (*this)["mode"] = "composed";
    (*this)["parallel"] = true;
    return *this;
}

StateType StateType::operator=(std::initializer_list<kel::var> items) {
    requireMode("composed", "(*this)[\"mode\"] == \"composed\"",
                "StateType StateType::operator=(std::initializer_list<kel::var>)");
    (*this)["items"] = kel::var_array(items);
    return *this;
}

State::State(std::string stateType) : kel::var(item("StateItem", "stateType", stateType)) {}

Lock::Lock(std::string lockName) : kel::var(item("LockItem", "lockName", lockName)) {}

Unlock::Unlock(std::string lockName) : kel::var(item("UnlockItem", "lockName", lockName)) {}

Label::Label(std::string label) : kel::var(item("LabelItem", "label", label)) {}

If::If(std::string variableName) : kel::var(item("ConditionItem", "variableName", variableName)) {}

If::If(std::string variableName, kel::var value) : If(variableName) {
    (*this)["value"] = value;
}

If If::thenSkip(int n) {
    (*this)["then"] = n;
    return *this;
}

If If::elseSkip(int n) {
    (*this)["else"] = n;
    return *this;
}

If If::thenSkipToEnd() {
    return thenSkip(SkipToEnd);
}

If If::elseSkipToEnd() {
    return elseSkip(SkipToEnd);
}

If If::thenSkipTo(std::string label) {
    (*this)["label"] = true;
    (*this)["then"] = label;
    return *this;
}

Set::Set(std::string variableName, kel::var value)
    : kel::var(item("SetterItem", "variableName", variableName)) {
    (*this)["value"] = value;
}

WaitForThread::WaitForThread(std::string threadName)
    : kel::var(item("WaitForThreadItem", "threadName", threadName)) {}

}  // namespace StateMachine
}  // namespace Vant
