// Vant::StateMachine::StateType: the records of the state-type catalogue and the
// builders the built-in catalogue is written with. Every class here is a kel::var
// handle with no member of its own, so a builder call changes the one shared record.
// The catalogue StateTypes is filled once on the main thread at start-up, before any
// other thread exists, and only read afterwards (no lock).
#pragma once

#include <initializer_list>
#include <string>

#include "kel/var.h"

namespace Vant {
namespace StateMachine {

// Every state type by name: a map from name to state-type record.
extern kel::var StateTypes;

// A state-type record: {"class": "StateType", "stateType", "mode", ...}. A primary
// record carries "duration" and one of "gcode", "request", "special"; a composed
// record carries "items" and may be "parallel". Either may be "atomic".
class StateType : public kel::var {
public:
    StateType() = default;
    StateType(kel::var v);  // NOLINT: a handle on the given record
    // A new record registered in StateTypes under the name (replacing an earlier one).
    StateType(const char* name);  // NOLINT: the catalogue source writes StateType("Name")

    // Primary builders: set "mode" to "primary" when it is absent and stop the
    // program when the record is composed (an error of the catalogue source).
    StateType duration(double d);
    StateType request();
    StateType special();
    StateType operator=(const char* command);  // "gcode"

    StateType atomic(bool a);
    // Marks in the catalogue source the types meant to be started as tasks; the
    // record does not change.
    StateType taskRoot();
    // Sets "mode" to "composed" when absent and "parallel" to true, without a mode check.
    StateType parallel();
    // Composed builder: the items in order; stops the program when the record is primary.
    StateType operator=(std::initializer_list<kel::var> items);

private:
    void requireMode(const char* mode, const char* condition, const char* signature);
};

// Item records of a composed type's "items".
class State : public kel::var {
public:
    explicit State(std::string stateType);
};

class Lock : public kel::var {
public:
    explicit Lock(std::string lockName);
};

class Unlock : public kel::var {
public:
    explicit Unlock(std::string lockName);
};

class Label : public kel::var {
public:
    explicit Label(std::string label);
};

// A condition on a variable: without a value it tests whether the variable is set,
// with one it tests equality. "then"/"else" hold a skip count, SkipToEnd, or (with
// "label": true) the name of a label further down the same list.
class If : public kel::var {
public:
    static const int SkipToEnd = 2147483647;

    explicit If(std::string variableName);
    If(std::string variableName, kel::var value);

    If thenSkip(int n);
    If elseSkip(int n);
    If thenSkipToEnd();
    If elseSkipToEnd();
    If thenSkipTo(std::string label);
};

class Set : public kel::var {
public:
    Set(std::string variableName, kel::var value);
};

class WaitForThread : public kel::var {
public:
    explicit WaitForThread(std::string threadName);
};

}  // namespace StateMachine
}  // namespace Vant
