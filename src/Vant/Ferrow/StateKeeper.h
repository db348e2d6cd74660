// Vant::Ferrow::StateKeeper: the printer's registry of everything that runs: one
// state runner per state instance, the threads started for tasks, the named locks
// that tasks take and release, the global variables and the pending calibration
// action. Called from I/O pool threads (sessions, the driver's reports) and from
// every runner thread at once; each table has its own mutex.
//
// Actors and order:
//   service --makeRunner/start--> runner thread "_MainThread" --startThread--> more threads
//   runner threads --tryLocking/unlock/get/setVariable--> keeper tables
//   driver strand --onVariable--> globals ("Global:" + name)
//   session --pushCalibrationAction--> driver.pushGcode --progress 1.0--> idle again
//   ~StateKeeper: stopping() turns true, then every thread started here is joined
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <boost/asio/io_service.hpp>

#include "Vant/Driver/Driver.h"
#include "Vant/Driver/Lighting.h"
#include "Vant/Ferrow/FileCache.h"
#include "Vant/Ferrow/StateRunner.h"
#include "Vant/Synchronization/LocalSynchronizer.h"
#include "kel/var.h"

namespace Vant {
namespace Ferrow {

class StateKeeper {
public:
    StateKeeper(boost::asio::io_service& io, Vant::Synchronization::LocalSynchronizer& sync,
                Vant::Driver::Driver& driver, Vant::Driver::Lighting& lighting);
    StateKeeper(const StateKeeper&) = delete;
    StateKeeper& operator=(const StateKeeper&) = delete;
    // Asks every runner to leave (stopping()) and joins every thread started here.
    virtual ~StateKeeper();

    // The runner of (taskId, instanceId), made on first request; an existing runner
    // keeps its atomic flag. The reference stays valid as long as the keeper.
    StateRunner& makeRunner(const std::string& taskId, const std::string& instanceId, bool atomic);

    // Runs `runnable` on a new thread recorded under (taskId, threadName); a second
    // thread of the same name runs unrecorded. Nothing starts once the keeper stops.
    void startThread(const std::string& taskId, const std::string& threadName,
                     std::function<void()> runnable);
    // Returns at once: a task's threads are never waited for.
    void waitForThread(const std::string& taskId, const std::string& threadName);
    void clean();
    // True once the keeper is being destroyed: every waiting loop of a runner leaves.
    bool stopping() const { return stopRequested; }

    // Named locks belong to tasks, not threads: any thread of the holding task may
    // release them. tryLocking never blocks; taking a lock the task already holds fails.
    bool tryLocking(const std::string& taskId, const std::string& lockName);
    void lock(const std::string& taskId, const std::string& lockName);
    bool hasLock(const std::string& taskId, const std::string& lockName);
    void unlock(const std::string& taskId, const std::string& lockName);
    void unlockAll(const std::string& taskId);

    // Variables by prefix: "Lock:<name>" reads whether the task holds the lock (writes
    // are ignored), "Global:<name>" lives in the keeper, anything else in the task.
    bool hasVariable(const std::string& taskId, const std::string& variableName);
    kel::var getVariable(const std::string& taskId, const std::string& variableName);
    void setVariable(const std::string& taskId, const std::string& variableName, kel::var value);

    // One calibration step ("up" moves up, anything else down) while an adjustment
    // state runs and no other step is executing; dropped with a log line otherwise.
    void pushCalibrationAction(const std::string& action);
    // Called by the adjustment state when it starts: it accepts calibration actions
    // until it has ended.
    void setCalibratingStateRunner(StateRunner* runner);

    boost::asio::io_service& io;
    Vant::Synchronization::LocalSynchronizer& sync;
    Vant::Driver::Driver& driver;
    Vant::Driver::Lighting& lighting;
    FileCache fileCache;

    // How often a runner looks again while it waits (for a sub-state, a lock, a
    // parallel state's branches), and the step of a timed pause. The printer's values;
    // set before the first task starts.
    std::chrono::milliseconds pollInterval{100};
    std::chrono::milliseconds pauseStep{300};

private:
    typedef std::pair<std::string, std::string> Key;

    // The global variables, shared with the driver's report handler so that a report
    // arriving while the keeper is destroyed still finds them alive.
    struct Globals {
        std::mutex mutex;  // guards data: runner threads and the driver's strand
        kel::var data;
    };

    // Guards runners, threads, allThreads and stopRequested's effect on startThread:
    // the service's and sessions' pool threads and every runner thread.
    std::mutex registryMutex;
    std::map<Key, StateRunner> runners;
    std::map<Key, std::thread::id> threads;
    std::vector<std::thread> allThreads;
    std::atomic<bool> stopRequested{false};

    // Guards lockHolders; lockReleased wakes blocking lock() calls. Contended by the
    // runner threads of every task.
    std::mutex lockTableMutex;
    std::condition_variable lockReleased;
    std::map<std::string, std::string> lockHolders;  // lock name -> holding task id

    std::shared_ptr<Globals> globals;

    // Guards calibratingStateRunner: the adjustment state's thread and the session
    // handlers that push actions.
    std::mutex calibrationMutex;
    StateRunner* calibratingStateRunner = nullptr;
    // True while one calibration step executes: the exchange admits one at a time.
    // Shared with the driver's callback of the step in flight.
    std::shared_ptr<std::atomic<bool>> runningCalibrationAction = std::make_shared<std::atomic<bool>>(false);
};

}  // namespace Ferrow
}  // namespace Vant
