// Vant::Runtime::TaskRun: what the runtime keeps of one task while anything of it still
// runs (a runner, a runner's thread, a job's callback): where its runners' progress
// and variables go. While the task lives they go to the task queue and are mirrored
// here; once a user deletes the task, the queue holds a tombstone that must stay one,
// and this record takes the queue's place: the runners read and write here only, and
// the task counts as interrupted, so its resetting states run as after a user's
// interruption. Shared by every runner of the task (runner threads, pool threads of
// the jobs' callbacks, the thread that applies a deletion); one mutex guards it.
#pragma once

#include <map>
#include <mutex>
#include <string>

#include "Vant/Synchronization/LocalSynchronizer.h"
#include "kel/var.h"

namespace Vant {
namespace Runtime {

class TaskRun {
public:
    // The value of "Interrupted" that a deletion gives a task that had none.
    static const char* const DeletedValue;

    // Mirrors the task's variables and its root state type as the queue has them now.
    TaskRun(Vant::Synchronization::LocalSynchronizer& sync, std::string taskId);
    TaskRun(const TaskRun&) = delete;
    TaskRun& operator=(const TaskRun&) = delete;

    const std::string& getTaskId() const { return taskId; }
    // The task's own state type ("" when it had none).
    const std::string& rootStateType() const { return rootType; }

    // From now on nothing of the task reaches the queue. False when it was deleted already.
    bool markDeleted();
    bool deleted() const;

    // A user changed a variable of the task: the mirror follows while the task lives.
    void variableChanged(const std::string& name, const kel::var& value);

    // A new state instance: in the queue while the task lives, here once it is deleted.
    // "" when the queue knows no such task and it was not deleted either.
    std::string makeInstance(const std::string& stateType);
    // The state type of an instance ("" when unknown).
    std::string instanceStateType(const std::string& instanceId);
    void setProgress(const std::string& instanceId, double progress);
    double progress(const std::string& instanceId);

    bool hasVariable(const std::string& name);
    kel::var getVariable(const std::string& name);  // a copy
    void setVariable(const std::string& name, const kel::var& value);

private:
    Vant::Synchronization::LocalSynchronizer& sync;
    const std::string taskId;
    std::string rootType;

    // Guards isDeleted, variables, progressById and instanceTypes: the task's runner
    // threads, its jobs' callbacks on pool threads and the thread that applies a
    // user's change or deletion. Never held while the queue is called.
    mutable std::mutex mutex;
    bool isDeleted = false;
    kel::var variables;                                // map of name -> value
    std::map<std::string, double> progressById;        // what the runners wrote
    std::map<std::string, std::string> instanceTypes;  // instances made after the deletion
};

}  // namespace Runtime
}  // namespace Vant
