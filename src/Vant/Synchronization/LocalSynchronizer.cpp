#include "Vant/Synchronization/LocalSynchronizer.h"

#include <iostream>

#include "Vant/Synchronization/Delivery.h"

namespace Vant {
namespace Synchronization {

LocalSynchronizer::LocalSynchronizer() {
    giveQueue = [this] { return getQueue(); };
    onDifference = [this](TaskQueue difference) { applyDifference(difference); };
}

LocalSynchronizer::~LocalSynchronizer() = default;

bool LocalSynchronizer::liveTask(const std::string& taskId, const char* where, Task& task) const {
    // One scan: getTask gives a detached empty task for an unknown id.
    task = queue.getTask(taskId);
    const kel::var& found = task;
    if (!found.has("id")) {
        std::cout << "LocalSynchronizer::" << where << " no task " << taskId << "." << std::endl;
        return false;
    }
    if (!task.isDeletion()) return true;
    std::cout << "LocalSynchronizer::" << where << " task " << taskId << " is deleted." << std::endl;
    return false;
}

std::string LocalSynchronizer::makeTask(const std::string& stateType) {
    std::lock_guard<std::mutex> lock(queueMutex);
    return queue.makeTask(stateType)["id"].stringValue();
}

void LocalSynchronizer::deleteTask(const std::string& taskId) {
    std::lock_guard<std::mutex> lock(queueMutex);
    queue.deleteTask(taskId);
}

std::string LocalSynchronizer::makeInstance(const std::string& taskId, const std::string& stateType) {
    std::lock_guard<std::mutex> lock(queueMutex);
    Task task;
    if (!liveTask(taskId, "makeInstance()", task)) return "";
    return task.makeStateInstance(stateType)["id"].stringValue();
}

void LocalSynchronizer::updateInstanceProgress(const std::string& taskId, const std::string& instanceId,
                                               double progress) {
    std::lock_guard<std::mutex> lock(queueMutex);
    Task task;
    if (!liveTask(taskId, "updateInstanceProgress()", task)) return;
    if (!task.hasInstance(instanceId)) {
        std::cout << "LocalSynchronizer::updateInstanceProgress() no instance " << instanceId << " in task "
                  << taskId << "." << std::endl;
        return;
    }
    task.getInstance(instanceId)["progress"] = progress;
}

void LocalSynchronizer::setVariable(const std::string& taskId, const std::string& name, kel::var value) {
    kel::var copy = value.clone();
    std::lock_guard<std::mutex> lock(queueMutex);
    Task task;
    if (liveTask(taskId, "setVariable()", task)) task.setVariable(name, copy);
}

std::string LocalSynchronizer::getInstanceStateType(const std::string& taskId,
                                                    const std::string& instanceId) {
    std::lock_guard<std::mutex> lock(queueMutex);
    const StateInstance instance = queue.getTask(taskId).getInstance(instanceId);
    return instance.isMap() && instance.has("stateType") ? instance["stateType"].stringValue("") : "";
}

double LocalSynchronizer::getInstanceProgress(const std::string& taskId, const std::string& instanceId) {
    std::lock_guard<std::mutex> lock(queueMutex);
    return queue.getTask(taskId).getInstance(instanceId).progress();
}

kel::var LocalSynchronizer::getVariable(const std::string& taskId, const std::string& name) {
    std::lock_guard<std::mutex> lock(queueMutex);
    return queue.getTask(taskId).getVariable(name).clone();
}

bool LocalSynchronizer::hasVariable(const std::string& taskId, const std::string& name) {
    std::lock_guard<std::mutex> lock(queueMutex);
    return queue.getTask(taskId).hasVariable(name);
}

bool LocalSynchronizer::isTaskDone(const std::string& taskId) {
    std::lock_guard<std::mutex> lock(queueMutex);
    if (!queue.hasTask(taskId)) return true;
    const Task task = queue.getTask(taskId);
    if (task.isDeletion()) return true;
    if (!task.has("stateType")) return false;
    const kel::var& root = task["stateType"];
    for (const StateInstance& instance : task.instances()) {
        if (instance.isMap() && instance.has("stateType") && instance["stateType"] == root) {
            return instance.progress() == 1.0;
        }
    }
    return false;
}

bool LocalSynchronizer::isTaskInterrupted(const std::string& taskId) {
    std::lock_guard<std::mutex> lock(queueMutex);
    return queue.getTask(taskId).hasVariable("Interrupted");
}

LocalSynchronizer::TaskQueue LocalSynchronizer::getEditableQueue() {
    // The lock covers only the copy of the handle, which a received difference rebinds.
    std::lock_guard<std::mutex> lock(queueMutex);
    return queue;
}

LocalSynchronizer::TaskQueue LocalSynchronizer::getQueue() {
    std::lock_guard<std::mutex> lock(queueMutex);
    // An undefined queue stays undefined: the peer synchronizers skip a side that
    // never had a task.
    if (queue.isUndefined()) return TaskQueue();
    return queue.cloneLight();
}

LocalSynchronizer::Task LocalSynchronizer::getTask(const std::string& taskId) {
    std::lock_guard<std::mutex> lock(queueMutex);
    return Task(queue.getTask(taskId).clone());
}

LocalSynchronizer::StateInstance LocalSynchronizer::getInstance(const std::string& taskId,
                                                                const std::string& instanceId) {
    std::lock_guard<std::mutex> lock(queueMutex);
    return StateInstance(queue.getTask(taskId).getInstance(instanceId).clone());
}

void LocalSynchronizer::applyDifference(TaskQueue difference) {
    TaskQueue applied;
    {
        std::lock_guard<std::mutex> lock(queueMutex);
        // Sum and difference build new values and never write into their operands,
        // so a handle on the old value is as good as a deep copy of it here.
        const TaskQueue old = queue;
        try {
            TaskQueue sum = queue + difference;
            applied = sum - old;
            queue = sum;
        } catch (const std::exception& e) {
            // A record of a shape the algebra cannot read: the queue stays as it was.
            std::cout << "LocalSynchronizer::onDifference() difference not applied : " << e.what()
                      << std::endl;
            return;
        }
    }
    announce(applied);
}

void LocalSynchronizer::announce(const TaskQueue& applied) {
    const char* where = "LocalSynchronizer::onDifference()";
    deliverToEach(pushDifference, where, applied);
    if (!applied.has("tasks") || !applied["tasks"].isArray()) return;
    const kel::var& tasks = applied["tasks"];
    for (unsigned i = 0; i < tasks.size(); ++i) {
        const Task t(tasks[i]);
        // Every entry of a computed difference has a string id; the guard keeps a
        // record of another shape from ending the announcement of the others.
        try {
            const std::string id = t["id"].stringValue();
            if (!t.isDifference()) deliverToEach(pushNewTask, where, id);
            if (t.isDeletion()) {
                if (pushDeletedTask) deliverToEach(pushDeletedTask, where, id);
                continue;
            }
            if (t.has("data") && t["data"].isMap()) {
                for (const std::string& name : t["data"].keys()) {
                    deliverToEach(pushModifiedVariable, where, id, name);
                }
            }
            if (!t.has("instances") || !t["instances"].isMap()) continue;
            for (const std::string& instanceId : t["instances"].keys()) {
                const StateInstance instance(t["instances"][instanceId]);
                const bool whole = instance.isMap() && !instance.isDifference();
                deliverToEach(whole ? pushNewState : pushModifiedState, where, id, instanceId);
            }
        } catch (const std::exception& e) {
            std::cout << where << " entry not announced : " << e.what() << std::endl;
        }
    }
}

}  // namespace Synchronization
}  // namespace Vant
