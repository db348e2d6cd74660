#include "Vant/Runtime/StateKeeper.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "BoardSimProcess.h"
#include "ProgressLog.h"
#include "Vant/StateMachine/build.h"
#include "support/AsyncTest.h"

using Vant::Runtime::StateKeeper;
using Vant::Runtime::StateRunner;
using Vant::StateMachine::StateType;
using Vant::StateMachine::StateTypes;

namespace {

// A keeper over a queue, with a driver and a lighting controller on the board
// simulator (answering at once) and a pool of two threads.
class StateKeeperTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { Vant::StateMachine::buildStateMachine(); }

    void SetUp() override {
        driver.reset(new Vant::Driver::Driver(pool.io, sim.motionPath()));
        lighting.reset(new Vant::Driver::Lighting(pool.io, sim.lightingPath()));
        ASSERT_TRUE(shakeHands(*driver));
        keeper.reset(new StateKeeper(pool.io, sync, *driver, *lighting));
    }

    void TearDown() override {
        keeper.reset();
        pool.stop();
        lighting.reset();
        driver.reset();
    }

    // Commands the board received after the handshake.
    std::vector<std::string> commandsReceived() {
        std::vector<std::string> commands;
        const auto lines = sim.received();
        for (size_t i = 1; i < lines.size(); ++i) {
            const auto blank = lines[i].find(' ');
            commands.push_back(lines[i].substr(blank + 1, lines[i].rfind('*') - blank - 1));
        }
        return commands;
    }

    BoardSim::Process sim{{"--instant", "--no-temperature-reports"}};
    IoPool pool;
    std::unique_ptr<Vant::Driver::Driver> driver;
    std::unique_ptr<Vant::Driver::Lighting> lighting;
    Vant::Synchronization::LocalSynchronizer sync;
    std::unique_ptr<StateKeeper> keeper;
};

TEST_F(StateKeeperTest, RunnersAreMadeOncePerInstance) {
    const std::shared_ptr<StateRunner> first = keeper->makeRunner("t1", "i1", true);
    const std::shared_ptr<StateRunner> again = keeper->makeRunner("t1", "i1", false);
    EXPECT_EQ(first, again);
    EXPECT_TRUE(again->isAtomic());
    EXPECT_NE(first, keeper->makeRunner("t1", "i2", false));
}

// Locks belong to tasks: another task cannot take a held lock, any thread of the
// holding task may release it, and "Lock:" variables read the holder's view.
TEST_F(StateKeeperTest, NamedLocksBelongToTasks) {
    const std::string a = sync.makeTask("Packaging"), b = sync.makeTask("Packaging");
    ASSERT_TRUE(keeper->tryLocking(a, "Mechanicals"));
    EXPECT_FALSE(keeper->tryLocking(b, "Mechanicals"));
    EXPECT_FALSE(keeper->tryLocking(a, "Mechanicals"));
    EXPECT_TRUE(keeper->getVariable(a, "Lock:Mechanicals").booleanValue());
    EXPECT_FALSE(keeper->getVariable(b, "Lock:Mechanicals").booleanValue());
    EXPECT_TRUE(keeper->hasVariable(b, "Lock:Anything"));
    keeper->setVariable(b, "Lock:Mechanicals", kel::var(true));
    EXPECT_FALSE(keeper->hasLock(b, "Mechanicals"));

    // b waits in lock() until a releases the lock from another thread.
    std::thread waiting([&] { keeper->lock(b, "Mechanicals"); });
    std::thread([&] { keeper->unlock(a, "Mechanicals"); }).join();
    waiting.join();
    EXPECT_TRUE(keeper->hasLock(b, "Mechanicals"));
    keeper->unlock(a, "Mechanicals");  // not a's any more: nothing happens
    EXPECT_TRUE(keeper->hasLock(b, "Mechanicals"));
    ASSERT_TRUE(keeper->tryLocking(b, "Heater"));
    keeper->unlockAll(b);
    EXPECT_FALSE(keeper->hasLock(b, "Mechanicals"));
    EXPECT_TRUE(keeper->tryLocking(a, "Heater"));
}

TEST_F(StateKeeperTest, VariablesLiveWhereTheirPrefixSays) {
    const std::string a = sync.makeTask("Packaging"), b = sync.makeTask("Packaging");
    EXPECT_EQ(keeper->getVariable(a, "Global:LightingMode").stringValue(), "Preparing");
    keeper->setVariable(a, "Global:Shared", kel::var(3));
    EXPECT_EQ(keeper->getVariable(b, "Global:Shared").integerValue(), 3);
    EXPECT_FALSE(sync.hasVariable(a, "Global:Shared"));
    keeper->setVariable(a, "Own", kel::var("x"));
    EXPECT_TRUE(sync.hasVariable(a, "Own"));
    EXPECT_FALSE(keeper->hasVariable(b, "Own"));

    // A board report becomes the global variable of its name.
    sim.control("bed on");
    driver->pushGcode("M119", nullptr);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!keeper->hasVariable(a, "Global:LightSensorOn") && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_TRUE(keeper->getVariable(b, "Global:LightSensorOn").booleanValue());
}

