#include "Vant/StateMachine/TaskQueue.h"

#include <algorithm>
#include <iostream>
#include <unordered_map>
#include <vector>

#include "Vant/StateMachine/RecordKeys.h"
#include "Vant/Log.h"

namespace Vant {
namespace StateMachine {

namespace {

// The id of a queue entry; false for an entry without a string "id".
bool idOf(const kel::var& entry, std::string& id) {
    if (!entry.isMap() || !entry.has(recordKeys().id) || !entry["id"].isString()) return false;
    id = entry["id"].stringValue();
    return true;
}

// The entries of a queue with their ids, and an index from id to the first entry
// that carries it (later duplicates are never found, as with a scan in order).
class Entries {
public:
    explicit Entries(const kel::var& queue) {
        if (!queue.isMap() || !queue.has(recordKeys().tasks)) return;
        const kel::var& tasks = queue["tasks"];
        if (!tasks.isArray()) return;
        const unsigned count = tasks.size();
        list.reserve(count);
        index.reserve(count);
        for (unsigned i = 0; i < count; ++i) {
            std::string id;
            if (!idOf(tasks[i], id)) continue;
            index.emplace(id, list.size());
            list.push_back({id, Task(tasks[i])});
        }
    }

    struct Entry {
        std::string id;
        Task task;
    };

    const Entry* find(const std::string& id) const {
        auto found = index.find(id);
        return found == index.end() ? nullptr : &list[found->second];
    }

    std::vector<Entry> list;

private:
    std::unordered_map<std::string, size_t> index;
};

// Sorted, without repeats.
class IdSet {
public:
    void add(const std::string& id) { ids.push_back(id); }
    void close() {
        std::sort(ids.begin(), ids.end());
        ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
    }
    bool has(const std::string& id) const { return std::binary_search(ids.begin(), ids.end(), id); }
    const std::vector<std::string>& ascending() const { return ids; }

private:
    std::vector<std::string> ids;
};

kel::var tombstone(const std::string& id) {
    kel::var record = kel::var_map();
    record["diff"] = "deleted";
    record["id"] = id;
    return record;
}

// The element of "tasks" holding the first entry with that id, or null. A single
// lookup scans in order: cheaper than building an index for one question.
kel::var* findEntry(const kel::var& queue, const std::string& id) {
    if (!queue.isMap() || !queue.has(recordKeys().tasks)) return nullptr;
    kel::var tasks = queue["tasks"];  // a second handle on the same array
    if (!tasks.isArray()) return nullptr;
    std::string entryId;
    for (kel::var& entry : tasks.arrayValue()) {
        if (idOf(entry, entryId) && entryId == id) return &entry;
    }
    return nullptr;
}

}  // namespace

TaskQueue::TaskQueue() = default;

TaskQueue::TaskQueue(kel::var v) : kel::var(v) {}

Task TaskQueue::addTask(Task t) {
    return Task((*this)["tasks"].add(t));
}

Task TaskQueue::makeTask(const std::string& stateType) {
    return addTask(Task(stateType));
}

Task TaskQueue::getTask(const std::string& id) const {
    kel::var* entry = findEntry(*this, id);
    return entry != nullptr ? Task(*entry) : Task();
}

bool TaskQueue::hasTask(const std::string& id) const {
    return findEntry(*this, id) != nullptr;
}

TaskQueue TaskQueue::deleteTask(const std::string& id) {
    kel::var* entry = findEntry(*this, id);
    if (entry != nullptr) *entry = tombstone(id);
    return *this;
}

TaskQueue TaskQueue::operator-(const TaskQueue& older) const {
    const Entries newer(*this);
    const Entries old(older);

    IdSet deleted;
    for (const auto& entry : newer.list) {
        if (entry.task.isDeletion()) deleted.add(entry.id);
    }
    for (const auto& entry : old.list) {
        if (newer.find(entry.id) == nullptr) deleted.add(entry.id);
    }
    deleted.close();

    TaskQueue d;
    for (const auto& entry : newer.list) {
        if (deleted.has(entry.id)) continue;
        const Entries::Entry* previous = old.find(entry.id);
        if (previous == nullptr) {
            d.addTask(entry.task.clone());
        } else if (previous->task.isDeletion()) {
            Vant::LogLine() << "TaskQueue::operator-() Illegal state : que2[id][\"diff\"] == \"deleted\"."
                     ;
        } else {
            Task change = entry.task - previous->task;
            if (change.size() == 0) continue;
            change["id"] = entry.id;
            d.addTask(change);
        }
    }
    for (const std::string& id : deleted.ascending()) {
        const Entries::Entry* previous = old.find(id);
        if (previous != nullptr && previous->task.isDeletion()) continue;
        d.addTask(tombstone(id));
    }
    d["diffId"] = kel::var::randomHex(4);
    return d;
}

TaskQueue TaskQueue::operator+(const TaskQueue& other) const {
    const bool bothDifferences = isDifference() && other.isDifference();
    const Entries left(*this);
    const Entries right(other);

    IdSet deleted;
    for (const Entries* side : {&left, &right}) {
        for (const auto& entry : side->list) {
            if (entry.task.isDeletion()) deleted.add(entry.id);
        }
    }
    deleted.close();

    TaskQueue r;
    for (const auto& entry : left.list) {
        if (deleted.has(entry.id)) continue;
        const Entries::Entry* change = right.find(entry.id);
        r.addTask(change == nullptr ? Task(entry.task.clone()) : entry.task + change->task);
    }
    for (const auto& entry : right.list) {
        if (deleted.has(entry.id) || left.find(entry.id) != nullptr) continue;
        r.addTask(entry.task.clone());
    }
    for (const std::string& id : deleted.ascending()) r.addTask(tombstone(id));
    if (bothDifferences) r["diffId"] = kel::var::randomHex(4);
    return r;
}

TaskQueue TaskQueue::operator+=(const TaskQueue& other) {
    *this = *this + other;
    return *this;
}

bool TaskQueue::isDifference() const {
    return isMap() && has(recordKeys().diffId);
}

bool TaskQueue::hasDifference() const {
    for (const auto& entry : Entries(*this).list) {
        if (entry.task.hasDifference()) return true;
    }
    return false;
}

TaskQueue TaskQueue::cloneLight() const {
    TaskQueue r;
    if (isDifference()) r["diffId"] = (*this)["diffId"].clone();
    for (const auto& entry : Entries(*this).list) r.addTask(entry.task.cloneLight());
    return r;
}

}  // namespace StateMachine
}  // namespace Vant
