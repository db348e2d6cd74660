#include "Vant/Synchronization/LocalSynchronizer.h"

#include <algorithm>
#include <iostream>

#include "Vant/Synchronization/Delivery.h"
#include "Vant/Log.h"

namespace Vant {
namespace Synchronization {

namespace {

const char* const Announcing = "LocalSynchronizer::onDifference()";

kel::var tombstone(const std::string& id) {
    kel::var record = kel::var_map();
    record["diff"] = "deleted";
    record["id"] = id;
    return record;
}

}  // namespace

LocalSynchronizer::LocalSynchronizer() {
    giveQueue = [this] { return getQueue(); };
    onDifference = [this](TaskQueue difference) { applyDifference(difference); };
}

LocalSynchronizer::~LocalSynchronizer() = default;

const LocalSynchronizer::Entry* LocalSynchronizer::find(const std::string& taskId) const {
    auto found = entries.find(taskId);
    return found == entries.end() ? nullptr : &found->second;
}

LocalSynchronizer::Entry* LocalSynchronizer::liveTask(const std::string& taskId, const char* where) {
    auto found = entries.find(taskId);
    if (found == entries.end()) {
        Vant::LogLine() << "LocalSynchronizer::" << where << " no task " << taskId << ".";
        return nullptr;
    }
    if (!found->second.task.isDeletion()) return &found->second;
    Vant::LogLine() << "LocalSynchronizer::" << where << " task " << taskId << " is deleted.";
    return nullptr;
}

void LocalSynchronizer::touch(const std::string& taskId, Task task) {
    auto found = entries.find(taskId);
    if (found == entries.end()) {
        found = entries.emplace(taskId, Entry{task, 0, ++positions, {}}).first;
        byPosition.emplace(found->second.position, taskId);
    } else {
        found->second.task = task;
        found->second.written.clear();
    }
    touch(found->second, taskId);
}

void LocalSynchronizer::touch(Entry& entry, const std::string& taskId) {
    if (entry.stamp != 0) byStamp.erase(entry.stamp);
    entry.stamp = stamps.load() + 1;
    stamps.store(entry.stamp);
    byStamp.emplace(entry.stamp, taskId);
}

std::string LocalSynchronizer::makeTask(const std::string& stateType) {
    const Task task(stateType);
    const std::string id = task["id"].stringValue();
    std::lock_guard<std::mutex> lock(queueMutex);
    touch(id, task);
    return id;
}

void LocalSynchronizer::deleteTask(const std::string& taskId) {
    std::lock_guard<std::mutex> lock(queueMutex);
    const Entry* entry = find(taskId);
    if (entry == nullptr || entry->task.isDeletion()) return;
    touch(taskId, tombstone(taskId));
}

std::string LocalSynchronizer::makeInstance(const std::string& taskId, const std::string& stateType) {
    std::lock_guard<std::mutex> lock(queueMutex);
    Entry* entry = liveTask(taskId, "makeInstance()");
    if (entry == nullptr) return "";
    const std::string id = entry->task.makeStateInstance(stateType)["id"].stringValue();
    touch(*entry, taskId);
    return id;
}

void LocalSynchronizer::updateInstanceProgress(const std::string& taskId, const std::string& instanceId,
                                               double progress) {
    std::lock_guard<std::mutex> lock(queueMutex);
    Entry* entry = liveTask(taskId, "updateInstanceProgress()");
    if (entry == nullptr) return;
    if (!entry->task.hasInstance(instanceId)) {
        Vant::LogLine() << "LocalSynchronizer::updateInstanceProgress() no instance " << instanceId << " in task "
                  << taskId << ".";
        return;
    }
    entry->task.getInstance(instanceId)["progress"] = progress;
    touch(*entry, taskId);
}

void LocalSynchronizer::setVariable(const std::string& taskId, const std::string& name, kel::var value) {
    kel::var copy = value.clone();
    std::lock_guard<std::mutex> lock(queueMutex);
    Entry* entry = liveTask(taskId, "setVariable()");
    if (entry == nullptr) return;
    entry->task.setVariable(name, copy);
    touch(*entry, taskId);
    entry->written[name] = entry->stamp;
}

std::string LocalSynchronizer::getInstanceStateType(const std::string& taskId,
                                                    const std::string& instanceId) {
    std::lock_guard<std::mutex> lock(queueMutex);
    const Entry* entry = find(taskId);
    if (entry == nullptr) return "";
    const StateInstance instance = entry->task.getInstance(instanceId);
    return instance.isMap() && instance.has("stateType") ? instance["stateType"].stringValue("") : "";
}

double LocalSynchronizer::getInstanceProgress(const std::string& taskId, const std::string& instanceId) {
    std::lock_guard<std::mutex> lock(queueMutex);
    const Entry* entry = find(taskId);
    return entry == nullptr ? 0.0 : entry->task.getInstance(instanceId).progress();
}

kel::var LocalSynchronizer::getVariable(const std::string& taskId, const std::string& name) {
    std::lock_guard<std::mutex> lock(queueMutex);
    const Entry* entry = find(taskId);
    return entry == nullptr ? kel::var() : entry->task.getVariable(name).clone();
}

bool LocalSynchronizer::hasVariable(const std::string& taskId, const std::string& name) {
    std::lock_guard<std::mutex> lock(queueMutex);
    const Entry* entry = find(taskId);
    return entry != nullptr && entry->task.hasVariable(name);
}

bool LocalSynchronizer::isTaskDone(const std::string& taskId) {
    std::lock_guard<std::mutex> lock(queueMutex);
    const Entry* entry = find(taskId);
    if (entry == nullptr) return true;
    const Task& task = entry->task;
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
    const Entry* entry = find(taskId);
    return entry != nullptr && entry->task.hasVariable("Interrupted");
}

LocalSynchronizer::TaskQueue LocalSynchronizer::getQueue(std::uint64_t* version) {
    std::lock_guard<std::mutex> lock(queueMutex);
    if (version != nullptr) *version = stamps.load();
    // An empty queue stays undefined: the peer synchronizers send no difference for a
    // side that has no task.
    TaskQueue copy;
    for (const auto& placed : byPosition) copy.addTask(entries.at(placed.second).task.cloneLight());
    return copy;
}

LocalSynchronizer::Task LocalSynchronizer::getTask(const std::string& taskId) {
    std::lock_guard<std::mutex> lock(queueMutex);
    const Entry* entry = find(taskId);
    return entry == nullptr ? Task() : Task(entry->task.clone());
}

LocalSynchronizer::StateInstance LocalSynchronizer::getInstance(const std::string& taskId,
                                                                const std::string& instanceId) {
    std::lock_guard<std::mutex> lock(queueMutex);
    const Entry* entry = find(taskId);
    return entry == nullptr ? StateInstance() : StateInstance(entry->task.getInstance(instanceId).clone());
}

std::uint64_t LocalSynchronizer::changesSince(std::uint64_t since, const std::set<std::string>& alsoThese,
                                              std::vector<Task>& changed, std::uint64_t writtenAfter,
                                              Variables* written) {
    std::lock_guard<std::mutex> lock(queueMutex);
    auto take = [&](const std::string& id, const Entry& entry) {
        changed.push_back(entry.task.cloneLight());
        if (written == nullptr) return;
        for (const auto& variable : entry.written) {
            if (variable.second > writtenAfter) (*written)[id].insert(variable.first);
        }
    };
    for (auto stamped = byStamp.upper_bound(since); stamped != byStamp.end(); ++stamped) {
        take(stamped->second, entries.at(stamped->second));
    }
    for (const std::string& id : alsoThese) {
        const Entry* entry = find(id);
        if (entry != nullptr && entry->stamp <= since) take(id, *entry);
    }
    return stamps.load();
}

LocalSynchronizer::Task LocalSynchronizer::mergeEntry(const Merge::Entry& received, const Merge& merge,
                                                      std::set<std::string>& keptSent) {
    const Task& change = received.change;
    const std::string id = change["id"].stringValue();
    auto found = entries.find(id);
    if (change.isDeletion()) {
        if (found != entries.end() && found->second.task.isDeletion()) return Task(kel::var());
        touch(id, tombstone(id));
        return tombstone(id);
    }
    if (found == entries.end()) {
        // A change to a task this side does not hold (the other end still has one
        // this side's printer no longer knows): there is nothing to change.
        if (change.isDifference()) return Task(kel::var());
        touch(id, Task(change.clone()));
        return Task(change.clone());
    }
    Entry& entry = found->second;
    if (entry.task.isDeletion()) return Task(kel::var());

    Task accepted = change;
    if (change.has("data") && change["data"].isMap()) {
        // A variable set here and not sent yet keeps its value (when local values
        // win): the peer sends it next. So does one still holding a value set here
        // and sent that the message may not have seen, and one about to be sent again.
        std::vector<std::string> kept;
        for (const std::string& name : change["data"].keys()) {
            auto written = entry.written.find(name);
            const bool here = written != entry.written.end();
            auto sent = received.sentValues.find(name);
            if (here && sent != received.sentValues.end() && entry.task.getVariable(name) == sent->second) {
                kept.push_back(name);
                keptSent.insert(name);
            } else if (received.pending.count(name) != 0 ||
                       (merge.localVariablesWin && here && written->second > merge.sentUpTo)) {
                kept.push_back(name);
            }
        }
        if (!kept.empty()) {
            accepted = Task(kel::var_map());
            for (const std::string& key : change.keys()) accepted[key] = change[key];
            kel::var data = kel::var_map();
            for (const std::string& name : change["data"].keys()) {
                if (std::find(kept.begin(), kept.end(), name) != kept.end()) continue;
                data[name] = change["data"][name];
            }
            if (data.size() == 0) {
                accepted.remove("data");
            } else {
                accepted["data"] = data;
            }
        }
    }
    const Task merged = entry.task + accepted;
    Task applied = merged - entry.task;
    if (accepted.has("data") && accepted["data"].isMap()) {
        for (const std::string& name : accepted["data"].keys()) entry.written.erase(name);
    }
    if (applied.size() == 0) return Task(kel::var());
    applied["id"] = id;
    entry.task = merged;
    touch(entry, id);
    return applied;
}

void LocalSynchronizer::merge(const Merge& received, Variables* keptSent) {
    TaskQueue applied;
    std::vector<std::string> deleted;
    {
        std::lock_guard<std::mutex> lock(queueMutex);
        for (const std::string& id : received.forgotten) {
            auto found = entries.find(id);
            if (found == entries.end()) continue;
            if (!found->second.task.isDeletion()) deleted.push_back(id);
            byStamp.erase(found->second.stamp);
            byPosition.erase(found->second.position);
            entries.erase(found);
        }
        for (const Merge::Entry& entry : received.entries) {
            try {
                std::set<std::string> kept;
                const Task change = mergeEntry(entry, received, kept);
                if (keptSent != nullptr && !kept.empty()) {
                    (*keptSent)[entry.change["id"].stringValue()] = kept;
                }
                if (!change.isDefined()) continue;
                if (change.isDeletion()) {
                    deleted.push_back(change["id"].stringValue());
                } else {
                    applied.addTask(change);
                }
            } catch (const std::exception& e) {
                // A record of a shape the algebra cannot read: that entry stays as it was.
                Vant::LogLine() << Announcing << " difference not applied : " << e.what();
            }
        }
    }
    // As the queue algebra lists them: tombstones last, in ascending id order.
    std::sort(deleted.begin(), deleted.end());
    deleted.erase(std::unique(deleted.begin(), deleted.end()), deleted.end());
    for (const std::string& id : deleted) applied.addTask(tombstone(id));
    applied["diffId"] = kel::var::randomHex(4);
    announce(applied);
}

void LocalSynchronizer::applyDifference(TaskQueue difference) {
    Merge received;
    if (difference.isMap() && difference.has("tasks") && difference["tasks"].isArray()) {
        const kel::var& tasks = difference["tasks"];
        for (unsigned i = 0; i < tasks.size(); ++i) {
            const kel::var& entry = tasks[i];
            if (!entry.isMap() || !entry.has("id") || !entry["id"].isString()) continue;
            received.entries.push_back({Task(entry), {}, {}});
        }
    }
    merge(received);
}

void LocalSynchronizer::announce(const TaskQueue& applied) {
    deliverToEach(pushDifference, Announcing, applied);
    if (!applied.has("tasks") || !applied["tasks"].isArray()) return;
    const kel::var& tasks = applied["tasks"];
    for (unsigned i = 0; i < tasks.size(); ++i) {
        const Task t(tasks[i]);
        // Every entry of a computed difference has a string id; the guard keeps a
        // record of another shape from ending the announcement of the others.
        try {
            const std::string id = t["id"].stringValue();
            if (!t.isDifference()) deliverToEach(pushNewTask, Announcing, id);
            if (t.isDeletion()) {
                if (pushDeletedTask) deliverToEach(pushDeletedTask, Announcing, id);
                continue;
            }
            if (t.has("data") && t["data"].isMap()) {
                for (const std::string& name : t["data"].keys()) {
                    deliverToEach(pushModifiedVariable, Announcing, id, name);
                }
            }
            if (!t.has("instances") || !t["instances"].isMap()) continue;
            for (const std::string& instanceId : t["instances"].keys()) {
                const StateInstance instance(t["instances"][instanceId]);
                const bool whole = instance.isMap() && !instance.isDifference();
                deliverToEach(whole ? pushNewState : pushModifiedState, Announcing, id, instanceId);
            }
        } catch (const std::exception& e) {
            Vant::LogLine() << Announcing << " entry not announced : " << e.what();
        }
    }
}

}  // namespace Synchronization
}  // namespace Vant
