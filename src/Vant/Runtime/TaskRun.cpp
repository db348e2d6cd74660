#include "Vant/Runtime/TaskRun.h"

namespace Vant {
namespace Runtime {

const char* const TaskRun::DeletedValue = "Deleted";

TaskRun::TaskRun(Vant::Synchronization::LocalSynchronizer& sync, std::string id)
    : sync(sync), taskId(std::move(id)), variables(kel::var_map()) {
    // A deep copy of its own: read through const handles only.
    const Vant::StateMachine::Task task = sync.getTask(taskId);
    const kel::var& read = task;
    if (!read.isMap()) return;
    if (read.has("stateType")) rootType = read["stateType"].stringValue("");
    if (read.has("data") && read["data"].isMap()) variables = read["data"];
    // Deleted between its start and its first runner.
    if (task.isDeletion()) markDeleted();
}

bool TaskRun::markDeleted() {
    std::lock_guard<std::mutex> lock(mutex);
    if (isDeleted) return false;
    isDeleted = true;
    // The task's conditions read "Interrupted" as a user's interruption sets it.
    const kel::var& read = variables;
    if (!read.has("Interrupted")) variables["Interrupted"] = DeletedValue;
    return true;
}

bool TaskRun::deleted() const {
    std::lock_guard<std::mutex> lock(mutex);
    return isDeleted;
}

void TaskRun::variableChanged(const std::string& name, const kel::var& value) {
    const kel::var copy = value.clone();
    std::lock_guard<std::mutex> lock(mutex);
    if (!isDeleted) variables[name] = copy;
}

std::string TaskRun::makeInstance(const std::string& stateType) {
    if (!deleted()) {
        const std::string id = sync.makeInstance(taskId, stateType);
        if (!id.empty()) return id;
        // The queue may hold the tombstone already while the deletion is still on its
        // way here.
        if (!sync.getTask(taskId).isDeletion()) return id;
        markDeleted();
    }
    // Deleted meanwhile: the instance lives here only, so the task's list still runs.
    const std::string id = kel::var::randomHex(4).stringValue();
    std::lock_guard<std::mutex> lock(mutex);
    instanceTypes[id] = stateType;
    return id;
}

std::string TaskRun::instanceStateType(const std::string& instanceId) {
    {
        std::lock_guard<std::mutex> lock(mutex);
        auto found = instanceTypes.find(instanceId);
        if (found != instanceTypes.end()) return found->second;
    }
    return sync.getInstanceStateType(taskId, instanceId);
}

void TaskRun::setProgress(const std::string& instanceId, double progress) {
    bool toQueue;
    {
        std::lock_guard<std::mutex> lock(mutex);
        progressById[instanceId] = progress;
        toQueue = !isDeleted;
    }
    // A deletion that lands between the two refuses this write in the queue; the
    // mirror already has it.
    if (toQueue) sync.updateInstanceProgress(taskId, instanceId, progress);
}

double TaskRun::progress(const std::string& instanceId) {
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (isDeleted) {
            auto found = progressById.find(instanceId);
            return found != progressById.end() ? found->second : 0.0;
        }
    }
    return sync.getInstanceProgress(taskId, instanceId);
}

bool TaskRun::hasVariable(const std::string& name) {
    {
        std::lock_guard<std::mutex> lock(mutex);
        const kel::var& read = variables;
        if (isDeleted) return read.has(name);
    }
    return sync.hasVariable(taskId, name);
}

kel::var TaskRun::getVariable(const std::string& name) {
    {
        std::lock_guard<std::mutex> lock(mutex);
        const kel::var& read = variables;
        if (isDeleted) return read.has(name) ? read[name].clone() : kel::var();
    }
    return sync.getVariable(taskId, name);
}

void TaskRun::setVariable(const std::string& name, const kel::var& value) {
    const kel::var copy = value.clone();
    bool toQueue;
    {
        std::lock_guard<std::mutex> lock(mutex);
        variables[name] = copy;
        toQueue = !isDeleted;
    }
    if (toQueue) sync.setVariable(taskId, name, copy);
}

}  // namespace Runtime
}  // namespace Vant
