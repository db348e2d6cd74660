#include "Vant/Ferrow/StateKeeper.h"

#include <iostream>
#include <sstream>
#include <tuple>

namespace Vant {
namespace Ferrow {

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
        std::cout << "StateKeeper::StateKeeper() driver.onVariable() setting global variable : " << fullName
                  << " = " << value.toJsonString() << std::endl;
        std::lock_guard<std::mutex> guard(store->mutex);
        store->data[fullName] = value.clone();
    };
}

StateKeeper::~StateKeeper() {
    stopRequested = true;
    lockReleased.notify_all();
    // Threads may start further threads while they end: join until none is left.
    for (;;) {
        std::vector<std::thread> ending;
        {
            std::lock_guard<std::mutex> guard(registryMutex);
            ending.swap(allThreads);
        }
        if (ending.empty()) break;
        for (std::thread& thread : ending) {
            if (thread.get_id() == std::this_thread::get_id()) {
                thread.detach();
            } else {
                thread.join();
            }
        }
    }
}

StateRunner& StateKeeper::makeRunner(const std::string& taskId, const std::string& instanceId, bool atomic) {
    std::lock_guard<std::mutex> guard(registryMutex);
    const Key key(taskId, instanceId);
    auto found = runners.find(key);
    if (found != runners.end()) return found->second;
    return runners
        .emplace(std::piecewise_construct, std::forward_as_tuple(key),
                 std::forward_as_tuple(this, taskId, instanceId, atomic))
        .first->second;
}

void StateKeeper::startThread(const std::string& taskId, const std::string& threadName,
                              std::function<void()> runnable) {
    std::lock_guard<std::mutex> guard(registryMutex);
    if (stopRequested) return;
    allThreads.emplace_back(std::move(runnable));
    threads.emplace(Key(taskId, threadName), allThreads.back().get_id());
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
    return sync.getVariable(taskId, variableName);
}

void StateKeeper::setVariable(const std::string& taskId, const std::string& variableName, kel::var value) {
    if (hasPrefix(variableName, LockPrefix)) return;
    if (hasPrefix(variableName, GlobalPrefix)) {
        std::lock_guard<std::mutex> guard(globals->mutex);
        globals->data[variableName] = value.clone();
        return;
    }
    sync.setVariable(taskId, variableName, value);
}

void StateKeeper::setCalibratingStateRunner(StateRunner* runner) {
    std::lock_guard<std::mutex> guard(calibrationMutex);
    calibratingStateRunner = runner;
}

void StateKeeper::pushCalibrationAction(const std::string& action) {
    const std::string line = "StateKeeper::pushCalibrationAction(std::string action) action = " + action;
    StateRunner* runner;
    {
        std::lock_guard<std::mutex> guard(calibrationMutex);
        runner = calibratingStateRunner;
    }
    if (runner == nullptr || runner->ended()) {
        std::cout << line << ", ignored (not calibrating)" << std::endl;
        return;
    }
    if (runningCalibrationAction->exchange(true)) {
        std::cout << line << ", ignored (already running a action)" << std::endl;
        return;
    }
    std::cout << line << ", executing\u2026" << std::endl;
    // The flag is shared with the callback: the driver may report after the keeper is gone.
    std::shared_ptr<std::atomic<bool>> running = runningCalibrationAction;
    driver.pushGcode(action == "up" ? "G71 Q0" : "G72 Q0",
                     [line, running](boost::system::error_code error, double progress) {
                         // A failed write never completes: without this the adjustment would accept no
                         // further step until the daemon restarts.
                         if (error) {
                             std::cout << line << ", failed (" << error.message() << ")" << std::endl;
                             *running = false;
                             return;
                         }
                         if (progress != 1.0) {
                             std::ostringstream text;
                             text << line << ", executing\u2026 (progress=" << progress << ")";
                             std::cout << text.str() << std::endl;
                             return;
                         }
                         std::cout << line << ", executed." << std::endl;
                         *running = false;
                     });
}

}  // namespace Ferrow
}  // namespace Vant
