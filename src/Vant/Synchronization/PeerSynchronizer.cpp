#include "Vant/Synchronization/PeerSynchronizer.h"
#include "Vant/Log.h"

#include <algorithm>
#include <iostream>

namespace Vant {
namespace Synchronization {

namespace {

typedef PeerSynchronizer::Task Task;
typedef PeerSynchronizer::TaskQueue TaskQueue;

// Whether `map`'s entry `key` is absent or a map whose values are all maps.
bool isMapOfMapsOrAbsent(const kel::var& map, const char* key) {
    if (!map.has(key)) return true;
    const kel::var& inner = map[key];
    if (!inner.isMap()) return false;
    for (const kel::var& value : inner.values()) {
        if (!value.isMap()) return false;
    }
    return true;
}

// Whether a received message has the shape the queue algebra reads: a map whose
// "tasks", when present, is an array of maps with a string "id", an "instances" map
// of maps and a "data" map. A record of another shape would make every later
// difference of the agreed queue throw, and with it every pass of the worker.
bool isWellFormed(const kel::var& message) {
    if (!message.isMap()) return false;
    if (!message.has("tasks")) return true;
    const kel::var& tasks = message["tasks"];
    if (!tasks.isArray()) return false;
    for (unsigned i = 0; i < tasks.size(); ++i) {
        const kel::var& task = tasks[i];
        if (!task.isMap() || !task.has("id") || !task["id"].isString()) return false;
        if (!isMapOfMapsOrAbsent(task, "instances")) return false;
        if (task.has("data") && !task["data"].isMap()) return false;
    }
    return true;
}

// The entries of a well-formed queue record, in order.
std::vector<Task> entriesOf(const TaskQueue& queue) {
    std::vector<Task> entries;
    if (!queue.isMap() || !queue.has("tasks")) return entries;
    const kel::var& tasks = queue["tasks"];
    entries.reserve(tasks.size());
    for (unsigned i = 0; i < tasks.size(); ++i) entries.emplace_back(tasks[i]);
    return entries;
}

Task tombstone(const std::string& id) {
    Task record;  // an empty map
    record["diff"] = "deleted";
    record["id"] = id;
    return record;
}

std::string idOf(const Task& entry) {
    return entry["id"].stringValue();
}

}  // namespace

PeerSynchronizer::PeerSynchronizer(LocalSynchronizer& local, Side side,
                                   std::chrono::milliseconds sendingInterval)
    : local(local),
      side(side),
      lastSent(std::chrono::steady_clock::now() - std::chrono::hours(24)),
      sendingInterval(sendingInterval),
      forceFullQueue(false),
      stopped(false) {
    onMessage = [this](kel::var message) { receive(message); };
    onNotification = [this] { confirm(); };
}

PeerSynchronizer::~PeerSynchronizer() {
    stop();
}

void PeerSynchronizer::start() {
    if (_thread) return;
    stopped = false;
    _thread.reset(new std::thread([this] { run(); }));
}

bool PeerSynchronizer::started() const {
    return _thread != nullptr && !stopped;
}

void PeerSynchronizer::stop() {
    {
        std::lock_guard<std::mutex> lock(wakeMutex);
        stopped = true;
    }
    wake.notify_all();
    if (!_thread) return;
    _thread->join();
    _thread.reset();
}

void PeerSynchronizer::forceSendingFullQueue() {
    forceFullQueue = true;
}

void PeerSynchronizer::run() {
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(wakeMutex);
            if (wake.wait_for(lock, sendingInterval, [this] { return stopped.load(); })) return;
        }
        try {
            synchronizeOnce();
        } catch (const std::exception& e) {
            Vant::LogLine() << "PeerSynchronizer::run() pass failed : " << e.what();
        } catch (...) {
            Vant::LogLine() << "PeerSynchronizer::run() pass failed with an unknown exception.";
        }
    }
}

