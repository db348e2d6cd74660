#include "Soak.h"

#include <algorithm>
#include <iterator>
#include <sstream>

#include "Vant/IoThread.h"
#include "Vant/StateMachine/StateType.h"
#include "Vant/StateMachine/Task.h"
#include "Vant/User/Printer.h"
#include "Vant/User/User.h"
#include "kel/var.h"

namespace Soak {

using Vant::StateMachine::StateInstance;
using Vant::StateMachine::Task;

namespace {

using namespace std::chrono_literals;

const auto PollInterval = 100ms;
const auto PortAway = 3s;
// Up to a minute for what takes the emulated daemon a few seconds (an announcement
// heard, a start-up task run).
const auto SettleDeadline = 60s;
const auto StartDeadline = 120s;
const auto StopGrace = 30s;  // the service unit's stop time-out
const auto AutoDeletion = 2s;
// A task that ran while the motion port was away, or within this time after it came
// back (the driver tries the port again every 2 s), may end interrupted.
const auto RecoveryGrace = 10s;

bool isRequest(const std::string& stateType) {
    const kel::var& types = Vant::StateMachine::StateTypes;
    return types.has(stateType) && types[stateType].has("request") &&
           types[stateType]["request"].booleanValue(false);
}

std::string percent(double progress) {
    std::ostringstream text;
    text << static_cast<int>(progress * 100) << " %";
    return text.str();
}

}  // namespace

namespace {

// A task the users run, and the state during which a cancel or a port loss strikes
// it (null: it is never struck).
struct TaskKind {
    const char* stateType;
    bool service;  // the client deletes it by itself once it has completed
    const char* midway;
};

// Every task the users know how to run.
const TaskKind Kinds[] = {
    {"Printing", false, "Layering"},
    {"Packaging", true, nullptr},
    {"Maintaining", false, "AutoLevelling"},
    {"LoadingFilament", true, "Heating"},
    {"WifiSetup", true, nullptr},
    {"EjectingFilament", true, "Cleaning"},
    {"NozzleCalibration", true, "InitialNS"},
    {"StartingUp", true, nullptr},
};

const TaskKind* kindOf(const std::string& stateType) {
    for (const TaskKind& kind : Kinds) {
        if (stateType == kind.stateType) return &kind;
    }
    return nullptr;
}

}  // namespace

volatile std::sig_atomic_t stopRequested = 0;

bool knownTaskType(const std::string& stateType) {
    return kindOf(stateType) != nullptr;
}

struct Run::Slot {
    kel::bytes key;
    std::unique_ptr<Vant::User::User> client;
    std::string kept;      // its last finished task, deleted once the next one has ended
    std::size_t next = 0;  // its place in the mix
};

struct Run::Job {
    std::size_t user = 0;
    const TaskKind* kind = nullptr;
    unsigned index = 0;  // 1-based number of the task in the run
    std::string taskId;
    Fault fault = Fault::None;
    bool struck = false;
    Clock::time_point started;
    Clock::time_point deadline;
    std::set<std::string> answered;
    std::string adjusting;  // the adjustment request being answered with nozzle moves
    Clock::time_point adjustingSince;
    bool ended = false;
    bool deleted = false;  // a service task another user's client deleted once it had ended
    std::string interruption;
};

Run::Run(const Settings& settings, std::FILE* out, BoardSim::Process& sim, Daemon& daemon,
         kel::bytes printerKey)
    : record(settings.warmUp, !emulatorWords().empty()),
      settings(settings),
      out(out),
      sim(sim),
      daemon(daemon),
      printerKey(printerKey),
      work(new boost::asio::io_service::work(io)),
      nextCancel(3),
      nextPortLoss(settings.portLossEvery),
      nextGarbage(5),
      nextChurn(settings.churnEvery),
      nextRestart(settings.restartEvery),
      nextSample(settings.sampleEvery) {
    for (int i = 0; i < 3; ++i) pool.emplace_back([this] { Vant::runIoService(io); });
    for (unsigned i = 0; i < settings.users; ++i) {
        slots.emplace_back(new Slot);
        slots.back()->key = kel::bytes(32).randomize();
        slots.back()->next = i * 3;  // users start at different places of the mix
    }
}

Run::~Run() {
    for (auto& slot : slots) {
        if (slot->client) slot->client->stop();
        slot->client.reset();
    }
    work.reset();
    io.stop();
    for (auto& thread : pool) thread.join();
}

void Run::say(const std::string& line) {
    std::fprintf(out, "%s\n", line.c_str());
    std::fflush(out);
}

bool Run::fail(const std::string& why) {
    if (failure.empty()) failure = why;
    return false;
}

Vant::User::Printer* Run::printerOf(Slot& slot) {
    Vant::User::Printer* printer = slot.client ? slot.client->getPrinter(printerKey) : nullptr;
    return printer != nullptr && printer->connected() ? printer : nullptr;
}

bool Run::connectUser(Slot& slot) {
    if (!slot.client) {
        Vant::User::ClientSettings clientSettings;
        clientSettings.autoDeletionDelay = AutoDeletion;
        // The users answer at once; the printer's own pace (a pass a second) is kept.
        clientSettings.sendingInterval = 100ms;
        slot.client.reset(new Vant::User::User(io, slot.key, clientSettings));
        slot.client->start();
    }
    const auto deadline = Clock::now() + SettleDeadline;
    while (printerOf(slot) == nullptr) {
        if (!checkDaemon()) return false;
        if (Clock::now() > deadline) {
            return fail("user " + slot.key.toHex().substr(0, 8) + " found no printer within " +
                        std::to_string(SettleDeadline.count()) + " s");
        }
        std::this_thread::sleep_for(PollInterval);
    }
    return true;
}

bool Run::checkDaemon() {
    if (stopRequested) return fail("the soak was asked to stop");
    std::string how;
    if (!daemon.running(how)) return fail("the daemon " + how + "; its last lines:\n" + daemon.tail(20));
    std::string replayed;
    unsigned count = 0;
    for (const std::string& id : daemon.newTasks()) {
        if (earlierLives.count(id) == 0) continue;
        ++count;
        replayed += " " + id;
    }
    if (count > 0) {
        return fail("after a restart the printer started again " + std::to_string(count) +
                    " task(s) from before it:" + replayed);
    }
    return true;
}

Run::Job Run::plan(std::size_t user) {
    Slot& slot = *slots[user];
    Job job;
    do {
        job.kind = kindOf(settings.mix[slot.next++ % settings.mix.size()]);
    } while (!settings.prints && std::string(job.kind->stateType) == "Printing");
    job.user = user;
    job.index = ++planned;
    if (job.kind->midway != nullptr) {
        if (settings.portLoss && job.index >= nextPortLoss) {
            job.fault = Fault::PortLoss;
            nextPortLoss = job.index + settings.portLossEvery;
        } else if (settings.cancels && job.index >= nextCancel) {
            job.fault = Fault::Cancel;
            nextCancel = job.index + settings.cancelEvery;
        }
    }
    if (job.fault == Fault::None && settings.garbage && job.index >= nextGarbage) {
        job.fault = Fault::Garbage;
        nextGarbage = job.index + settings.garbageEvery;
    }
    job.started = Clock::now();
    job.deadline = job.started + std::chrono::seconds(settings.taskDeadline);
    return job;
}

void Run::answer(Job& job, Vant::User::Printer& printer, const std::string& instanceId,
                 const std::string& type) {
    Vant::Synchronization::LocalSynchronizer& queue = printer.taskQueue();
    if (type == "AskAdjustment") {
        // A person nudges the nozzle up a few times before saying it is right.
        if (job.adjusting != instanceId) {
            job.adjusting = instanceId;
            job.adjustingSince = Clock::now();
            printer.startCalibrationMovement("up");
            return;
        }
        if (Clock::now() - job.adjustingSince < 1s) return;
        printer.stopCalibrationMovement();
    } else if (type == "Uploading") {
        queue.setVariable(job.taskId, "fileLink", kel::var(settings.modelUrl));
        queue.setVariable(job.taskId, "fileId", kel::var(settings.modelMd5));
    } else if (type == "AskWifiDetails") {
        queue.setVariable(job.taskId, "WifiDetails.Ssid", kel::var("Soak Net"));
        queue.setVariable(job.taskId, "WifiDetails.Password", kel::var("soak-pass"));
    }
    job.answered.insert(instanceId);
    queue.updateInstanceProgress(job.taskId, instanceId, 1.0);
}

void Run::inject(Job& job) {
    job.struck = true;
    if (job.fault == Fault::Cancel) {
        if (Vant::User::Printer* printer = printerOf(*slots[job.user])) {
            printer->taskQueue().setVariable(job.taskId, "Interrupted", kel::var("Cancelled"));
            ++counts.cancels;
        }
    } else if (job.fault == Fault::PortLoss) {
        sim.control("close");
        portClosed = true;
        reopenAt = Clock::now() + PortAway;
        lossSeen = true;
        lossUntil = reopenAt + RecoveryGrace;
        ++counts.portLosses;
    } else if (job.fault == Fault::Garbage) {
        sim.control("garbage");
        sim.control("longline");
        ++counts.garbage;
    }
}

std::string Run::runningStates(Vant::User::Printer& printer, const std::string& taskId) {
    std::string states;
    const Task task = printer.taskQueue().getTask(taskId);
    if (!task.isMap() || !task.has("instances")) return " (none)";
    for (const StateInstance& instance : task.instances()) {
        const double progress = instance.progress();
        if (progress < 0 || progress >= 1.0) continue;
        states +=
            (states.empty() ? " " : ", ") + instance["stateType"].stringValue("?") + " " + percent(progress);
    }
    return states.empty() ? " (none)" : states;
}

bool Run::step(Job& job) {
    Vant::User::Printer* printer = printerOf(*slots[job.user]);
    const std::string name =
        "task " + job.taskId + " (" + job.kind->stateType + ", task " + std::to_string(job.index) + ")";
    if (printer != nullptr) {
        Vant::Synchronization::LocalSynchronizer& queue = printer->taskQueue();
        const Task task = queue.getTask(job.taskId);
        if (!task.isMap() || task.isDeletion() || !task.has("stateType")) {
            // Every user's client deletes a finished service task a while after it
            // completes; a user whose copy lags behind may hear of the deletion first.
            if (!job.kind->service) return fail(name + " left the user's copy of the queue before it ended");
            job.ended = job.deleted = true;
            return true;
        }
        double rootProgress = 0;
        bool midway = false;
        std::size_t instances = 0;
        for (const StateInstance& instance : task.instances()) {
            const std::string type = instance["stateType"].stringValue("");
            const std::string id = instance["id"].stringValue("");
            const double progress = instance.progress();
            ++instances;
            if (type == job.kind->stateType) rootProgress = progress;
            if (job.kind->midway != nullptr && type == job.kind->midway) midway = true;
            if (isRequest(type) && progress >= 0 && progress < 1.0 && job.answered.count(id) == 0) {
                answer(job, *printer, id, type);
            }
        }
        const bool done = rootProgress == 1.0 || rootProgress < 0;
        if (!done && !job.struck &&
            ((job.fault == Fault::Garbage && instances >= 3) || (job.fault != Fault::None && midway))) {
            inject(job);
        }
        if (done) {
            job.ended = true;
            if (queue.hasVariable(job.taskId, "Interrupted")) {
                const kel::var value = queue.getVariable(job.taskId, "Interrupted");
                job.interruption = value.isString() ? value.stringValue() : value.toJsonString();
            }
            if (rootProgress < 0)
                return fail(name + " failed (progress " + std::to_string(rootProgress) + ")");
            return true;
        }
    }
    if (Clock::now() > job.deadline) {
        std::string why = name + " did not end within " + std::to_string(settings.taskDeadline) + " s; " +
                          (printer != nullptr ? "unfinished:" + runningStates(*printer, job.taskId)
                                              : std::string("its user has no connection to the printer"));
        if (lossSeen) {
            why += " (the motion port was lost and came back " +
                   std::to_string(
                       std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - reopenAt).count()) +
                   " s ago)";
        }
        const std::string exception = daemon.lastException();
        if (!exception.empty()) why += "; the daemon's last exception: " + exception;
        return fail(why);
    }
    return true;
}

