// Vant::Ferrow::StateRunner: executes one state instance of a task on a thread of
// its own ("_MainThread" of the task, started through the keeper): a composed state
// through the item interpreter, a primary state through its G-code, driver command,
// pause, request or special job. Progress and failure go to the task queue.
#pragma once

#include <atomic>
#include <string>

#include "Vant/StateMachine/StateType.h"

namespace Vant {
namespace Ferrow {

class StateKeeper;

class StateRunner {
public:
    StateRunner();
    StateRunner(StateKeeper* keeper, std::string taskId, std::string instanceId, bool atomic);
    StateRunner(const StateRunner&) = delete;
    StateRunner& operator=(const StateRunner&) = delete;
    virtual ~StateRunner();

    // The catalogue entry named by the instance's "stateType" (an undefined value when
    // there is none).
    Vant::StateMachine::StateType getstateType();
    // Starts the state on the task's "_MainThread".
    void start();

    // Interrupted when the task has the variable "Interrupted", unless the state is
    // parallel or the runner atomic.
    bool interrupted();
    bool completed();  // progress exactly 1.0
    bool ended();
    // Estimated duration in seconds, computed once.
    double estimatedDuration();
    static double estimatedDuration(Vant::StateMachine::StateType st);
    // Reports elapsed / estimate, kept below 1.0: only completion reports 1.0.
    void updateProgress(double elapsed);

    void runAsComposed(std::string branchName);
    void runAsPrimary();

    const std::string& getTaskId() const { return taskId; }
    const std::string& getInstanceId() const { return instanceId; }
    bool isAtomic() const { return atomic; }

private:
    StateKeeper* keeper;
    std::string taskId;
    std::string instanceId;
    bool atomic;
    // Several threads of a task read it at once (branches, the parent's wait loop).
    std::atomic<double> _estimatedDuration;
};

}  // namespace Ferrow
}  // namespace Vant
