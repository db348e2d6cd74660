// Vant::Runtime::StateRunner: executes one state instance of a task on a thread of
// its own ("_MainThread" of the task, started through the keeper): a composed state
// through the item interpreter, a primary state through its G-code, driver command,
// pause, request or special job. Progress and failure go to the task queue through
// the task's record (TaskRun), which keeps them once the task is deleted. Held by
// shared pointers: its thread, a parent waiting for it and its jobs' callbacks keep
// it alive, so a late callback always finds it.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <boost/optional.hpp>

#include "Vant/StateMachine/StateType.h"

namespace Vant {
namespace Runtime {

class StateKeeper;
class TaskRun;

class StateRunner : public std::enable_shared_from_this<StateRunner> {
public:
    typedef Vant::StateMachine::StateType StateType;

    // Made by the keeper (makeRunner) for an instance of the task of `run`.
    StateRunner(StateKeeper* keeper, std::shared_ptr<TaskRun> run, std::string instanceId, bool atomic);
    StateRunner(const StateRunner&) = delete;
    StateRunner& operator=(const StateRunner&) = delete;
    virtual ~StateRunner();

    // The catalogue entry named by the instance's "stateType" (an undefined value when
    // there is none).
    Vant::StateMachine::StateType getstateType();
    // Starts the state on the task's "_MainThread".
    void start();

    // Interrupted when the task has the variable "Interrupted" or was deleted, unless
    // the state is parallel or the runner atomic.
    bool interrupted();
    bool completed();  // progress exactly 1.0
    bool failed();     // progress below 0 (-2.0): the state gave up
    // Completed, failed, or (for a primary state) interrupted: nothing more will
    // happen to the instance. An interrupted composed state ends with its list. A
    // request of a deleted task has ended too: nobody can answer it any more.
    bool ended();
    // Estimated duration in seconds, computed once.
    double estimatedDuration();
    static double estimatedDuration(Vant::StateMachine::StateType st);
    // Reports elapsed / estimate, kept below 1.0: only completion reports 1.0.
    void updateProgress(double elapsed);

    // Interprets the item list of the branch ("Main": the state type's "items"); a
    // failure inside (a malformed record, a variable of an unexpected kind) fails
    // the state instead of leaving the thread.
    void runAsComposed(std::string branchName);
    // Sends the state's command, pauses, waits for an answer, or runs its special
    // job; failures as above.
    void runAsPrimary();

    const std::string& getTaskId() const { return taskId; }
    const std::string& getInstanceId() const { return instanceId; }
    bool isAtomic() const { return atomic; }
    // The interruption a helper program's time-out gives its state.
    static const char* const TimedOutSlicing;
    static const char* const TimedOutWifi;

private:
    // Catalogue records are shared by every runner: read them only through field().
    static kel::var field(const kel::var& record, const char* key);
    static double number(const kel::var& value);
    static StateType catalogueEntry(const std::string& name);

    // Runs `work`; an exception is logged and fails the state (-2.0, "Interrupted"
    // set to "RuntimeError"). The second form guards a job's progress callback, which
    // then answers false.
    void guarded(const char* where, const std::function<void()>& work);
    bool reportGuarded(const char* where, const std::function<bool()>& report);
    void failAfterException(const char* where, const std::string& what);
    void setProgress(double progress);
    double progressOf(const std::string& instanceId);
    // Progress -2.0, then the task variable "Interrupted" = failure.
    void fail(const std::string& failure);

    // Composed states (StateRunnerComposed.cpp). Only a list that completes the
    // state (the main one, or a branch that took its place) reports 1.0 at its end.
    void runComposed(const std::string& branchName, bool completes);
    void startBranch(const std::string& threadName, const std::string& branchName, bool completes);
    static kel::var branchItems(const StateType& stateType, const std::string& branchName);