bool Run::startJob(std::size_t user, std::unique_ptr<Job>& job) {
    if (!connectUser(*slots[user])) return false;
    Vant::User::Printer* printer = printerOf(*slots[user]);
    if (printer == nullptr) return fail("a user lost its connection to the printer");
    job.reset(new Job(plan(user)));
    Vant::Synchronization::LocalSynchronizer& queue = printer->taskQueue();
    job->taskId = queue.makeTask(job->kind->stateType);
    if (std::string(job->kind->stateType) == "Maintaining") {
        queue.setVariable(job->taskId, "Maintaining.Type", kel::var(job->index % 2 ? "Ejecting" : "Loading"));
    }
    madeThisLife.insert(job->taskId);
    return true;
}

bool Run::finish(Job& job) {
    const std::string name =
        "task " + job.taskId + " (" + job.kind->stateType + ", task " + std::to_string(job.index) + ")";
    const bool portLost = lossSeen && job.started <= lossUntil;
    if (settings.verbose) {
        char line[160];
        std::snprintf(line, sizeof line, "  task %4u  %-18s user %zu %6.1f s  %s", job.index,
                      job.kind->stateType, job.user + 1,
                      std::chrono::duration<double>(Clock::now() - job.started).count(),
                      job.deleted                ? "ended, deleted by a client"
                      : job.interruption.empty() ? "completed"
                                                 : ("interrupted: " + job.interruption).c_str());
        say(line);
    }
    if (!job.interruption.empty()) {
        // A cancel during a job (layering, say) may be named after the job it stopped.
        const bool expected = portLost || job.fault == Fault::Cancel;
        if (!expected) {
            std::string why = name + " was interrupted: " + job.interruption;
            if (lossSeen) {
                why += " (it started " +
                       std::to_string(
                           std::chrono::duration_cast<std::chrono::seconds>(job.started - reopenAt).count()) +
                       " s after the motion port came back)";
            }
            return fail(why);
        }
    } else if (std::string(job.kind->stateType) == "Printing") {
        ++counts.prints;
    }
    ++counts.tasks;
    ++lifeTasks;
    Slot& slot = *slots[job.user];
    if (job.kind->service) {
        if (job.deleted) return true;
        awaitingDeletion[job.taskId] = {job.user, Clock::now() + AutoDeletion + SettleDeadline};
        return true;
    }
    // The last finished task stays on show until the next one has ended.
    if (Vant::User::Printer* printer = printerOf(slot)) {
        if (!slot.kept.empty()) printer->taskQueue().deleteTask(slot.kept);
    }
    slot.kept = job.taskId;
    return true;
}

