#include "Vant/Synchronization/PeerSynchronizer.h"

#include <iostream>

#include "Vant/Synchronization/Delivery.h"

namespace Vant {
namespace Synchronization {

namespace {

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

const char* const Receivers = "PeerSynchronizer::applyDiff()";

}  // namespace

PeerSynchronizer::PeerSynchronizer(std::chrono::milliseconds sendingInterval)
    : lastSent(std::chrono::steady_clock::now() - std::chrono::hours(24)),
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
            std::cout << "PeerSynchronizer::run() pass failed : " << e.what() << std::endl;
        } catch (...) {
            std::cout << "PeerSynchronizer::run() pass failed with an unknown exception." << std::endl;
        }
    }
}

bool PeerSynchronizer::synchronizeOnce() {
    if (!pushDifference || pullLocalQueue._pullee == nullptr) return false;
    std::lock_guard<std::mutex> lock(sequenceMutex);
    const auto now = std::chrono::steady_clock::now();
    if (now - lastSent < sendingInterval && !forceFullQueue) return false;
    if (sentDiff.isDefined()) return false;

    const TaskQueue local = pullLocalQueue();
    if (local.isUndefined()) return false;
    const bool full = forceFullQueue.exchange(false);
    const TaskQueue message = full ? local : local - taskQueue;
    if (!message.hasDifference()) return false;

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
    return true;
}

void PeerSynchronizer::receive(kel::var message) {
    const TaskQueue received(message);
    if (!isWellFormed(received)) {
        std::cout << "PeerSynchronizer::onMessage() malformed message ignored : "
                  << received.toJsonString().substr(0, 200) << std::endl;
        return;
    }
    if (!received.hasDifference()) {
        std::cout << "PeerSynchronizer::onMessage() message without a difference ignored." << std::endl;
        return;
    }
    std::lock_guard<std::mutex> lock(sequenceMutex);
    if (!sentDiff.isDefined()) {
        applyDiff(received, false);
    } else if (!receivedDiff.isDefined()) {
        receivedDiff = received;
    } else {
        std::cout << "PeerSynchronizer::onMessage() a received message is already held; this one follows it."
                  << std::endl;
        laterReceived.push_back(received);
    }
}

void PeerSynchronizer::confirm() {
    std::lock_guard<std::mutex> lock(sequenceMutex);
    if (!sentDiff.isDefined()) {
        std::cout << "PeerSynchronizer::onNotification() confirmation with nothing in flight ignored."
                  << std::endl;
        return;
    }
    // The own message first, then the held ones in arrival order.
    if (sentDiff.isDifference()) {
        taskQueue += sentDiff;
        rememberOwnVariables(sentDiff);
    } else {
        taskQueue = TaskQueue(sentDiff.clone());
    }
    sentDiff = TaskQueue();
    if (receivedDiff.isDefined()) applyDiff(receivedDiff, true);
    for (const TaskQueue& held : laterReceived) applyDiff(held, true);
    receivedDiff = TaskQueue();
    laterReceived.clear();
}

void PeerSynchronizer::applyDiff(TaskQueue d, bool held) {
    // Sum and difference build new values and never write into their operands, so a
    // handle on the old agreed queue is as good as a deep copy of it.
    const TaskQueue old = taskQueue;
    TaskQueue change;
    try {
        if (d.isDifference()) {
            const TaskQueue next = taskQueue + d;
            change = next - old;
            taskQueue = next;
        } else {
            // The agreed queue becomes the other end's whole queue. The local queue
            // gets only what that queue adds: a task it merely lacks (made here and
            // still on its way) must not reach the local queue as a deletion, nor an
            // older value of a variable this end set as a change. The next pass sends
            // both again.
            const TaskQueue next(d.clone());
            change = (old + next) - old;
            keepOwnVariables(change);
            // Every own difference confirmed before this queue arrived had reached
            // the other end before it sends its next full queue. A held queue came
            // before our last confirmation: what it predates stays noted.
            if (!held) ownVariables.clear();
            taskQueue = next;
        }
    } catch (const std::exception& e) {
        std::cout << "PeerSynchronizer::applyDiff() message not applied : " << e.what() << std::endl;
        return;
    }
    if (change.hasDifference()) deliverToEach(pushDifference, Receivers, change);
}

void PeerSynchronizer::rememberOwnVariables(const TaskQueue& sent) {
    if (!sent.has("tasks")) return;
    const kel::var& tasks = sent["tasks"];
    for (unsigned i = 0; i < tasks.size(); ++i) {
        const kel::var& task = tasks[i];
        if (!task.has("data") || !task["data"].isMap()) continue;
        std::set<std::string>& names = ownVariables[task["id"].stringValue()];
        for (const std::string& name : task["data"].keys()) names.insert(name);
    }
}

void PeerSynchronizer::keepOwnVariables(TaskQueue& change) const {
    if (ownVariables.empty() || !change.has("tasks")) return;
    kel::var tasks = change["tasks"];
    for (kel::var& task : tasks.arrayValue()) {
        auto own = ownVariables.find(task["id"].stringValue());
        if (own == ownVariables.end() || !task.has("data")) continue;
        kel::var data = task["data"];
        for (const std::string& name : own->second) data.remove(name);
        if (data.size() == 0) task.remove("data");
    }
}

}  // namespace Synchronization
}  // namespace Vant
