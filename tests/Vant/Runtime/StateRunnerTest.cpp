// The state runner on catalogue records of its own, and primary kinds without board work.
#include "Vant/Runtime/StateRunner.h"

#include <dirent.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <fstream>

#include "RuntimeWorld.h"
#include "Vant/StateMachine/build.h"

using namespace testsupport;

using Vant::StateMachine::StateTypes;

namespace {

void define(const std::string& json) {
    kel::var record = kel::var::fromJsonString(json);
    StateTypes[record["stateType"].stringValue()] = record;
}

std::string stateItem(const std::string& name) {
    return R"({"class": "StateItem", "stateType": ")" + name + R"("})";
}
std::string setter(const std::string& name, const std::string& jsonValue) {
    return R"({"class": "SetterItem", "variableName": ")" + name + R"(", "value": )" + jsonValue + "}";
}
std::string composed(const std::string& name, const std::string& items, const std::string& extra = "") {
    return R"({"stateType": ")" + name + R"(", "mode": "composed", )" + extra + R"("items": [)" + items +
           "]}";
}

class StateRunnerTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        Vant::StateMachine::buildStateMachine();
        define(R"({"stateType": "T.R10", "mode": "primary", "duration": 10.0, "request": true})");
        define(R"({"stateType": "T.R20", "mode": "primary", "duration": 20, "request": true})");
        define(composed("T.Seq", stateItem("T.R10") + "," + stateItem("T.R20") + "," + stateItem("T.R10")));
    }

    // The progress of the task's own instance.
    double progress(const std::string& taskId) {
        return world.instancesOf(taskId, world.sync.getTask(taskId)["stateType"].stringValue())[0].progress;
    }
    bool reaches(const std::string& taskId, double value) {
        return waitUntil([&] { return progress(taskId) == value; });
    }
    // A failure writes -2.0 first and the failure's name next.
    bool failsWith(const std::string& taskId, const char* failure) {
        return waitUntil(
            [&] { return progress(taskId) == -2.0 && variable(taskId, "Interrupted") == kel::var(failure); });
    }
    // The id of an instance of `type` that has not completed yet, once there is one.
    std::string waitForInstance(const std::string& taskId, const std::string& type) {
        std::string id;
        waitUntil([&] {
            for (const auto& instance : world.instancesOf(taskId, type))
                if (instance.progress < 1.0) id = instance.id;
            return !id.empty();
        });
        return id;
    }
    kel::var variable(const std::string& taskId, const std::string& name) {
        return world.keeper->getVariable(taskId, name);
    }

    RuntimeWorld world{{"--instant"}};
};

}  // namespace

TEST_F(StateRunnerTest, ComposedProgressCountsSubStatesAtTheirEstimatesAndParallelOnesAtOnce) {
    const std::string task = world.startTask("T.Seq");
    world.answer(task, waitForInstance(task, "T.R10"), 0.5);
    EXPECT_TRUE(reaches(task, 5.0 / 40));
    world.answer(task, waitForInstance(task, "T.R10"));
    world.answer(task, waitForInstance(task, "T.R20"));
    world.answer(task, waitForInstance(task, "T.R10"), 0.5);
    EXPECT_TRUE(reaches(task, 35.0 / 40));
    world.answer(task, waitForInstance(task, "T.R10"));
    EXPECT_TRUE(reaches(task, 1.0));

    define(composed("T.Both", stateItem("T.R10") + "," + stateItem("T.R20"), R"("parallel": true, )"));
    const std::string both = world.startTask("T.Both");
    const std::string r10 = waitForInstance(both, "T.R10");
    world.answer(both, waitForInstance(both, "T.R20"));
    world.answer(both, r10, 0.5);
    EXPECT_TRUE(reaches(both, 0.5));
    world.answer(both, r10);
    EXPECT_TRUE(reaches(both, 1.0));
}