bool Run::checkDeletions() {
    for (auto entry = awaitingDeletion.begin(); entry != awaitingDeletion.end();) {
        Vant::User::Printer* printer = printerOf(*slots[entry->second.first]);
        const Task task = printer != nullptr ? printer->taskQueue().getTask(entry->first) : Task();
        if (printer != nullptr && (!task.isMap() || task.isDeletion() || !task.has("stateType"))) {
            ++counts.autoDeleted;
            entry = awaitingDeletion.erase(entry);
            continue;
        }
        if (Clock::now() > entry->second.second) {
            return fail("the finished service task " + entry->first +
                        " was not deleted by its client within " + std::to_string(SettleDeadline.count()) +
                        " s");
        }
        ++entry;
    }
    return true;
}

bool Run::runPhase(unsigned budget) {
    // Each user starts its next task as soon as its last one has ended, until the
    // phase has started `budget` tasks; the phase ends when all have ended.
    std::vector<std::unique_ptr<Job>> jobs(slots.size());
    unsigned started = 0;
    for (;;) {
        if (!checkDaemon()) return false;
        if (portClosed && Clock::now() >= reopenAt) {
            sim.control("reopen");
            portClosed = false;
            lossUntil = Clock::now() + RecoveryGrace;
        }
        bool busy = portClosed;
        for (std::size_t user = 0; user < jobs.size(); ++user) {
            if (!jobs[user] && started < budget) {
                if (!startJob(user, jobs[user])) return false;
                ++started;
            }
            if (!jobs[user]) continue;
            busy = true;
            if (!step(*jobs[user])) return false;
            if (!jobs[user]->ended) continue;
            if (!finish(*jobs[user])) return false;
            jobs[user].reset();
        }
        if (!checkDeletions()) return false;
        if (!busy && started >= budget) return true;
        std::this_thread::sleep_for(PollInterval);
    }
}