bool PeerSynchronizer::synchronizeOnce() {
    std::lock_guard<std::mutex> lock(sequenceMutex);
    const auto now = std::chrono::steady_clock::now();
    if (now - lastSent < sendingInterval && !forceFullQueue) return false;
    if (sentDiff.isDefined()) return false;
    // Nothing changed here since the last comparison: the pass ends at once, however
    // long the queue's history.
    if (!forceFullQueue && unsure.empty() && local.version() == seen) return false;

    std::uint64_t version = 0;
    const bool full = forceFullQueue.exchange(false);
    TaskQueue message;
    if (full) {
        // Sent even when empty: it tells a user whose printer restarted that the
        // tasks it remembers are gone.
        message = local.getQueue(&version);
        if (message.isUndefined()) message["tasks"] = kel::var_array();
    } else {
        std::set<std::string> uncertain;
        for (const auto& task : unsure) uncertain.insert(task.first);
        std::vector<Task> changed;
        Variables written;
        version = local.changesSince(seen, uncertain, changed, sentUpTo, &written);
        message = differenceOf(changed, written);
        if (!message.hasDifference()) {
            seen = version;
            unsure.clear();
            return false;
        }
    }

    sentDiff = message;
    lastSent = now;
    try {
        pushMessage(message);
    } catch (...) {
        // Nothing left: no confirmation will come. The next pass sends again.
        sentDiff = TaskQueue();
        if (full) forceFullQueue = true;
        throw;
    }
    seen = version;
    sentUpTo = version;
    unsure.clear();
    return true;
}

TaskQueue PeerSynchronizer::differenceOf(const std::vector<Task>& changed, const Variables& written) const {
    TaskQueue message;
    std::vector<std::string> deleted;
    for (const Task& task : changed) {
        const std::string id = idOf(task);
        auto agreedEntry = agreed.find(id);
        if (task.isDeletion()) {
            if (agreedEntry == agreed.end() || !agreedEntry->second.isDeletion()) deleted.push_back(id);
            continue;
        }
        if (agreedEntry == agreed.end()) {
            message.addTask(task);  // a new task travels whole
            continue;
        }
        if (agreedEntry->second.isDeletion()) {
            Vant::LogLine() << "TaskQueue::operator-() Illegal state : que2[id][\"diff\"] == \"deleted\"."
                     ;
            continue;
        }
        Task change = task - agreedEntry->second;
        // Set here and not sent yet, or of uncertain agreed value: sent even when the
        // agreed queue has the same value (it may not be what the other end holds).
        for (const Variables* always : {&written, &unsure}) {
            auto names = always->find(id);
            if (names == always->end()) continue;
            for (const std::string& name : names->second) {
                if (task.hasVariable(name)) change["data"][name] = task.getVariable(name);
            }
        }
        if (change.size() == 0) continue;
        change["id"] = id;
        message.addTask(change);
    }
    std::sort(deleted.begin(), deleted.end());
    deleted.erase(std::unique(deleted.begin(), deleted.end()), deleted.end());
    for (const std::string& id : deleted) message.addTask(tombstone(id));
    message["diffId"] = kel::var::randomHex(4);
    return message;
}

void PeerSynchronizer::receive(kel::var message) {
    const TaskQueue received(message);
    if (!isWellFormed(received)) {
        Vant::LogLine() << "PeerSynchronizer::onMessage() malformed message ignored : "
                  << received.toJsonString().substr(0, 200);
        return;
    }
    // A full queue always says something, if only that the other end has no task.
    if (received.isDifference() && !received.hasDifference()) {
        Vant::LogLine() << "PeerSynchronizer::onMessage() message without a difference ignored.";
        return;
    }
    std::lock_guard<std::mutex> lock(sequenceMutex);
    Risk risk;
    risk.add(unheard);
    unheard = Risk();
    if (sentDiff.isDefined() && sentDiff.isDifference()) {
        const Risk inFlight = riskOf(sentDiff);
        risk.add(inFlight);
        risk.unconfirmedEntries = inFlight.ownEntries;
    }
    if (!sentDiff.isDefined()) {
        applyReceived(received, risk);
        return;
    }
    if (!held.empty()) {
        Vant::LogLine() << "PeerSynchronizer::onMessage() a received message is already held; this one follows it."
                 ;
    }
    held.push_back(Held{received, risk});
}

