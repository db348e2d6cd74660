// The composed states of StateRunner: the interpreter of a state type's item list
// (sub-states, variable setters, locks, labels, conditions, threads and branches),
// run on the runner's own thread, polling while a sub-state runs or a lock is busy.
#include "Vant/Runtime/StateRunner.h"

#include <algorithm>
#include <iostream>
#include <map>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <vector>

#include "Vant/Log.h"
#include "Vant/Runtime/StateKeeper.h"

namespace Vant {
namespace Runtime {

namespace {

const std::string LogPrefix = "StateRunner::runAsComposed() ";
const std::string Ellipsis = "\u2026";

void log(const std::string& text) {
    logLine(LogPrefix + text);
}

std::string json(const kel::var& value) {
    return value.toJsonString();
}

std::string decimal(double value) {
    std::ostringstream text;
    text << value;
    return text.str();
}

}  // namespace

kel::var StateRunner::field(const kel::var& record, const char* key) {
    // Only the const lookups: catalogue records are read by every runner at once and
    // must never gain an entry.
    const kel::var& read = record;
    if (!read.isMap() || !read.has(key)) return kel::var();
    return read[key];
}

double StateRunner::number(const kel::var& value) {
    if (value.isReal()) return value.realValue();
    if (value.isInteger()) return static_cast<double>(value.integerValue());
    return 0.0;
}

StateRunner::StateType StateRunner::catalogueEntry(const std::string& name) {
    const kel::var& types = Vant::StateMachine::StateTypes;
    if (name.empty() || !types.isMap() || !types.has(name)) return StateType();
    return StateType(types[name]);
}

void StateRunner::guarded(const char* where, const std::function<void()>& work) {
    try {
        work();
    } catch (const std::exception& e) {
        failAfterException(where, e.what());
    } catch (...) {
        failAfterException(where, "unknown exception");
    }
}

bool StateRunner::reportGuarded(const char* where, const std::function<bool()>& report) {
    try {
        return report();
    } catch (const std::exception& e) {
        failAfterException(where, e.what());
    } catch (...) {
        failAfterException(where, "unknown exception");
    }
    return false;
}

void StateRunner::failAfterException(const char* where, const std::string& what) {
    logLine("StateRunner::" + std::string(where) + " [" + taskId + "/" + instanceId +
            "] exception : " + what);
    try {
        fail("RuntimeError");
        // The task's own state ends here, with whatever its list had locked still
        // held: release it, or every later task wanting those locks would wait forever.
        if (!stateTypeName.empty() && run->rootStateType() == stateTypeName) keeper->unlockAll(taskId);
    } catch (const std::exception& e) {
        logLine("StateRunner::" + std::string(where) + " cannot fail the state : " + e.what());
    }
}

void StateRunner::setProgress(double progress) {
    run->setProgress(instanceId, progress);
}

void StateRunner::fail(const std::string& failure) {
    // The failure's name goes first: a parent that sees -2.0 ends its wait and reads
    // "Interrupted" next, and would otherwise carry on with the list as if all went well.
    run->setVariable("Interrupted", failure);
    run->setProgress(instanceId, -2.0);
}

void StateRunner::runAsComposed(std::string branchName) {
    guarded("runAsComposed()", [&] { runComposed(branchName, true); });
}

void StateRunner::startBranch(const std::string& threadName, const std::string& branchName, bool completes) {
    std::shared_ptr<StateRunner> self = shared_from_this();
    keeper->startThread(taskId, threadName, [self, branchName, completes] {
        self->guarded("runAsComposed()", [&] { self->runComposed(branchName, completes); });
    });
}

// The list a branch runs: "Main" is the state type's "items"; any other branch is
// the list of that name in the state type's "branches" map. A branch the record
// does not have runs nothing (running "items" again would branch again, forever).
kel::var StateRunner::branchItems(const StateType& stateType, const std::string& branchName) {
    if (branchName == "Main") return field(stateType, "items");
    const kel::var list = field(field(stateType, "branches"), branchName.c_str());
    if (list.isUndefined()) {
        log("[" + field(stateType, "stateType").stringValue("") + "] no branch named " + branchName);
        return kel::var_array();
    }
    return list;
}

void StateRunner::runComposed(const std::string& branchName, bool completes) {
    const StateType stateType = getstateType();
    const std::string ownName = field(stateType, "stateType").stringValue("");
    log("[" + ownName + "] estimatedDuration = " + decimal(estimatedDuration()));

    const kel::var items = branchItems(stateType, branchName);
    if (!items.isArray()) throw std::runtime_error("the items of " + ownName + " are not a list");
    const unsigned count = items.size();
    ComposedList list{field(stateType, "parallel").booleanValue(false), completes, 0, 0.0,
                      std::vector<std::shared_ptr<StateRunner>>(count)};

    // Each item's handler says what comes next; the loop only carries that out.
    Next next = Next::item();
    for (unsigned i = 0; i < count; ++i) {
        if (keeper->stopping()) return;
        const kel::var item = items[i];
        if (!item.isMap())
            throw std::runtime_error("item " + std::to_string(i) + " of " + ownName + " is no record");
        const std::string itemClass = field(item, "class").stringValue("");

        // The sub-state before this item has passed (run or skipped): its estimate
        // counts as done.
        if (i > 0 && !list.parallel && field(items[i - 1], "class").stringValue("") == "StateItem") {
            list.elapsed +=
                estimatedDuration(catalogueEntry(field(items[i - 1], "stateType").stringValue("")));
            updateProgress(list.elapsed);
        }
        if (next.step == Next::Step::Skip && next.count > 0) {
            log("Skipping one item" + Ellipsis);
            --next.count;
            continue;
        }
        if (next.step == Next::Step::ToLabel &&
            (itemClass != "LabelItem" || field(item, "label").stringValue("") != next.label))
            continue;

        const ItemHandler handler = itemHandler(itemClass);
        list.index = i;
        next = handler ? (this->*handler)(item, list) : Next::item();
        if (next.step == Next::Step::Leave) return;
    }

    if (list.parallel && !waitForParallelSubStates(list.runners)) return;
    if (completes) setProgress(1.0);
}

StateRunner::ItemHandler StateRunner::itemHandler(const std::string& itemClass) {
    static const std::map<std::string, ItemHandler> handlers = {
        {"StateItem", &StateRunner::runStateItem},
        {"SetterItem", &StateRunner::runSetterItem},
        {"ThreadItem", &StateRunner::runThreadItem},
        {"WaitForThreadItem", &StateRunner::runWaitForThreadItem},
        {"LockItem", &StateRunner::runLockItem},
        {"UnlockItem", &StateRunner::runUnlockItem},
        {"BranchItem", &StateRunner::runBranchItem},
        {"ConditionItem", &StateRunner::runConditionItem},
    };
    const auto found = handlers.find(itemClass);
    return found == handlers.end() ? nullptr : found->second;
}

StateRunner::Next StateRunner::runStateItem(const kel::var& item, ComposedList& list) {
    std::shared_ptr<StateRunner> sub = runSubState(item, list.parallel, list.elapsed);
    if (list.parallel) list.runners[list.index] = std::move(sub);
    return Next::item();
}

StateRunner::Next StateRunner::runSetterItem(const kel::var& item, ComposedList&) {
    setFromItem(item);
    return Next::item();
}

StateRunner::Next StateRunner::runThreadItem(const kel::var& item, ComposedList&) {
    const std::string branch = field(item, "branchName").stringValue();
    const std::string threadName = field(item, "threadName").stringValue();
    log("Running branch " + branch + " on thread " + threadName);
    // The list that started the thread completes the state, not the thread.
    startBranch(threadName, branch, false);
    return Next::item();
}

StateRunner::Next StateRunner::runWaitForThreadItem(const kel::var& item, ComposedList&) {
    const std::string threadName = field(item, "threadName").stringValue();
    log("Waiting for thread " + threadName);
    keeper->waitForThread(taskId, threadName);
    return Next::item();
}

StateRunner::Next StateRunner::runLockItem(const kel::var& item, ComposedList&) {
    return takeLock(field(item, "lockName").stringValue()) ? Next::item() : Next::leave();
}

StateRunner::Next StateRunner::runUnlockItem(const kel::var& item, ComposedList&) {
    const std::string lockName = field(item, "lockName").stringValue();
    log("Unlocking " + lockName);
    keeper->unlock(taskId, lockName);
    log("//Unlocking " + lockName);
    return Next::item();
}

// The branch takes the list's place on a thread of its own; this list ends here.
StateRunner::Next StateRunner::runBranchItem(const kel::var& item, ComposedList& list) {
    const std::string branch = field(item, "branch").stringValue();
    log("Branching to " + branch);
    startBranch(kel::var::randomHex(4).stringValue(), branch, list.completes);
    return Next::leave();
}

// The outcome's value says what comes next: nothing (the next item), a number of
// items to pass over, a label to go on from (a condition marked "label"), or a
// branch to take the list's place.
StateRunner::Next StateRunner::runConditionItem(const kel::var& item, ComposedList& list) {
    const kel::var outcome = evaluateCondition(item);
    if (outcome.isUndefined()) return Next::item();
    if (outcome.isInteger()) {
        return Next::skip(outcome.integerValue() > 0 ? static_cast<unsigned long>(outcome.integerValue())
                                                     : 0);
    }
    if (field(item, "label").booleanValue(false)) {
        // An empty label goes on with the next item.
        const std::string label = outcome.stringValue("");
        return label.empty() ? Next::item() : Next::toLabel(label);
    }
    startBranch(kel::var::randomHex(4).stringValue(), outcome.stringValue(""), list.completes);
    return Next::leave();
}

std::shared_ptr<StateRunner> StateRunner::runSubState(const kel::var& item, bool parallel,
                                                      double elapsedDuration) {
    const std::string name = field(item, "stateType").stringValue();
    const StateType entry = catalogueEntry(name);
    const std::string mode = field(entry, "mode").stringValue("");
    // A sub-state that could not start would be waited for forever.
    if (mode != "primary" && mode != "composed") throw std::runtime_error("Missing state type " + name);
    const bool subatomic = field(entry, "atomic").booleanValue(atomic);
    const std::string subInstanceId = run->makeInstance(name);
    if (subInstanceId.empty()) throw std::runtime_error("the task has gone");
    const std::shared_ptr<StateRunner> sub = keeper->makeRunner(taskId, subInstanceId, subatomic);
    const std::string prefix = "[" + subInstanceId + "] [atomic=" + (subatomic ? "1" : "0") + "] " + name;
    if (sub->interrupted()) {
        log(prefix + "      [[[Interrupted before launch]]]");
        return nullptr;
    }
    log(prefix + "      [[[Starting]]]");
    sub->start();
    if (parallel) return sub;
    while (!sub->ended()) {
        if (keeper->stopping()) return sub;
        const double p = std::max(0.0, std::min(1.0, progressOf(subInstanceId)));
        updateProgress(elapsedDuration + p * sub->estimatedDuration());
        std::this_thread::sleep_for(keeper->pollInterval);
    }
    if (sub->interrupted()) log(prefix + "      [[[Interrupted]]]");
    return sub;
}

void StateRunner::setFromItem(const kel::var& item) {
    const std::string variableName = field(item, "variableName").stringValue();
    const kel::var itemValue = field(item, "value");
    log("Setting variable " + variableName + " = " + json(itemValue));
    // A string that names an existing variable stands for that variable's value.
    kel::var value = itemValue.clone();
    if (itemValue.isString() && keeper->hasVariable(taskId, itemValue.stringValue())) {
        value = keeper->getVariable(taskId, itemValue.stringValue());
    }
    keeper->setVariable(taskId, variableName, value);
    if (variableName == "Global:LightingMode" && itemValue.isString()) {
        Vant::Driver::Lighting::byte code;
        if (Vant::Driver::Lighting::Mode::fromName(itemValue.stringValue(), code)) {
            keeper->lighting.sendCodeByte(code, nullptr);
        }
    }
}

bool StateRunner::takeLock(const std::string& lockName) {
    log("Locking " + lockName);
    std::string outcome = " [Locked]";
    while (!keeper->tryLocking(taskId, lockName)) {
        if (interrupted()) {
            outcome = "      [[[Interrupted]]]";
            break;
        }
        if (keeper->stopping()) return false;
        std::this_thread::sleep_for(keeper->pollInterval);
    }
    log("Locking " + lockName + outcome);
    return true;
}

kel::var StateRunner::evaluateCondition(const kel::var& item) {
    const std::string variableName = field(item, "variableName").stringValue();
    kel::var value = field(item, "value");
    log("Condition : " + variableName + " == " + json(value));
    const kel::var variableValue = keeper->getVariable(taskId, variableName);
    log(Ellipsis + " translating to : " + json(variableValue) + " == " + json(value));
    bool holds;
    if (value.isUndefined()) {
        log(Ellipsis + " translating to : " + json(variableValue) + " == true");
        holds = variableValue.isBoolean() ? variableValue.booleanValue() : variableValue.isDefined();
    } else {
        if (value.isString() && keeper->hasVariable(taskId, value.stringValue())) {
            value = keeper->getVariable(taskId, value.stringValue());
        }
        log(Ellipsis + " translating to : " + json(variableValue) + " == " + json(value));
        holds = variableValue == value;
    }
    const kel::var next = field(item, holds ? "then" : "else");
    log(Ellipsis + " executing " + (holds ? "[then]" : "[else]") + " : " + json(next));
    return next;
}

bool StateRunner::waitForParallelSubStates(const std::vector<std::shared_ptr<StateRunner>>& runners) {
    for (;;) {
        if (interrupted()) return true;
        if (keeper->stopping()) return false;
        double progress = 1.0;
        bool allEnded = true;
        for (const std::shared_ptr<StateRunner>& sub : runners) {
            if (!sub) continue;  // skipped, or interrupted before launch
            if (!sub->ended()) allEnded = false;
            progress = std::min(progress, std::max(0.0, progressOf(sub->instanceId)));
        }
        if (allEnded) return true;
        setProgress(std::min(progress, 0.99999));
        std::this_thread::sleep_for(keeper->pollInterval);
    }
}

}  // namespace Runtime
}  // namespace Vant