bool Run::waitIdle() {
    const auto deadline = Clock::now() + SettleDeadline;
    for (;;) {
        if (!checkDaemon()) return false;
        bool idle = true;
        std::string busy;
        for (auto& slot : slots) {
            Vant::User::Printer* printer = printerOf(*slot);
            if (printer == nullptr) {
                idle = false;
                busy = "a user has no connection";
                continue;
            }
            const kel::var queue = printer->taskQueue().getQueue();
            if (!queue.isMap() || !queue.has("tasks")) continue;
            const kel::var& tasks = queue["tasks"];
            for (unsigned i = 0; i < tasks.size(); ++i) {
                const Task task = tasks[i];
                if (task.isDeletion() || !task.has("stateType")) continue;
                const std::string root = task["stateType"].stringValue("");
                bool ended = false;
                for (const StateInstance& instance : task.instances()) {
                    const double progress = instance.progress();
                    if (instance["stateType"].stringValue("") == root)
                        ended = progress == 1.0 || progress < 0;
                }
                if (!ended) {
                    idle = false;
                    busy = "task " + task["id"].stringValue("?") + " (" + root +
                           ") runs:" + runningStates(*printer, task["id"].stringValue(""));
                }
            }
        }
        // The client's deletions of finished service tasks are part of the work.
        if (!checkDeletions()) return false;
        if (!awaitingDeletion.empty()) {
            idle = false;
            busy = "finished service tasks wait for their deletion";
        }
        if (idle) return true;
        if (Clock::now() > deadline) {
            return fail("the printer did not come to rest within " + std::to_string(SettleDeadline.count()) +
                        " s: " + busy);
        }
        std::this_thread::sleep_for(PollInterval);
    }
}

