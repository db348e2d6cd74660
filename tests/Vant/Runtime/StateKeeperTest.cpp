#include "Vant/Runtime/StateKeeper.h"

#include <gtest/gtest.h>

#include <thread>

#include "RuntimeWorld.h"
#include "Vant/StateMachine/build.h"

using namespace testsupport;

using Vant::Runtime::StateKeeper;
using Vant::Runtime::StateRunner;
using Vant::StateMachine::StateType;
using Vant::StateMachine::StateTypes;

namespace {

class StateKeeperTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { Vant::StateMachine::buildStateMachine(); }

    RuntimeWorld world{{"--instant", "--no-temperature-reports"}};
    StateKeeper& keeper = *world.keeper;
    Vant::Synchronization::LocalSynchronizer& sync = world.sync;
};

TEST_F(StateKeeperTest, NamedLocksBelongToTasks) {
    const std::string a = sync.makeTask("Packaging"), b = sync.makeTask("Packaging");
    ASSERT_TRUE(keeper.tryLocking(a, "Mechanicals"));
    EXPECT_FALSE(keeper.tryLocking(b, "Mechanicals"));
    EXPECT_FALSE(keeper.tryLocking(a, "Mechanicals"));
    EXPECT_TRUE(keeper.getVariable(a, "Lock:Mechanicals").booleanValue());
    EXPECT_FALSE(keeper.getVariable(b, "Lock:Mechanicals").booleanValue());
    EXPECT_TRUE(keeper.hasVariable(b, "Lock:Anything"));
    keeper.setVariable(b, "Lock:Mechanicals", kel::var(true));
    EXPECT_FALSE(keeper.hasLock(b, "Mechanicals"));

    std::thread waiting([&] { keeper.lock(b, "Mechanicals"); });
    std::thread([&] { keeper.unlock(a, "Mechanicals"); }).join();
    waiting.join();
    EXPECT_TRUE(keeper.hasLock(b, "Mechanicals"));
    keeper.unlock(a, "Mechanicals");  // not a's any more: nothing happens
    EXPECT_TRUE(keeper.hasLock(b, "Mechanicals"));
    ASSERT_TRUE(keeper.tryLocking(b, "Heater"));
    keeper.unlockAll(b);
    EXPECT_FALSE(keeper.hasLock(b, "Mechanicals"));
    EXPECT_TRUE(keeper.tryLocking(a, "Heater"));
}

TEST_F(StateKeeperTest, VariablesLiveWhereTheirPrefixSays) {
    const std::string a = sync.makeTask("Packaging"), b = sync.makeTask("Packaging");
    EXPECT_EQ(keeper.getVariable(a, "Global:LightingMode").stringValue(), "Preparing");
    keeper.setVariable(a, "Global:Shared", kel::var(3));
    EXPECT_EQ(keeper.getVariable(b, "Global:Shared").integerValue(), 3);
    EXPECT_FALSE(sync.hasVariable(a, "Global:Shared"));
    keeper.setVariable(a, "Own", kel::var("x"));
    EXPECT_TRUE(sync.hasVariable(a, "Own"));
    EXPECT_FALSE(keeper.hasVariable(b, "Own"));
}

TEST_F(StateKeeperTest, CalibrationActionsMoveOnlyWhileAdjusting) {
    CapturedStdout log;
    auto logged = [&log](const std::string& ending, size_t count) {
        return waitUntil([&] { return occurrences(log.text(), ending + "\n") >= count; });
    };
    keeper.pushCalibrationAction("up");  // nobody calibrating: dropped
    const std::string task = sync.makeTask("NozzleCalibration");
    const std::string instance = sync.makeInstance(task, "AskAdjustment");
    const std::shared_ptr<StateRunner> adjusting = keeper.makeRunner(task, instance, false);
    keeper.setCalibratingStateRunner(adjusting);

    size_t steps = 0;
    for (const char* action : {"up", "down", "sideways"}) {
        keeper.pushCalibrationAction(action);
        ASSERT_TRUE(logged(", executed.", ++steps)) << action;
    }

    world.sim.control("hold");  // the next step stays in flight
    keeper.pushCalibrationAction("up");
    keeper.pushCalibrationAction("down");  // another step runs: dropped
    world.sim.control("release");
    ASSERT_TRUE(logged(", executed.", 4));

    sync.updateInstanceProgress(task, instance, 1.0);  // the adjustment has ended
    keeper.pushCalibrationAction("up");
    ASSERT_TRUE(logged(", ignored (not calibrating)", 2));
    EXPECT_TRUE(logged(", ignored (already running a action)", 1));
    EXPECT_EQ(world.commands(), (std::vector<std::string>{"G71 Q0", "G72 Q0", "G72 Q0", "G71 Q0"}));
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

TEST_F(StateKeeperTest, OneRunnerPerInstanceWhoseProgressStaysBelowOneUntilCompletion) {
    const std::string task = sync.makeTask("Packaging");
    const std::string timed = sync.makeInstance(task, "Heating");
    const std::shared_ptr<StateRunner> runner = keeper.makeRunner(task, timed, false);
    const double estimate = runner->estimatedDuration();
    ASSERT_GT(estimate, 0.0);
    runner->updateProgress(estimate / 2);
    EXPECT_DOUBLE_EQ(sync.getInstanceProgress(task, timed), 0.5);
    runner->updateProgress(estimate * 3);
    EXPECT_DOUBLE_EQ(sync.getInstanceProgress(task, timed), 0.99999);
    EXPECT_FALSE(runner->completed());

    // An unknown type is estimated at 0 and reports 0, and is not started.
    const std::string unknown = sync.makeInstance(task, "NoSuchType");
    const std::shared_ptr<StateRunner> stray = keeper.makeRunner(task, unknown, false);
    stray->updateProgress(5);
    EXPECT_DOUBLE_EQ(sync.getInstanceProgress(task, unknown), 0.0);
    stray->start();
    EXPECT_FALSE(stray->ended());
    sync.setVariable(task, "Interrupted", kel::var("DriverError"));
    EXPECT_TRUE(stray->interrupted());
    const std::string atomicInstance = sync.makeInstance(task, "Heating");
    const std::shared_ptr<StateRunner> atomic = keeper.makeRunner(task, atomicInstance, true);
    EXPECT_EQ(keeper.makeRunner(task, atomicInstance, false), atomic);
    EXPECT_NE(atomic, runner);
    EXPECT_TRUE(atomic->isAtomic());
    EXPECT_FALSE(atomic->interrupted());
}

}  // namespace