void PeerSynchronizer::confirm() {
    std::lock_guard<std::mutex> lock(sequenceMutex);
    if (!sentDiff.isDefined()) {
        Vant::LogLine() << "PeerSynchronizer::onNotification() confirmation with nothing in flight ignored."
                 ;
        return;
    }
    const TaskQueue sent = sentDiff;
    sentDiff = TaskQueue();
    // The own message first, then the held ones in arrival order.
    if (sent.isDifference()) {
        unheard.add(riskOf(sent));
        for (const Task& entry : entriesOf(sent)) addToAgreed(entry);
    } else {
        agreed.clear();
        for (const Task& entry : entriesOf(sent)) agreed[idOf(entry)] = Task(entry.clone());
    }
    std::deque<Held> waiting;
    waiting.swap(held);
    for (const Held& message : waiting) applyReceived(message.message, message.risk);
}

void PeerSynchronizer::Risk::add(const Risk& other) {
    for (const auto& task : other.variables) {
        for (const auto& variable : task.second) variables[task.first][variable.first] = variable.second;
    }
    ownEntries.insert(other.ownEntries.begin(), other.ownEntries.end());
    unconfirmedEntries.insert(other.unconfirmedEntries.begin(), other.unconfirmedEntries.end());
}

PeerSynchronizer::Risk PeerSynchronizer::riskOf(const TaskQueue& sent) {
    Risk risk;
    for (const Task& entry : entriesOf(sent)) {
        const std::string id = idOf(entry);
        if (!entry.isDifference() || entry.isDeletion()) risk.ownEntries.insert(id);
        if (!entry.has("data") || !entry["data"].isMap()) continue;
        const kel::var& data = entry["data"];
        for (const std::string& name : data.keys()) risk.variables[id][name] = data[name];
    }
    return risk;
}

Task PeerSynchronizer::addToAgreed(const Task& entry) {
    const std::string id = idOf(entry);
    auto found = agreed.find(id);
    if (entry.isDeletion()) {
        if (found != agreed.end() && found->second.isDeletion()) return Task(kel::var());
        agreed[id] = tombstone(id);
        return tombstone(id);
    }
    if (found == agreed.end()) {
        // A whole task, or a change of one the agreed queue lost to a full queue while
        // the local queue kept it (our own, sent again): the local queue takes what
        // it can.
        const Task added(entry.clone());
        agreed.emplace(id, added);
        return added;
    }
    if (found->second.isDeletion()) return Task(kel::var());
    const Task next = found->second + entry;
    Task change = next - found->second;
    found->second = next;
    if (change.size() == 0) return Task(kel::var());
    change["id"] = id;
    return change;
}

void PeerSynchronizer::applyReceived(const TaskQueue& message, const Risk& risk) {
    try {
        if (message.isDifference()) {
            applyDifference(message, risk);
        } else {
            applyFullQueue(message, risk);
        }
    } catch (const std::exception& e) {
        Vant::LogLine() << "PeerSynchronizer::applyDiff() message not applied : " << e.what();
    }
}

void PeerSynchronizer::applyDifference(const TaskQueue& difference, const Risk& risk) {
    // Neither end lets a received message overwrite a variable it set and has not
    // sent yet: that value goes out with its next message. The printer's order decides
    // the rest, and its value wins. When a user's message sets a variable that our own
    // message may have crossed (the user added ours after its own and holds our value
    // now), the printer sends its resulting value again, and the user adopts it.
    LocalSynchronizer::Merge merge;
    merge.localVariablesWin = true;
    merge.sentUpTo = sentUpTo;
    for (const Task& entry : entriesOf(difference)) {
        const std::string id = idOf(entry);
        const Task change = addToAgreed(entry);
        if (!change.isDefined()) continue;
        auto ours = risk.variables.find(id);
        if (side == Side::Printer && ours != risk.variables.end() && entry.has("data")) {
            for (const std::string& name : entry["data"].keys()) {
                if (ours->second.count(name) != 0) unsure[id].insert(name);
            }
        }
        merge.entries.push_back({change, {}, pendingOf(id)});
    }
    if (!merge.entries.empty()) local.merge(merge);
}