TEST_F(StateRunnerTest, ConditionsSkipByCountOrToALabelAndSettersCopyVariables) {
    define(composed(
        "T.Flow",
        setter("Flag", "true") + R"(, {"class": "ConditionItem", "variableName": "Flag", "then": 2},)" +
            setter("a", "1") + "," + setter("b", "1") + "," + setter("c", "1") + "," +
            setter("Off", "false") + R"(, {"class": "ConditionItem", "variableName": "Off", "then": 1},)" +
            setter("d", "1") +
            R"(, {"class": "ConditionItem", "variableName": "c", "value": "d", "label": true, "then": "There"},)" +
            setter("e", "1") + R"(, {"class": "LabelItem", "label": "There"},)" +
            setter("copy", R"("Global:LightingMode")") + "," + setter("plain", R"("Global:Absent")") + "," +
            setter("Global:LightingMode", R"("Printing")") + "," +
            setter("Global:LightingMode", R"("Disco")") +
            R"(, {"class": "ConditionItem", "variableName": "Flag", "label": true, "then": "Nowhere"},)" +
            setter("f", "1")));
    CapturedStdout log;
    const std::string task = world.startTask("T.Flow");
    ASSERT_TRUE(reaches(task, 1.0));
    for (const char* skipped : {"a", "b", "e", "f"})
        EXPECT_FALSE(world.sync.hasVariable(task, skipped)) << skipped;
    for (const char* set : {"c", "d"}) EXPECT_TRUE(world.sync.hasVariable(task, set)) << set;
    EXPECT_EQ(variable(task, "copy"), kel::var("Preparing"));
    EXPECT_EQ(variable(task, "plain"), kel::var("Global:Absent"));
    EXPECT_EQ(variable("another task", "Global:LightingMode"), kel::var("Disco"));
    EXPECT_TRUE(waitUntil([&] { return world.lightingModes() == std::vector<std::string>{"Printing"}; }));
    EXPECT_EQ(occurrences(log.text(), "Skipping one item\u2026"), 2u);  // skips to a label are silent
}

TEST_F(StateRunnerTest, LocksPassFromTaskToTaskAndAnInterruptionGivesUpWaiting) {
    define(composed("T.Locked", R"({"class": "LockItem", "lockName": "T.M"},)" + stateItem("T.R10") +
                                    R"(, {"class": "UnlockItem", "lockName": "T.M"})"));
    const std::string first = world.startTask("T.Locked");
    const std::string firstRequest = waitForInstance(first, "T.R10");
    const std::string second = world.startTask("T.Locked");
    const std::string third = world.startTask("T.Locked");
    EXPECT_EQ(variable(first, "Lock:T.M"), kel::var(true));

    // Interrupted while waiting: the list goes on without the lock and its sub-state.
    world.sync.setVariable(third, "Interrupted", "Cancelled");
    ASSERT_TRUE(reaches(third, 1.0));
    EXPECT_TRUE(world.instancesOf(third, "T.R10").size() == 1 && world.instancesOf(second, "T.R10").empty());
    EXPECT_TRUE(world.keeper->hasLock(first, "T.M"));

    world.answer(first, firstRequest);
    ASSERT_TRUE(reaches(first, 1.0));
    world.answer(second, waitForInstance(second, "T.R10"));
    ASSERT_TRUE(reaches(second, 1.0));
    EXPECT_FALSE(world.keeper->hasLock(second, "T.M"));
}

TEST_F(StateRunnerTest, AtomicityIsInheritedAndShieldsSubStatesFromInterruption) {
    define(composed("T.Plain", stateItem("T.R10") + "," + setter("after", "1")));
    // The root's runner is never atomic (the service makes it so); a sub-state's is.
    define(composed("T.AtomicPart", stateItem("T.R10"), R"("atomic": true, )"));
    define(composed("T.Atomic", stateItem("T.AtomicPart") + "," + setter("after", "1")));
    const std::string plain = world.startTask("T.Plain");
    const std::string atomic = world.startTask("T.Atomic");
    const std::string atomicRequest = waitForInstance(atomic, "T.R10");
    waitForInstance(plain, "T.R10");
    world.sync.setVariable(plain, "Interrupted", "Cancelled");
    world.sync.setVariable(atomic, "Interrupted", "Cancelled");

    ASSERT_TRUE(reaches(plain, 1.0));
    EXPECT_EQ(world.instancesOf(plain, "T.R10")[0].progress, 0.0);
    EXPECT_FALSE(world.sync.hasVariable(atomic, "after"));
    EXPECT_LT(progress(atomic), 1.0);
    world.answer(atomic, atomicRequest);
    ASSERT_TRUE(reaches(atomic, 1.0));
    EXPECT_TRUE(world.sync.hasVariable(atomic, "after"));
}