bool Run::sample() {
    if (!waitIdle()) return false;
    Sample s;
    s.tasks = counts.tasks;
    s.life = daemon.life();
    s.lifeTasks = lifeTasks;
    if (!readProcess(daemon.pid(), !emulatorWords().empty(), s.reading)) {
        return fail("cannot read /proc of the daemon");
    }
    const double before = threadCpuSeconds(daemon.pid());
    std::this_thread::sleep_for(std::chrono::seconds(settings.idleSeconds));
    const double after = threadCpuSeconds(daemon.pid());
    if (before >= 0 && after >= before) s.idleCpuPercent = (after - before) * 100.0 / settings.idleSeconds;
    record.add(s);
    char line[240];
    std::snprintf(line, sizeof line,
                  "  %6.0f s %4u tasks (life %u): address space %.1f MB, resident %.1f MB%s, %.0f threads, "
                  "%.0f fds, CPU %.1f s, idle %.2f %%",
                  std::chrono::duration<double>(Clock::now() - begun).count(), s.tasks, s.life,
                  s.reading.addressKb / 1024, s.reading.residentKb / 1024,
                  record.emulated()
                      ? (" (" + std::to_string(static_cast<int>(s.reading.processResidentKb / 1024)) +
                         " MB with the emulator)")
                            .c_str()
                      : "",
                  s.reading.threads, s.reading.descriptors, s.reading.cpuSeconds, s.idleCpuPercent);
    say(line);
    return true;
}

