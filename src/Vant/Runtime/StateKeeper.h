// Vant::Runtime::StateKeeper: the printer's registry of everything that runs: the
// runners of the state instances that still run, the threads started for tasks, the
// record of each running task (TaskRun), the named locks that tasks take and release,
// the global variables and the pending calibration action. Called from I/O pool
// threads (sessions, the driver's reports) and from every runner thread at once; each
// table has its own mutex. One thread of its own, the reaper, joins runner threads.
// Owned by the printer service (or a test); the task queue, driver and lighting
// controller it is given outlive it. Before it is destroyed the I/O service runs no
// more handlers (the pool is stopped and joined): the jobs' callbacks hold runners,
// which use the keeper. Its destructor makes every runner leave and joins them.
//
// Actors and order:
// clang-format off
//   service --makeRunner/start--> runner thread "_MainThread" --startThread--> more threads
//   runner threads --tryLocking/unlock/get/setVariable--> keeper tables, TaskRun
//   runner thread ends --finished--> reaper joins it, forgets runners and tasks nobody holds
//   service --taskDeleted--> TaskRun deleted: its runners see an interrupted task
//   driver strand --onVariable--> globals ("Global:" + name)
//   session --pushCalibrationAction--> driver.pushGcode --progress 1.0--> idle again
//   ~StateKeeper: stopping() turns true, the reaper joins every thread still running
// clang-format on
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
#include "Vant/Runtime/FileCache.h"
#include "Vant/Runtime/Slicer.h"
#include "Vant/Runtime/StateRunner.h"
#include "Vant/Runtime/TaskRun.h"
#include "Vant/Synchronization/LocalSynchronizer.h"
#include "kel/var.h"

namespace Vant {
namespace Runtime {

class StateKeeper {
public:
    StateKeeper(boost::asio::io_service& io, Vant::Synchronization::LocalSynchronizer& sync,
                Vant::Driver::Driver& driver, Vant::Driver::Lighting& lighting);
    StateKeeper(const StateKeeper&) = delete;
    StateKeeper& operator=(const StateKeeper&) = delete;
    // Asks every runner to leave (stopping()) and joins every thread started here.
    virtual ~StateKeeper();

    // The runner of (taskId, instanceId), made on first request; an existing runner
    // keeps its atomic flag. Whoever holds it keeps it alive (its thread, a parent
    // waiting for it, a job's callback); the keeper forgets it once nobody does.
    std::shared_ptr<StateRunner> makeRunner(const std::string& taskId, const std::string& instanceId,
                                            bool atomic);

    // Runs `runnable` on a new thread recorded under (taskId, threadName) until it ends;
    // a second thread of the same name runs unrecorded. The reaper joins it once it
    // has ended. Nothing starts once the keeper stops.
    void startThread(const std::string& taskId, const std::string& threadName,
                     std::function<void()> runnable);
    // Returns at once: a task's threads are never waited for.
    void waitForThread(const std::string& taskId, const std::string& threadName);
    void clean();
    // True once the keeper is being destroyed: every waiting loop of a runner leaves.
    bool stopping() const { return stopRequested; }
    // Runners and threads not yet forgotten or joined, for the soak and its tests.
    std::size_t runnerCount();
    std::size_t threadCount();

    // A user deleted the task: if anything of it still runs, it is interrupted from now
    // on and nothing of it reaches the queue any more. Nothing happens for a task
    // whose runners have all ended.
    void taskDeleted(const std::string& taskId);
    // A user changed a variable of the task: a running task's record follows.
    void variableChanged(const std::string& taskId, const std::string& name, const kel::var& value);

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
    void setCalibratingStateRunner(const std::shared_ptr<StateRunner>& runner);

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
    // How long a helper program may run before its process group is ended and its
    // state fails: the Wi-Fi script, and the slicer (large models take many minutes).
    std::chrono::milliseconds wifiScriptTimeout{std::chrono::minutes(3)};
    std::chrono::milliseconds slicerTimeout{Slicer::DefaultTimeout};

private:
    typedef std::pair<std::string, std::string> Key;

    // The record of a running task, made with its first runner.
    std::shared_ptr<TaskRun> taskRun(const std::string& taskId);
    // The record of the task if anything of it runs.
    std::shared_ptr<TaskRun> findTaskRun(const std::string& taskId);
    // The end of a runner thread, called on it as its last step.
    void threadEnded(const Key& name, std::thread::id id);
    // Joins ended threads until the keeper stops and none runs any more.
    void reap();
    // Forgets runners and task records that nobody holds any more; a task that ended
    // that way gives up the locks it still held (nothing of it could release them).
    void forgetEnded();

    // The global variables, shared with the driver's report handler so that a report
    // arriving while the keeper is destroyed still finds them alive.
    struct Globals {
        std::mutex mutex;  // guards data: runner threads and the driver's strand
        kel::var data;
    };

    // Guards runners, tasks, threads, running, finished and stopRequested's effect on
    // startThread: the service's and sessions' pool threads, every runner thread and
    // the reaper. Taken before a TaskRun's mutex and the queue's; never held while a
    // thread is joined.
    std::mutex registryMutex;
    std::map<Key, std::weak_ptr<StateRunner>> runners;  // (task id, instance id)
    std::map<std::string, std::weak_ptr<TaskRun>> tasks;
    std::map<Key, std::thread::id> threads;          // (task id, thread name)
    std::map<std::thread::id, std::thread> running;  // started, not yet joined
    std::vector<std::thread::id> finished;           // ended, to be joined
    std::condition_variable threadsChanged;          // wakes the reaper
    std::atomic<bool> stopRequested{false};
    std::thread reaper;

    // Guards lockHolders; lockReleased wakes blocking lock() calls. Contended by the
    // runner threads of every task.
    std::mutex lockTableMutex;
    std::condition_variable lockReleased;
    std::map<std::string, std::string> lockHolders;  // lock name -> holding task id

    std::shared_ptr<Globals> globals;

    // Guards calibratingStateRunner: the adjustment state's thread and the session
    // handlers that push actions. An adjustment that nobody holds any more has ended.
    std::mutex calibrationMutex;
    std::weak_ptr<StateRunner> calibratingStateRunner;
    // True while one calibration step executes: the exchange admits one at a time.
    // Shared with the driver's callback of the step in flight.
    std::shared_ptr<std::atomic<bool>> runningCalibrationAction = std::make_shared<std::atomic<bool>>(false);
};

}  // namespace Runtime
}  // namespace Vant