TEST_F(StateRunnerTest, AFailureInsideARunnerFailsItsStateAndTheTaskGoesOn) {
    define(composed("T.Broken", "42"));
    define(composed("T.BrokenAtomic", R"({"class": "SetterItem"})", R"("atomic": true, )"));
    define(composed("T.Side", stateItem("T.BrokenAtomic") + "," + stateItem("T.R10"),
                    R"("parallel": true, "atomic": true, )"));
    define(composed("T.Handler",
                    stateItem("T.Broken") +
                        R"(, {"class": "ConditionItem", "variableName": "Interrupted", "label": true,
                                           "then": "Reset"},)" +
                        setter("skipped", "1") + R"(, {"class": "LabelItem", "label": "Reset"},)" +
                        stateItem("T.BrokenAtomic") + "," + stateItem("T.Side") + "," +
                        setter("reached", "true")));
    const std::string task = world.startTask("T.Handler");
    world.answer(task, waitForInstance(task, "T.R10"));
    ASSERT_TRUE(reaches(task, 1.0));
    EXPECT_EQ(variable(task, "Interrupted"), kel::var("RuntimeError"));
    EXPECT_EQ(world.instancesOf(task, "T.Broken")[0].progress, -2.0);
    EXPECT_FALSE(world.sync.hasVariable(task, "skipped"));
    EXPECT_EQ(world.instancesOf(task, "T.BrokenAtomic").size(), 2u);
    EXPECT_EQ(variable(task, "reached"), kel::var(true));

    define(composed("T.Dangling", stateItem("T.Nowhere")));
    const std::string dangling = world.startTask("T.Dangling");
    const std::string wifi = world.startTask("ConnectWifi", {{"WifiDetails.Ssid", 42}});
    EXPECT_TRUE(reaches(dangling, -2.0));
    EXPECT_TRUE(failsWith(wifi, "RuntimeError"));

    // A task whose own state fails that way gives up the locks its list had taken.
    define(composed("T.LockedBroken", R"({"class": "LockItem", "lockName": "T.Held"}, 42)"));
    const std::string locked = world.startTask("T.LockedBroken");
    EXPECT_TRUE(reaches(locked, -2.0));
    EXPECT_TRUE(waitUntil([&] { return !world.keeper->hasLock(locked, "T.Held"); }));
    EXPECT_TRUE(world.keeper->tryLocking(dangling, "T.Held"));
}

TEST_F(StateRunnerTest, BranchesRunTheirOwnListsOnThreadsOfTheTask) {
    define(R"({"stateType": "T.Branching", "mode": "composed",
               "branches": {"Side": [)" +
           setter("side", "1") + R"(], "Rest": [)" + setter("rest", "1") + R"(]},
               "items": [{"class": "ThreadItem", "branchName": "Side", "threadName": "helper"},)" +
           setter("main", "1") + R"(, {"class": "BranchItem", "branch": "Rest"},)" + setter("never", "1") +
           "]}");
    const std::string task = world.startTask("T.Branching");
    ASSERT_TRUE(reaches(task, 1.0));
    EXPECT_TRUE(waitUntil([&] { return world.sync.hasVariable(task, "side"); }));
    EXPECT_TRUE(world.sync.hasVariable(task, "main") && world.sync.hasVariable(task, "rest"));
    EXPECT_FALSE(world.sync.hasVariable(task, "never"));
}

TEST_F(StateRunnerTest, APauseReportsItsStepsAndCompletesAfterTheLast) {
    define(R"({"stateType": "T.Pause", "mode": "primary", "duration": 15, "gcode": ""})");
    const std::string task = world.startTask("T.Pause");
    std::vector<double> seen;
    ASSERT_TRUE(waitUntil([&] {
        const double p = progress(task);
        if (seen.empty() || seen.back() != p) seen.push_back(p);
        return p == 1.0;
    }));
    EXPECT_GE(seen.size(), 2u);
    EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end()));  // and rising: equal neighbours are never kept
    for (double p : seen) EXPECT_NEAR(p * 10, std::round(p * 10), 1e-9) << p;
    EXPECT_TRUE(world.commands().empty());
}