bool Run::restartDaemon() {
    // At rest, so that nothing a user sent is still on its way when the printer goes.
    if (!waitIdle()) return false;
    earlierLives.insert(madeThisLife.begin(), madeThisLife.end());
    for (const std::string& id : daemon.newTasks()) earlierLives.insert(id);
    madeThisLife.clear();
    std::string how;
    const bool orderly = daemon.stop(StopGrace, how);
    if (settings.stopCheck && !orderly) {
        return fail("asked to stop (SIGTERM) for a restart, the daemon " + how +
                    " instead of exiting with status 0");
    }
    std::string why;
    if (!daemon.start(std::chrono::duration_cast<std::chrono::seconds>(StartDeadline), why)) {
        return fail("the daemon did not start again: " + why + "\n" + daemon.tail(20));
    }
    ++counts.restarts;
    lifeTasks = 0;
    awaitingDeletion.clear();  // the new printer's queue starts empty
    say("  restarted the printer with the same key (life " + std::to_string(daemon.life()) + ")");
    for (auto& slot : slots) {
        if (!connectUser(*slot)) return false;
    }
    return sample();
}

bool Run::userReturns() {
    Slot& slot = *slots[nextReturning++ % slots.size()];
    slot.client->stop();
    slot.client.reset();
    std::this_thread::sleep_for(1s);
    for (auto entry = awaitingDeletion.begin(); entry != awaitingDeletion.end();) {
        entry = &slot == slots[entry->second.first].get() ? awaitingDeletion.erase(entry) : std::next(entry);
    }
    if (!connectUser(slot)) return false;
    ++counts.returns;
    return true;
}

bool Run::execute() {
    try {
        say("soak: " + std::to_string(settings.tasks) + " tasks by " + std::to_string(settings.users) +
            " user(s); the daemon is read every " + std::to_string(settings.sampleEvery) + " tasks");
        for (auto& slot : slots) {
            if (!connectUser(*slot)) return false;
        }
        if (!sample()) return false;
        while (counts.tasks < settings.tasks) {
            unsigned phaseEnd = std::min(nextSample, settings.tasks);
            if (settings.restart) phaseEnd = std::min(phaseEnd, nextRestart);
            if (settings.churn) phaseEnd = std::min(phaseEnd, nextChurn);
            if (!runPhase(phaseEnd - counts.tasks)) return false;
            const bool outOfTime =
                settings.minutes > 0 && Clock::now() - begun >= std::chrono::minutes(settings.minutes);
            const bool last = counts.tasks >= settings.tasks || outOfTime;
            if (counts.tasks >= nextSample || last) {
                if (!sample()) return false;
                nextSample = counts.tasks + settings.sampleEvery;
            }
            if (last) break;
            if (settings.restart && counts.tasks >= nextRestart) {
                if (!restartDaemon()) return false;
                nextRestart = counts.tasks + settings.restartEvery;
            }
            if (settings.churn && counts.tasks >= nextChurn) {
                if (!userReturns()) return false;
                nextChurn = counts.tasks + settings.churnEvery;
            }
        }
        return true;
    } catch (const std::exception& e) {
        return fail(std::string("the soak itself failed: ") + e.what());
    }
}

void Run::readAtFailure() {
    Sample s;
    s.tasks = counts.tasks;
    s.life = daemon.life();
    s.lifeTasks = lifeTasks;
    s.atRest = false;
    std::string ignoredHow;
    if (daemon.running(ignoredHow) && readProcess(daemon.pid(), !emulatorWords().empty(), s.reading)) {
        record.add(s);
    }
}

bool Run::finalStop() {
    std::string how;
    const bool orderly = daemon.stop(StopGrace, how);
    if (settings.stopCheck && !orderly) {
        return fail("asked to stop (SIGTERM), the daemon " + how + " instead of exiting with status 0");
    }
    return true;
}

}  // namespace Soak