    // What the item loop does after an item: go on with the next one, pass over the
    // next `count` items, pass over every item up to the label item `label`, or leave
    // the list (without reporting its end).
    struct Next {
        enum class Step { NextItem, Skip, ToLabel, Leave };
        Step step = Step::NextItem;
        unsigned long count = 0;  // Skip
        std::string label;        // ToLabel
        static Next item() { return Next(); }
        static Next skip(unsigned long count) { return Next{Step::Skip, count, std::string()}; }
        static Next toLabel(std::string label) { return Next{Step::ToLabel, 0, std::move(label)}; }
        static Next leave() { return Next{Step::Leave, 0, std::string()}; }
    };
    // The list being interpreted, as its item handlers see it.
    struct ComposedList {
        bool parallel;
        bool completes;  // the list reports the state's end (1.0) at its end
        unsigned index;  // the item being handled
        double elapsed;  // the estimates of the sub-states passed so far
        // A parallel state's sub-states, held for its final wait.
        std::vector<std::shared_ptr<StateRunner>> runners;
    };
    // One handler per item class; an unknown class (and a label) does nothing.
    typedef Next (StateRunner::*ItemHandler)(const kel::var& item, ComposedList& list);
    static ItemHandler itemHandler(const std::string& itemClass);
    Next runStateItem(const kel::var& item, ComposedList& list);
    Next runSetterItem(const kel::var& item, ComposedList& list);
    Next runThreadItem(const kel::var& item, ComposedList& list);
    Next runWaitForThreadItem(const kel::var& item, ComposedList& list);
    Next runLockItem(const kel::var& item, ComposedList& list);
    Next runUnlockItem(const kel::var& item, ComposedList& list);
    Next runBranchItem(const kel::var& item, ComposedList& list);
    Next runConditionItem(const kel::var& item, ComposedList& list);

    std::shared_ptr<StateRunner> runSubState(const kel::var& item, bool parallel, double elapsedDuration);
    void setFromItem(const kel::var& item);
    // False when the keeper stops while waiting.
    bool takeLock(const std::string& lockName);
    // What the condition's outcome says to do next ("then" or "else").
    kel::var evaluateCondition(const kel::var& item);
    bool waitForParallelSubStates(const std::vector<std::shared_ptr<StateRunner>>& runners);
    bool isComposed();
    // A primary state without a command or a special job: it waits for a user's answer.
    bool isRequest();

    // Primary states (StateRunnerPrimary.cpp).
    void runPrimary();
    void runGcode(const std::string& gcode);
    void pause(double duration);
    void runSpecial(const std::string& name);
    struct FileJob {
        std::string name;      // the state, for the log
        std::string problem;   // the log line of a failure the job reports
        std::string failure;   // the value of "Interrupted" when it fails
        std::string tempPath;  // its output, until the cache takes it
        std::string timedOut;  // the value of "Interrupted" when its program timed out
    };
    boost::optional<std::string> cachedFile(const std::string& idVariable, const std::string& missing,
                                            const std::string& failure);
    bool reportFileJob(const FileJob& job, double progress, const std::function<bool()>& finish);
    void downloadModel();
    void sliceModel();
    void layerModel();
    void connectWifi();
    void fetchWifiList();
    // Runs the Wi-Fi script, handing its output lines to `take` until it answers true,
    // and waits for the script's end. Past the keeper's time-out (or when the keeper
    // stops) the script's process group is ended. Fails the state when the script did
    // not start, answered nothing, or ran out of time without answering.
    void runWifiScript(const std::string& tag, const std::vector<std::string>& argv,
                       const std::string& noAnswer, const std::function<bool(const std::string&)>& take);

    StateKeeper* keeper;
    const std::shared_ptr<TaskRun> run;
    const std::string taskId;
    const std::string instanceId;
    const bool atomic;
    // Read once when made: an instance never changes its type, and a deleted task's
    // queue no longer knows it.
    const std::string stateTypeName;
    // Several threads of a task read it at once (branches, the parent's wait loop).
    std::atomic<double> _estimatedDuration;
};

// `s` with a backslash before every backslash and double quote: the command line of
// the Wi-Fi script as a shell would read it, for the log.
std::string escape(const std::string& s);

}  // namespace Runtime
}  // namespace Vant
