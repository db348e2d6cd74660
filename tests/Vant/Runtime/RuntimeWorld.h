// The job runtime as the printer runs it, on a board simulator, with short polling
// intervals; requests are answered as a user does, by a difference of the queue.
#pragma once

#include <set>
#include <sstream>

#include "ProgressLog.h"
#include "Vant/Driver/Lighting.h"
#include "Vant/Runtime/StateKeeper.h"
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

    // The pool goes first: no completion reaches a runner while the keeper joins.
    ~RuntimeWorld() {
        pool.stop();
        keeper.reset();
        lighting.reset();
        driver.reset();
    }

    std::string startTask(const std::string& stateType,
                          const std::vector<std::pair<std::string, kel::var>>& variables = {}) {
        const std::string taskId = sync.makeTask(stateType);
        for (const auto& variable : variables) sync.setVariable(taskId, variable.first, variable.second);
        const std::string instanceId = sync.makeInstance(taskId, stateType);
        keeper->makeRunner(taskId, instanceId, false)->start();
        return taskId;
    }

    void answer(const std::string& taskId, const std::string& instanceId, double progress = 1.0) {
        // Both copies come before the change, or the difference could undo the runner's.
        const Vant::StateMachine::TaskQueue before = sync.getQueue();
        Vant::StateMachine::TaskQueue after = sync.getQueue();
        after.getTask(taskId).getInstance(instanceId)["progress"] = progress;
        sync.onDifference(after - before);
    }

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

    bool answerRequest(const std::string& taskId, const std::string& stateType, ms deadline = ms(30000)) {
        return testsupport::waitUntil([&] { return answerOpen(taskId, stateType); }, deadline);
    }
    // Runs the task to its end, answering every request as it comes.
    bool runToEnd(const std::string& taskId, ms deadline = ms(60000)) {
        return testsupport::waitUntil([&] { return (answerOpen(taskId, ""), sync.isTaskDone(taskId)); },
                                      deadline);
    }

    std::vector<std::string> commands(size_t from = 0) { return boardCommands(sim, from); }

    // The lighting modes received, once there are `count`: the last may still travel.
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
    std::set<std::string> answered;  // instance ids answered already; the test thread only
};

// Concatenates command lists.
inline std::vector<std::string> operator+(std::vector<std::string> a, const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}
