// The soak's use of the printer: users (client library proxies) each running one
// task after another through a fixed mix of prints, maintenance, filament,
// calibration, Wi-Fi and service tasks, answering the printer's questions as a
// person would, cancelling some midway and deleting what ended. The run goes in
// phases of a few tasks; between phases, with the printer at rest, the daemon is read
// (Measure.h), restarted with the same key, or a user drops and comes back; within a
// phase the simulated board sends junk and loses its motion port for a while.
//
// clang-format off
//   phase: a user's task ends ──▶ its next starts ──▶ poll every 100 ms: answer
//          requests, cancel / fault at a midway state, check the end, the deadline,
//          the daemon, the client's deletion of finished service tasks
//   between phases: printer at rest ──▶ read the daemon ──▶ restart ──▶ user returns
// clang-format on
//
// Everything runs on the soak's main thread except the client library's own threads
// (an I/O pool of three, its listeners and synchronizer workers).
#pragma once

#include <chrono>
#include <csignal>
#include <cstdio>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/io_service.hpp>

#include "BoardSimProcess.h"
#include "Daemon.h"
#include "Measure.h"
#include "kel/bytes.h"

namespace Vant {
namespace User {
class User;
class Printer;
}  // namespace User
}  // namespace Vant

namespace Soak {

struct Settings {
    // The task types each user runs in turn (each user from its own place).
    std::vector<std::string> mix = {"Printing",  "Packaging",        "Maintaining",       "LoadingFilament",
                                    "WifiSetup", "EjectingFilament", "NozzleCalibration", "StartingUp"};
    unsigned tasks = 300;
    unsigned minutes = 0;  // when set, no task starts after this time
    unsigned users = 2;
    unsigned sampleEvery = 20;
    unsigned warmUp = 40;
    unsigned taskDeadline = 180;  // seconds
    unsigned idleSeconds = 3;
    bool prints = true;
    bool cancels = true;
    bool churn = true;
    bool restart = true;
    bool portLoss = true;
    bool garbage = true;
    bool stopCheck = true;
    bool verbose = false;
    unsigned cancelEvery = 9;
    unsigned portLossEvery = 40;
    unsigned garbageEvery = 10;
    unsigned churnEvery = 30;
    unsigned restartEvery = 100;
    Limits limits;
    std::string modelUrl;
    std::string modelMd5;
};

// Set by a signal handler when the soak is asked to stop (SIGINT, SIGTERM): the run then
// fails at its next poll and everything it started is ended.
extern volatile std::sig_atomic_t stopRequested;

// Whether the users know how to run tasks of that type (the types of the default mix).
bool knownTaskType(const std::string& stateType);

// What happened, for the verdict line.
struct Counts {
    unsigned tasks = 0;
    unsigned prints = 0;
    unsigned cancels = 0;
    unsigned portLosses = 0;
    unsigned garbage = 0;
    unsigned restarts = 0;
    unsigned returns = 0;
    unsigned autoDeleted = 0;
};

class Run {
public:
    Run(const Settings& settings, std::FILE* out, BoardSim::Process& sim, Daemon& daemon,
        kel::bytes printerKey);
    ~Run();
    Run(const Run&) = delete;
    Run& operator=(const Run&) = delete;

    // Runs the tasks; false at the first failure, which `failure` then describes.
    bool execute();
    // Adds a reading of the daemon as it is, busy or not, to the record (not counted).
    void readAtFailure();
    // Stops the daemon as a service manager does; false when it does not end well.
    bool finalStop();

    Record record;
    Counts counts;
    std::string failure;

private:
    enum class Fault { None, Cancel, PortLoss, Garbage };
    struct Slot;
    struct Job;
    using Clock = std::chrono::steady_clock;

    bool connectUser(Slot& slot);
    Vant::User::Printer* printerOf(Slot& slot);
    Job plan(std::size_t user);
    bool runPhase(unsigned budget);
    bool startJob(std::size_t user, std::unique_ptr<Job>& job);
    bool finish(Job& job);
    bool checkDeletions();
    bool step(Job& job);
    void answer(Job& job, Vant::User::Printer& printer, const std::string& instanceId,
                const std::string& type);
    void inject(Job& job);
    bool checkDaemon();
    bool waitIdle();
    bool sample();
    bool restartDaemon();
    bool userReturns();
    bool fail(const std::string& why);
    std::string runningStates(Vant::User::Printer& printer, const std::string& taskId);
    void say(const std::string& line);

    const Settings settings;
    std::FILE* out;
    BoardSim::Process& sim;
    Daemon& daemon;
    const kel::bytes printerKey;

    boost::asio::io_service io;
    std::unique_ptr<boost::asio::io_service::work> work;
    std::vector<std::thread> pool;
    std::vector<std::unique_ptr<Slot>> slots;
    const Clock::time_point begun = Clock::now();

    unsigned planned = 0;
    unsigned lifeTasks = 0;
    unsigned nextCancel, nextPortLoss, nextGarbage, nextChurn, nextRestart, nextSample;
    std::size_t nextReturning = 0;
    // The motion port is closed until reopenAt; tasks that ran until lossUntil may
    // end interrupted.
    bool portClosed = false;
    bool lossSeen = false;
    Clock::time_point reopenAt;
    Clock::time_point lossUntil;
    // Ids of every task made or seen before the current life of the daemon.
    std::set<std::string> earlierLives;
    std::set<std::string> madeThisLife;
    // Service tasks that ended: the client deletes them by itself; id -> (user, deadline).
    std::map<std::string, std::pair<std::size_t, Clock::time_point>> awaitingDeletion;
};

}  // namespace Soak
