#include "Vant/Runtime/StateKeeper.h"

#include <iostream>
#include <iterator>
#include <sstream>

#include "Vant/Log.h"

namespace Vant {
namespace Runtime {

namespace {

const std::string LockPrefix = "Lock:";
const std::string GlobalPrefix = "Global:";

bool hasPrefix(const std::string& name, const std::string& prefix) {
    return name.compare(0, prefix.size(), prefix) == 0;
}

}  // namespace

StateKeeper::StateKeeper(boost::asio::io_service& io, Vant::Synchronization::LocalSynchronizer& sync,
                         Vant::Driver::Driver& driver, Vant::Driver::Lighting& lighting)
    : io(io), sync(sync), driver(driver), lighting(lighting), globals(std::make_shared<Globals>()) {
    globals->data["Global:LightingMode"] = "Preparing";
    std::shared_ptr<Globals> store = globals;
    driver.onVariable = [store](std::string name, kel::var value) {
        const std::string fullName = GlobalPrefix + name;
        Vant::LogLine() << "StateKeeper::StateKeeper() driver.onVariable() setting global variable : " << fullName
                  << " = " << value.toJsonString();
        std::lock_guard<std::mutex> guard(store->mutex);
        store->data[fullName] = value.clone();
    };
    // Started last: everything it touches exists by now.
    reaper = std::thread([this] { reap(); });
}

StateKeeper::~StateKeeper() {
    {
        std::lock_guard<std::mutex> guard(registryMutex);
        stopRequested = true;
    }
    threadsChanged.notify_all();
    lockReleased.notify_all();
    // Every waiting loop of a runner leaves on stopping(); the reaper joins each
    // thread as it ends, also those started while others end, and then ends itself.
    reaper.join();
}

void StateKeeper::reap() {
    std::unique_lock<std::mutex> guard(registryMutex);
    for (;;) {
        threadsChanged.wait(guard,
                            [this] { return !finished.empty() || (stopRequested && running.empty()); });
        if (finished.empty()) return;
        std::vector<std::thread> ended;
        for (const std::thread::id& id : finished) {
            auto found = running.find(id);
            if (found == running.end()) continue;
            ended.push_back(std::move(found->second));
            running.erase(found);
        }
        finished.clear();
        guard.unlock();
        // Each has reported its end as its last step: the join returns at once.
        for (std::thread& thread : ended) thread.join();
        forgetEnded();
        guard.lock();
    }
}

void StateKeeper::forgetEnded() {
    std::vector<std::string> endedTasks;
    {
        std::lock_guard<std::mutex> guard(registryMutex);
        for (auto entry = runners.begin(); entry != runners.end();) {
            entry = entry->second.expired() ? runners.erase(entry) : std::next(entry);
        }
        for (auto entry = tasks.begin(); entry != tasks.end();) {
            if (entry->second.expired()) {
                endedTasks.push_back(entry->first);
                entry = tasks.erase(entry);
            } else {
                ++entry;
            }
        }
    }
    for (const std::string& taskId : endedTasks) {
        bool held = false;
        {
            std::lock_guard<std::mutex> guard(lockTableMutex);
            for (const auto& holder : lockHolders) held = held || holder.second == taskId;
        }
        if (!held) continue;
        logLine("StateKeeper::forgetEnded() task " + taskId + " has ended holding locks; released.");
        unlockAll(taskId);
    }
}

std::shared_ptr<TaskRun> StateKeeper::taskRun(const std::string& taskId) {
    std::shared_ptr<TaskRun> run = tasks[taskId].lock();
    if (!run) {
        run = std::make_shared<TaskRun>(sync, taskId);
        tasks[taskId] = run;
    }
    return run;
}

std::shared_ptr<TaskRun> StateKeeper::findTaskRun(const std::string& taskId) {
    std::lock_guard<std::mutex> guard(registryMutex);
    auto found = tasks.find(taskId);
    return found == tasks.end() ? nullptr : found->second.lock();
}

std::shared_ptr<StateRunner> StateKeeper::makeRunner(const std::string& taskId, const std::string& instanceId,
                                                     bool atomic) {
    std::lock_guard<std::mutex> guard(registryMutex);
    const Key key(taskId, instanceId);
    std::shared_ptr<StateRunner> runner = runners[key].lock();
    if (!runner) {
        runner = std::make_shared<StateRunner>(this, taskRun(taskId), instanceId, atomic);
        runners[key] = runner;
    }
    return runner;
}

void StateKeeper::startThread(const std::string& taskId, const std::string& threadName,
                              std::function<void()> runnable) {
    std::lock_guard<std::mutex> guard(registryMutex);
    if (stopRequested) return;
    const Key name(taskId, threadName);
    // The thread reports its end only after this entry is made: it needs the lock.
    std::thread thread([this, name, runnable]() mutable {
        try {
            runnable();
        } catch (...) {
            // The runners catch their own failures; whatever is left must not skip the
            // end's report, or the thread would never be joined.
            logLine("StateKeeper::startThread() a thread of task " + name.first + " ended by an exception.");
        }
        // What the work held (its runner, and through it the task's record) goes
        // before the end is reported, so the reaper finds it gone.
        runnable = nullptr;
        threadEnded(name, std::this_thread::get_id());
    });
    const std::thread::id id = thread.get_id();
    running.emplace(id, std::move(thread));
    threads.emplace(name, id);
}

void StateKeeper::threadEnded(const Key& name, std::thread::id id) {
    {
        std::lock_guard<std::mutex> guard(registryMutex);
        auto found = threads.find(name);
        if (found != threads.end() && found->second == id) threads.erase(found);
        finished.push_back(id);
    }
    threadsChanged.notify_all();
}

std::size_t StateKeeper::runnerCount() {
    std::lock_guard<std::mutex> guard(registryMutex);
    return runners.size();
}

std::size_t StateKeeper::threadCount() {
    std::lock_guard<std::mutex> guard(registryMutex);
    return running.size();
}

void StateKeeper::taskDeleted(const std::string& taskId) {
    std::shared_ptr<TaskRun> run = findTaskRun(taskId);
    if (!run || !run->markDeleted()) return;
    logLine("StateKeeper::taskDeleted() task " + taskId +
            " still runs: interrupted, its states report no longer to the queue.");
}

void StateKeeper::variableChanged(const std::string& taskId, const std::string& name, const kel::var& value) {
    if (std::shared_ptr<TaskRun> run = findTaskRun(taskId)) run->variableChanged(name, value);
}

void StateKeeper::waitForThread(const std::string&, const std::string&) {}

void StateKeeper::clean() {}

bool StateKeeper::tryLocking(const std::string& taskId, const std::string& lockName) {
    std::lock_guard<std::mutex> guard(lockTableMutex);
    return lockHolders.emplace(lockName, taskId).second;
}

void StateKeeper::lock(const std::string& taskId, const std::string& lockName) {
    std::unique_lock<std::mutex> guard(lockTableMutex);
    lockReleased.wait(guard, [&] { return stopRequested || lockHolders.count(lockName) == 0; });
    if (!stopRequested) lockHolders.emplace(lockName, taskId);
}

bool StateKeeper::hasLock(const std::string& taskId, const std::string& lockName) {
    std::lock_guard<std::mutex> guard(lockTableMutex);
    auto found = lockHolders.find(lockName);
    return found != lockHolders.end() && found->second == taskId;
}

void StateKeeper::unlock(const std::string& taskId, const std::string& lockName) {
    {
        std::lock_guard<std::mutex> guard(lockTableMutex);
        auto found = lockHolders.find(lockName);
        if (found == lockHolders.end() || found->second != taskId) return;
        lockHolders.erase(found);
    }
    lockReleased.notify_all();
}

void StateKeeper::unlockAll(const std::string& taskId) {
    {
        std::lock_guard<std::mutex> guard(lockTableMutex);
        for (auto entry = lockHolders.begin(); entry != lockHolders.end();) {
            if (entry->second == taskId) {
                entry = lockHolders.erase(entry);
            } else {
                ++entry;
            }
        }
    }
    lockReleased.notify_all();
}

bool StateKeeper::hasVariable(const std::string& taskId, const std::string& variableName) {
    if (hasPrefix(variableName, LockPrefix)) return true;
    if (hasPrefix(variableName, GlobalPrefix)) {
        std::lock_guard<std::mutex> guard(globals->mutex);
        return globals->data.has(variableName);
    }
    if (std::shared_ptr<TaskRun> run = findTaskRun(taskId)) return run->hasVariable(variableName);
    return sync.hasVariable(taskId, variableName);
}

kel::var StateKeeper::getVariable(const std::string& taskId, const std::string& variableName) {
    if (hasPrefix(variableName, LockPrefix))
        return kel::var(hasLock(taskId, variableName.substr(LockPrefix.size())));
    if (hasPrefix(variableName, GlobalPrefix)) {
        std::lock_guard<std::mutex> guard(globals->mutex);
        const kel::var& data = globals->data;
        return data.has(variableName) ? data[variableName].clone() : kel::var();
    }
    if (std::shared_ptr<TaskRun> run = findTaskRun(taskId)) return run->getVariable(variableName);
    return sync.getVariable(taskId, variableName);
}

void StateKeeper::setVariable(const std::string& taskId, const std::string& variableName, kel::var value) {
    if (hasPrefix(variableName, LockPrefix)) return;
    if (hasPrefix(variableName, GlobalPrefix)) {
        std::lock_guard<std::mutex> guard(globals->mutex);
        globals->data[variableName] = value.clone();
        return;
    }
    if (std::shared_ptr<TaskRun> run = findTaskRun(taskId)) return run->setVariable(variableName, value);
    sync.setVariable(taskId, variableName, value);
}

void StateKeeper::setCalibratingStateRunner(const std::shared_ptr<StateRunner>& runner) {
    std::lock_guard<std::mutex> guard(calibrationMutex);
    calibratingStateRunner = runner;
}

void StateKeeper::pushCalibrationAction(const std::string& action) {
    const std::string line = "StateKeeper::pushCalibrationAction(std::string action) action = " + action;
    std::shared_ptr<StateRunner> runner;
    {
        std::lock_guard<std::mutex> guard(calibrationMutex);
        runner = calibratingStateRunner.lock();
    }
    if (!runner || runner->ended()) {
        Vant::LogLine() << line << ", ignored (not calibrating)";
        return;
    }
    if (runningCalibrationAction->exchange(true)) {
        Vant::LogLine() << line << ", ignored (already running a action)";
        return;
    }
    Vant::LogLine() << line << ", executing\u2026";
    // The flag is shared with the callback: the driver may report after the keeper is gone.
    std::shared_ptr<std::atomic<bool>> running = runningCalibrationAction;
    driver.pushGcode(action == "up" ? "G71 Q0" : "G72 Q0",
                     [line, running](boost::system::error_code error, double progress) {
                         // A failed write never completes: without this the adjustment would accept no
                         // further step until the daemon restarts.
                         if (error) {
                             Vant::LogLine() << line << ", failed (" << error.message() << ")";
                             *running = false;
                             return;
                         }
                         if (progress != 1.0) {
                             std::ostringstream text;
                             text << line << ", executing\u2026 (progress=" << progress << ")";
                             Vant::LogLine() << text.str();
                             return;
                         }
                         // Free before the line: whoever reads it may send the next step.
                         *running = false;
                         Vant::LogLine() << line << ", executed.";
                     });
}

}  // namespace Runtime
}  // namespace Vant