// Calibration steps are taken only while an adjustment state runs, one at a time.
TEST_F(StateKeeperTest, CalibrationActionsMoveOnlyWhileAdjusting) {
    testsupport::CapturedStdout log;
    // Waits until the log holds `count` lines that end so.
    auto logged = [&log](const std::string& ending, size_t count) {
        return testsupport::waitUntil([&] {
            const std::string text = log.text();
            size_t found = 0;
            for (auto at = text.find(ending + "\n"); at != std::string::npos;
                 at = text.find(ending + "\n", at + 1))
                ++found;
            return found >= count;
        });
    };
    keeper->pushCalibrationAction("up");  // nobody calibrating: dropped
    const std::string task = sync.makeTask("NozzleCalibration");
    const std::string instance = sync.makeInstance(task, "AskAdjustment");
    const std::shared_ptr<StateRunner> adjusting = keeper->makeRunner(task, instance, false);
    keeper->setCalibratingStateRunner(adjusting);

    // The completion's callback frees the next step before its line.
    auto stepDone = [&](size_t count) { ASSERT_TRUE(logged(", executed.", count)); };
    keeper->pushCalibrationAction("up");
    stepDone(1);
    keeper->pushCalibrationAction("down");
    stepDone(2);
    keeper->pushCalibrationAction("sideways");
    stepDone(3);

    sim.control("hold");  // the next step stays in flight
    keeper->pushCalibrationAction("up");
    keeper->pushCalibrationAction("down");  // another step runs: dropped
    sim.control("release");
    stepDone(4);

    sync.updateInstanceProgress(task, instance, 1.0);  // the adjustment has ended
    keeper->pushCalibrationAction("up");
    ASSERT_TRUE(logged(", ignored (not calibrating)", 2));
    EXPECT_TRUE(logged(", ignored (already running a action)", 1));
    EXPECT_EQ(commandsReceived(), (std::vector<std::string>{"G71 Q0", "G72 Q0", "G72 Q0", "G71 Q0"}));
}

TEST(StateRunnerEstimate, ComposedTypesSumTheirSubStates) {
    Vant::StateMachine::buildStateMachine();
    StateType("EstimateA").duration(2) = "G28";
    StateType("EstimateB").duration(3) = "G28";
    StateType("EstimateSelf") = {Vant::StateMachine::State("EstimateA"), Vant::StateMachine::Lock("L"),
                                 Vant::StateMachine::State("EstimateSelf"),
                                 Vant::StateMachine::State("EstimateB")};
    EXPECT_DOUBLE_EQ(StateRunner::estimatedDuration(StateTypes["EstimateSelf"]), 2 * 2 + 3);

    // Two types naming each other end the sum instead of the stack.
    StateType("EstimatePing") = {Vant::StateMachine::State("EstimateA"),
                                 Vant::StateMachine::State("EstimatePong")};
    StateType("EstimatePong") = {Vant::StateMachine::State("EstimateB"),
                                 Vant::StateMachine::State("EstimatePing")};
    EXPECT_DOUBLE_EQ(StateRunner::estimatedDuration(StateTypes["EstimatePing"]), 2 + 3);
}

TEST_F(StateKeeperTest, ProgressStaysBelowOneUntilCompletion) {
    const std::string task = sync.makeTask("Packaging");
    const std::string timed = sync.makeInstance(task, "Heating");
    const std::shared_ptr<StateRunner> runner = keeper->makeRunner(task, timed, false);
    const double estimate = runner->estimatedDuration();
    ASSERT_GT(estimate, 0.0);
    runner->updateProgress(estimate / 2);
    EXPECT_DOUBLE_EQ(sync.getInstanceProgress(task, timed), 0.5);
    runner->updateProgress(estimate * 3);
    EXPECT_DOUBLE_EQ(sync.getInstanceProgress(task, timed), 0.99999);
    EXPECT_FALSE(runner->completed());

    // An unknown type is estimated at 0 and reports 0, and is not started.
    const std::string unknown = sync.makeInstance(task, "NoSuchType");
    const std::shared_ptr<StateRunner> stray = keeper->makeRunner(task, unknown, false);
    stray->updateProgress(5);
    EXPECT_DOUBLE_EQ(sync.getInstanceProgress(task, unknown), 0.0);
    stray->start();
    EXPECT_FALSE(stray->ended());
    sync.setVariable(task, "Interrupted", kel::var("DriverError"));
    EXPECT_TRUE(stray->interrupted());
    EXPECT_FALSE(keeper->makeRunner(task, sync.makeInstance(task, "Heating"), true)->interrupted());
}

}  // namespace