void PeerSynchronizer::applyFullQueue(const TaskQueue& full, const Risk& risk) {
    // A full queue is the other end's whole state when it was sent. On a user's side
    // it is the truth about everything but what this end has not sent yet, and what
    // our messages carried that it may lack (risk): the printer adds that after its
    // full queue, so it is kept here and sent again. A printer takes from a user's full
    // queue only what it adds.
    const bool printer = side == Side::Printer;
    LocalSynchronizer::Merge merge;
    merge.localVariablesWin = true;  // a full queue carries no change of its own
    merge.sentUpTo = sentUpTo;
    Entries next;
    for (const Task& entry : entriesOf(full)) {
        const std::string id = idOf(entry);
        const Task whole(entry.clone());
        next[id] = whole;
        auto found = agreed.find(id);
        if (whole.isDeletion()) {
            if (found == agreed.end() || !found->second.isDeletion()) {
                merge.entries.push_back({tombstone(id), {}, {}});
            }
            continue;
        }
        LocalSynchronizer::Merge::Entry merged{whole, {}, pendingOf(id)};
        auto own = risk.variables.find(id);
        if (own != risk.variables.end()) merged.sentValues = own->second;
        if (found != agreed.end()) {
            // Deleted here: the deletion is sent again.
            if (found->second.isDeletion()) continue;
            merged.change =
                printer ? Task((found->second + whole) - found->second) : Task(whole - found->second);
            if (merged.change.size() == 0) continue;
            merged.change["id"] = id;
        }
        merge.entries.push_back(merged);
    }
    if (!printer) {
        // A printer keeps every task it ever had, deleted ones as tombstones. One that
        // lacks a task both ends agreed on before our latest messages lost its queue: it
        // restarted. Then only what it never confirmed survives; otherwise the queue
        // was merely taken before our latest messages reached it.
        bool restarted = false;
        for (const auto& entry : agreed) {
            const bool known = entry.second.isDeletion() || !entry.second.isDifference();
            restarted = restarted ||
                        (known && next.count(entry.first) == 0 && risk.ownEntries.count(entry.first) == 0);
        }
        const std::set<std::string>& survive = restarted ? risk.unconfirmedEntries : risk.ownEntries;
        for (const auto& entry : agreed) {
            if (next.count(entry.first) != 0 || survive.count(entry.first) != 0) continue;
            merge.forgotten.push_back(entry.first);
        }
    }
    agreed.swap(next);
    seen = 0;  // the next pass compares every local entry with the new agreed queue
    Variables kept;
    local.merge(merge, &kept);
    // Our values that stood: the printer holds them after its full queue when the two
    // crossed. They are what the agreed queue holds, and they are sent again.
    for (const auto& task : kept) {
        for (const std::string& name : task.second) {
            setAgreedVariable(task.first, name, risk.variables.at(task.first).at(name));
            unsure[task.first].insert(name);
        }
    }
}

std::set<std::string> PeerSynchronizer::pendingOf(const std::string& taskId) const {
    if (side == Side::Printer) return {};  // the printer's own resends give way to a user's newer value
    auto found = unsure.find(taskId);
    return found == unsure.end() ? std::set<std::string>() : found->second;
}

void PeerSynchronizer::setAgreedVariable(const std::string& taskId, const std::string& name,
                                         const kel::var& value) {
    auto found = agreed.find(taskId);
    if (found == agreed.end() || found->second.isDeletion()) return;
    const Task& old = found->second;
    Task replaced;  // an empty map
    for (const std::string& key : old.keys()) replaced[key] = old[key];
    kel::var data = kel::var_map();
    if (old.has("data") && old["data"].isMap()) {
        for (const std::string& key : old["data"].keys()) data[key] = old["data"][key];
    }
    data[name] = value;
    replaced["data"] = data;
    found->second = replaced;
}

}  // namespace Synchronization
}  // namespace Vant
