// Vant::StateMachine::Task: one job of the printer (its root state type, the state
// instances started for it and its variables) and the difference algebra on it. A
// plain value: whoever holds the queue the task lives in serialises access to it.
#pragma once

#include <string>
#include <vector>

#include "Vant/StateMachine/StateInstance.h"
#include "kel/var.h"

namespace Vant {
namespace StateMachine {

// {"id", "class": "Task", "stateType", "instances": {id: instance}, "data": {name:
// value}}; a tombstone is {"id", "diff": "deleted"}. A difference has no "id" of its
// own and carries only what changed; removals of instances or variables, and
// progress that went down, do not travel.
class Task : public kel::var {
public:
    Task();            // an empty map
    Task(kel::var v);  // NOLINT: a handle on the given record
    explicit Task(const std::string& stateType);
    explicit Task(const char* stateType);

    StateInstance makeStateInstance(const std::string& stateType);
    // The stored instance, or a detached empty instance when the task has none of that id.
    StateInstance getInstance(const std::string& id) const;
    void addInstance(StateInstance instance);
    bool hasInstance(const std::string& id) const;
    std::vector<StateInstance> instances() const;  // in ascending order of ids

    // The value is shared with the caller, not copied.
    Task setVariable(const std::string& name, kel::var value);
    // The stored value, or a detached Undefined value when the variable is not set.
    kel::var getVariable(const std::string& name) const;
    bool hasVariable(const std::string& name) const;

    // this (newer) - older.
    Task operator-(const Task& older) const;
    // this (older) + difference; "diff" is not carried.
    Task operator+(const Task& difference) const;

    bool isDeletion() const;    // "diff" == "deleted"
    bool isDifference() const;  // has "diff", or has no "stateType"
    bool hasDifference() const;
    // Own maps of instances (deep copies) and variables (values shared with this task).
    Task cloneLight() const;
};

}  // namespace StateMachine
}  // namespace Vant
