// Vant::StateMachine::StateInstance: the record of one started state of a task (its
// id, its state type and its progress) and the difference algebra on it. A plain
// value: whoever holds the queue the instance lives in serialises access to it.
#pragma once

#include <string>

#include "kel/var.h"

namespace Vant {
namespace StateMachine {

// {"id", "class": "StateInstance", "stateType", "progress"}. A difference carries
// "id" and only what changed. Progress is 0.0 at creation, 1.0 when done, -2.0 when
// the state failed; a sum never lowers it.
class StateInstance : public kel::var {
public:
    StateInstance();            // an empty map
    StateInstance(kel::var v);  // NOLINT: a handle on the given record
    explicit StateInstance(const std::string& stateType);
    explicit StateInstance(const char* stateType);

    // The "progress" of a record as a number: a Real, or an Integer (a user's program
    // may well answer a request with the integer 1), and 0.0 for anything else.
    static double progressOf(const kel::var& record);
    // Whether the record has a "progress" that reads as a number.
    static bool hasProgress(const kel::var& record);
    double progress() const { return progressOf(*this); }

    // this (newer) - older: "id", plus "progress" when it went up, plus "class" and
    // "stateType" when older lacks them.
    StateInstance operator-(const StateInstance& older) const;
    // this (older) + difference: keys of this first, then of the difference; the
    // larger progress of the two as a Real (the one present when only one has it).
    StateInstance operator+(const StateInstance& difference) const;

    // Whether (*this - older).hasDifference(), without building the difference.
    bool changedSince(const StateInstance& older) const;

    bool isDifference() const;   // no "stateType"
    bool hasDifference() const;  // a whole instance, or a difference with "progress"
    StateInstance cloneLight() const;

    // Sets "id", "class" and "stateType" of target to clones of first's values, or of
    // second's where first lacks them (clones, so the result never writes into them).
    static void copyIdentity(kel::var& target, const kel::var& first, const kel::var& second);
};

}  // namespace StateMachine
}  // namespace Vant
