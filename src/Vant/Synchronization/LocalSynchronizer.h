// Vant::Synchronization::LocalSynchronizer: owns one side's task queue and is the only
// way the rest of the process reads or changes it. Called from many threads (state
// runners, I/O pool threads serving sessions, every peer synchronizer's worker and
// the gate's pool threads); every operation but getEditableQueue holds queueMutex.
// Differences received from a peer are added through onDifference, which then
// announces what they changed, outside the lock.
#pragma once

#include <mutex>
#include <string>

#include "Vant/StateMachine/TaskQueue.h"
#include "kel/signal.h"
#include "kel/var.h"

namespace Vant {
namespace Synchronization {

class LocalSynchronizer {
public:
    typedef Vant::StateMachine::TaskQueue TaskQueue;
    typedef Vant::StateMachine::Task Task;
    typedef Vant::StateMachine::StateInstance StateInstance;

    // Input: a difference received from a peer (a peer synchronizer's pushDifference).
    kel::signal::pushee<TaskQueue> onDifference;
    // Answers a peer synchronizer's pullLocalQueue with getQueue().
    kel::signal::pullee<TaskQueue()> giveQueue;

    // Events of a received difference, pushed after queueMutex is released, in this
    // order: pushDifference with what it changed here, then per changed task
    // pushNewTask (arrived whole) or pushDeletedTask (tombstone), pushModifiedVariable
    // per variable, pushModifiedState / pushNewState per instance. A receiver that
    // throws is logged; the others still hear the event.
    kel::signal::pusher<TaskQueue> pushDifference;
    kel::signal::pusher<std::string> pushNewTask;                        // task id
    kel::signal::pusher<std::string> pushDeletedTask;                    // task id
    kel::signal::pusher<std::string, std::string> pushNewState;          // task id, instance id
    kel::signal::pusher<std::string, std::string> pushModifiedState;     // task id, instance id
    kel::signal::pusher<std::string, std::string> pushModifiedVariable;  // task id, variable name

    LocalSynchronizer();
    LocalSynchronizer(const LocalSynchronizer&) = delete;
    LocalSynchronizer& operator=(const LocalSynchronizer&) = delete;
    virtual ~LocalSynchronizer();

    // Changes made here announce nothing: the peer synchronizers find them on their
    // next pass. Operations that change a task leave unknown ids and deleted tasks
    // alone (and log it): a runner may well still report on a task a user deleted.
    std::string makeTask(const std::string& stateType);
    void deleteTask(const std::string& taskId);
    // The new instance's id, or "" when the task is unknown or deleted.
    std::string makeInstance(const std::string& taskId, const std::string& stateType);
    void updateInstanceProgress(const std::string& taskId, const std::string& instanceId, double progress);
    // Stores a copy of the value: a caller that goes on changing its own handle must
    // neither bypass the lock nor change what the peers were already sent.
    void setVariable(const std::string& taskId, const std::string& name, kel::var value);

    // "" when the "stateType" is not a string (or the instance is unknown).
    std::string getInstanceStateType(const std::string& taskId, const std::string& instanceId);
    // 0.0 when absent.
    double getInstanceProgress(const std::string& taskId, const std::string& instanceId);
    kel::var getVariable(const std::string& taskId, const std::string& name);  // a deep copy
    bool hasVariable(const std::string& taskId, const std::string& name);
    // True for an unknown or deleted task, and when the task's root instance (the first
    // in id order whose state type is the task's) has progress exactly 1.0.
    bool isTaskDone(const std::string& taskId);
    bool isTaskInterrupted(const std::string& taskId);  // has the variable "Interrupted"

    // The live queue, without the lock: its caller must not use it concurrently with
    // the other operations.
    TaskQueue getEditableQueue();
    // A light copy: own maps of tasks and instances, variable values shared.
    TaskQueue getQueue();
    Task getTask(const std::string& taskId);  // deep copies
    StateInstance getInstance(const std::string& taskId, const std::string& instanceId);

private:
    // Adds a received difference and announces what it changed.
    void applyDifference(TaskQueue difference);
    void announce(const TaskQueue& applied);
    // The live task of that id, or false (logged under `where`) when it is unknown or
    // a tombstone. Called with queueMutex held.
    bool liveTask(const std::string& taskId, const char* where, Task& task) const;

    // This side's task queue; starts undefined (no tasks).
    TaskQueue queue;
    // Guards queue. Contended by the state runners, the session handlers and the
    // peer synchronizers; a peer synchronizer takes its sequenceMutex before this
    // one. Never held while an event is pushed or another operation is called.
    std::mutex queueMutex;
};

}  // namespace Synchronization
}  // namespace Vant