TEST_F(StateRunnerTest, DownloadingTakesACachedModelAndRefusesMissingOrLocalLinks) {
    const std::string model = scratchFolder() + "/model.stl";
    writeFile(model, "solid model\nendsolid model\n");
    const std::string id = *Vant::Runtime::FileCache::digestOf(model);
    ASSERT_TRUE(world.keeper->fileCache.takeFile(id, model));

    const std::string cached = world.startTask("Downloading", {{"fileId", id}});
    const std::string noLink = world.startTask("Downloading", {{"fileId", "absent"}});
    const std::string local =
        world.startTask("Downloading", {{"fileId", "absent"}, {"fileLink", "file:///etc/hostname"}});
    EXPECT_TRUE(reaches(cached, 1.0));
    EXPECT_FALSE(world.sync.hasVariable(cached, "Interrupted"));
    for (const std::string& task : {noLink, local}) EXPECT_TRUE(failsWith(task, "FailedDownloading"));
}

TEST_F(StateRunnerTest, ConnectingReportsWhetherTheScriptFoundTheNetwork) {
    auto connect = [&](const char* password) {
        return world.startTask("ConnectWifi",
                               {{"WifiDetails.Ssid", "Home"}, {"WifiDetails.Password", password}});
    };
    const std::string good = connect("secret"), bad = connect("wrong");
    ASSERT_TRUE(reaches(good, 1.0) && reaches(bad, 1.0));
    EXPECT_EQ(variable(good, "ConnectWifi.Connected"), kel::var(true));
    EXPECT_EQ(variable(bad, "ConnectWifi.Connected"), kel::var(false));
    world.keeper->wifiScriptTimeout = std::chrono::milliseconds(1000);
    EXPECT_TRUE(failsWith(connect("hang"), Vant::Runtime::StateRunner::TimedOutWifi));
    EXPECT_TRUE(waitUntil([&] { return world.keeper->threadCount() == 0; }));
    EXPECT_EQ(Vant::Runtime::escape(R"(a\b"c d)"), R"(a\\b\"c d)");
}

TEST_F(StateRunnerTest, FinishedTasksGiveBackTheirThreadsAndMemory) {
    auto runTasks = [&](int count) {
        for (int i = 0; i < count; ++i) {
            const std::string task = world.startTask("Packaging");
            if (!waitUntil([&] { return world.sync.isTaskDone(task); }, std::chrono::seconds(30)))
                return false;
        }
        return waitUntil(
            [&] { return world.keeper->threadCount() == 0 && world.keeper->runnerCount() == 0; });
    };
    auto addressSpaceKb = [] {
        std::ifstream status("/proc/self/status");
        std::string line;
        while (std::getline(status, line) && line.compare(0, 7, "VmSize:") != 0) continue;
        return std::stol(line.substr(7));
    };
    auto entries = [](const char* folder) {
        size_t count = 0;
        DIR* dir = ::opendir(folder);
        while (const dirent* entry = ::readdir(dir)) count += entry->d_name[0] != '.';
        ::closedir(dir);
        return count;
    };
    // The C library keeps a few freed stacks for the next threads: they count once.
    ASSERT_TRUE(runTasks(10));
    const long addressSpace = addressSpaceKb();
    const size_t threads = entries("/proc/self/task"), descriptors = entries("/proc/self/fd");
    ASSERT_TRUE(runTasks(40));
    // Kept, the 80 threads' stacks would take 640 MB; the allocator may map a few arenas.
    EXPECT_LT(addressSpaceKb() - addressSpace, 64 * 1024);
    EXPECT_EQ(entries("/proc/self/task"), threads);
    EXPECT_EQ(entries("/proc/self/fd"), descriptors);
}
