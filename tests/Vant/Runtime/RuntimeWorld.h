// The job runtime as the printer runs it, for tests: a board simulator, the motion
// driver and lighting controller on its pseudo-terminals, an I/O pool of five
// threads, the task queue and the state keeper (with short polling intervals).
// Tasks are started as the printer service starts them, and requests are answered
// the way a user answers them: by a difference that raises the instance's progress.
#pragma once

#include <set>
#include <sstream>

#include "ProgressLog.h"
#include "Vant/Driver/Lighting.h"
#include "Vant/Runtime/StateKeeper.h"
#include "Vant/StateMachine/StateType.h"
#include "Vant/Synchronization/LocalSynchronizer.h"
#include "support/StagedHome.h"

class RuntimeWorld {
public:
    typedef std::chrono::milliseconds ms;

    explicit RuntimeWorld(std::vector<std::string> simArguments = {"--time-scale", "200"})
        : sim(std::move(simArguments)), pool(5) {
        testsupport::stagedHome();  // the platform layer reads TOLVANE_HOME once, before any path
        driver.reset(new Vant::Driver::Driver(pool.io, sim.motionPath()));
        lighting.reset(new Vant::Driver::Lighting(pool.io, sim.lightingPath()));
        keeper.reset(new Vant::Runtime::StateKeeper(pool.io, sync, *driver, *lighting));
        keeper->pollInterval = ms(5);
        keeper->pauseStep = ms(30);
        if (!shakeHands(*driver))
            throw std::runtime_error("the simulated board did not answer the handshake");
    }

    // The pool goes first: no completion reaches a runner while the keeper joins its
    // threads.
    ~RuntimeWorld() {
        pool.stop();
        keeper.reset();
        lighting.reset();
        driver.reset();
    }

    // Makes a task of `stateType` with the given variables and starts its first
    // instance, as the printer service does for a new task.
    std::string startTask(const std::string& stateType,
                          const std::vector<std::pair<std::string, kel::var>>& variables = {}) {
        const std::string taskId = sync.makeTask(stateType);
        for (const auto& variable : variables) sync.setVariable(taskId, variable.first, variable.second);
        const std::string instanceId = sync.makeInstance(taskId, stateType);
        keeper->makeRunner(taskId, instanceId, false)->start();
        return taskId;
    }

    // Raises an instance's progress as a user's answer arrives: a difference of the queue.
    void answer(const std::string& taskId, const std::string& instanceId, double progress = 1.0) {
        Vant::StateMachine::TaskQueue before = sync.getQueue();
        Vant::StateMachine::TaskQueue after = sync.getQueue();
        Vant::StateMachine::Task task = after.getTask(taskId);
        task.getInstance(instanceId)["progress"] = progress;
        sync.onDifference(after - before);
    }

    // The instances of a task (of `stateType` only, when given), in id order.
    struct Instance {
        std::string stateType, id;
        double progress;
    };
    std::vector<Instance> instancesOf(const std::string& taskId, const std::string& stateType = "") {
        std::vector<Instance> found;
        for (auto& instance : sync.getTask(taskId).instances()) {
            const std::string type = instance["stateType"].stringValue();
            if (stateType.empty() || type == stateType)
                found.push_back({type, instance["id"].stringValue(), instance["progress"].realValue(0.0)});
        }
        return found;
    }

    // Waits until the task has an unanswered instance of the request `stateType` and
    // answers it; false at the deadline.
    bool answerRequest(const std::string& taskId, const std::string& stateType, ms deadline = ms(30000)) {
        return testsupport::waitUntil([&] { return answerOpen(taskId, stateType); }, deadline);
    }
    // Runs the task to its end, answering every request state as it comes; false when
    // the task is not done by the deadline.
    bool runToEnd(const std::string& taskId, ms deadline = ms(60000)) {
        return testsupport::waitUntil([&] { return (answerOpen(taskId, ""), sync.isTaskDone(taskId)); },
                                      deadline);
    }

    std::vector<std::string> commands(size_t from = 0) { return boardCommands(sim, from); }

    // The lighting modes received, by name, in order, once there are `count` (or the
    // deadline passed): the last may still travel when a task has ended.
    std::vector<std::string> lightingModes(size_t count = 0) {
        std::vector<std::string> modes;
        testsupport::waitUntil([&] {
            std::istringstream reply(sim.control("lighting"));
            std::string word;
            reply >> word;  // "ok"
            for (modes.clear(); reply >> word;) modes.push_back(word);
            return modes.size() >= count;
        });
        return modes;
    }

    BoardSim::Process sim;
    testsupport::IoPool pool;
    std::unique_ptr<Vant::Driver::Driver> driver;
    std::unique_ptr<Vant::Driver::Lighting> lighting;
    Vant::Synchronization::LocalSynchronizer sync;
    std::unique_ptr<Vant::Runtime::StateKeeper> keeper;

private:
    // Answers the first open request of `stateType` (of any request type when empty);
    // false when there was none.
    bool answerOpen(const std::string& taskId, const std::string& stateType) {
        for (const Instance& instance : instancesOf(taskId)) {
            const bool wanted =
                stateType.empty() ? isRequest(instance.stateType) : instance.stateType == stateType;
            if (wanted && instance.progress < 1.0 && answered.insert(instance.id).second) {
                answer(taskId, instance.id);
                return true;
            }
        }
        return false;
    }
    static bool isRequest(const std::string& stateType) {
        const kel::var& types = Vant::StateMachine::StateTypes;
        return types.has(stateType) && types[stateType].has("request") &&
               types[stateType]["request"].booleanValue(false);
    }
    std::set<std::string> answered;  // instance ids answered already; the test thread only
};

// Concatenates command lists: expected sequences are written from the catalogue's parts.
inline std::vector<std::string> operator+(std::vector<std::string> a, const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}
