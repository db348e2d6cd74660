// Every task root of the catalogue run against the simulated boards; a print's failures.
#include "Vant/Runtime/StateRunner.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <thread>
#include <tuple>

#include "RuntimeWorld.h"
#include "Vant/Runtime/FileCache.h"
#include "Vant/StateMachine/build.h"
#include "support/HttpServer.h"

using namespace testsupport;
typedef std::vector<std::string> Lines;
typedef std::vector<std::pair<std::string, kel::var>> Variables;

namespace {

// The commands of the catalogue's shared parts.
Lines freeingBed(bool calibrated) {
    return Lines{"M104 S0", "G27", "G5 C7 Q0"} +
           (calibrated ? Lines{} : Lines{"G28 Y0", "G5 C6 Q0", "G28 X0", "G5 C5 Q0"}) + Lines{"G5 C1 Q0"};
}
Lines takingBed(bool preHeating, bool calibrated) {
    return freeingBed(calibrated) + (preHeating ? Lines{"M104 S90"} : Lines{}) +
           Lines{"G5 C2 Q0", "G26", "G5 C3 Q2", "G5 C4 Q2", "M119"};
}
const Lines FreeingBedLights{"Preparing", "Idle"};
const Lines TakingBedLights = Lines{"Preparing"} + FreeingBedLights + Lines{"Notification", "Preparing"};
Lines filamentPreparation(bool calibrated) {
    return takingBed(true, calibrated) + Lines{"M104 S185", "G29", "G5 C8 Q1", "M104 S185"};
}

// The lines a G-code file streams, as the driver writes them (without comments).
Lines movementLines(const std::string& path) {
    Lines lines = gcodeLines(path);
    for (auto& line : lines) line.erase(line.find_last_not_of(' ', line.find(';') - 1) + 1);
    return lines;
}

class TaskScenario : public ::testing::Test {
protected:
    static void SetUpTestSuite() { Vant::StateMachine::buildStateMachine(); }

    RuntimeWorld world;
};

struct ModelFailure {
    const char* name;
    const char* file;    // the served model, or nullptr for a link nothing answers
    const char* fileId;  // nullptr: the model's own digest
    const char* failure;
    const char* failedState;
};

class PrintScenario : public TaskScenario, public ::testing::WithParamInterface<ModelFailure> {
protected:
    PrintScenario() : folder(scratchFolder()) {
        writeFile(folder + "/cube.stl", slurp(stagedHome() + "/models/cube.stl"));
        // Unique content: the cache outlives each test, and must not hold this one yet.
        writeFile(folder + "/broken.stl", "not a model " + kel::var::randomHex(8).stringValue() + "\n");
        server.reset(new HttpServer(folder));
    }

    std::string digest(const std::string& name) {
        return *Vant::Runtime::FileCache::digestOf(folder + "/" + name);
    }

    std::string startPrint(const std::string& link, const std::string& fileId) {
        return world.startTask("Printing", {{"fileLink", link}, {"fileId", fileId}, {"layerHeight", 0.5}});
    }

    // The failed state ended with -2.0, then the resetting states ran and the locks went.
    void expectFailedAndReset(const std::string& taskId, const std::string& failedState,
                              const std::string& failure, bool closeToPrint) {
        ASSERT_TRUE(world.runToEnd(taskId));
        EXPECT_EQ(world.sync.getVariable(taskId, "Interrupted"), kel::var(failure));
        ASSERT_EQ(world.instancesOf(taskId, failedState).size(), 1u);
        EXPECT_EQ(world.instancesOf(taskId, failedState)[0].progress, -2.0);
        const Lines all = world.commands();
        const auto stop = std::find(all.rbegin(), all.rend(), "M112");
        ASSERT_NE(stop, all.rend());
        EXPECT_EQ(Lines(stop.base(), all.end()),
                  (closeToPrint ? Lines{"G5 C10 Q2"} : Lines{}) + freeingBed(false));
        for (const char* lock : {"Mechanicals", "Network", "CPU"})
            EXPECT_FALSE(world.keeper->hasLock(taskId, lock));
    }

    std::string folder;
    std::unique_ptr<HttpServer> server;
};

}  // namespace

TEST_F(TaskScenario, RunsStartUpMaintenanceFilamentAndPackagingTasksInTurn) {
    // After start-up the axes stay calibrated: freeing the bed no longer homes them.
    const Lines unloading = filamentPreparation(true) + Lines{"G5 C9 Q3", "M104 S0", "G46 Q1"};
    const std::vector<std::tuple<std::string, Variables, Lines>> runs = {
        {"StartingUp", {}, Lines{"M105"} + freeingBed(false)},
        {"Maintaining", {{"Maintaining.Type", "Ejecting"}}, unloading + Lines{"G47 Q3"} + freeingBed(true)},
        {"EjectingFilament", {}, unloading + Lines{"G47 Q3"} + freeingBed(true)},
        {"LoadingFilament", {}, unloading + freeingBed(true)},
        {"Packaging", {}, Lines{"G73 Q0"}}};
    for (const auto& run : runs) {
        const size_t from = world.commands().size();
        const std::string task = world.startTask(std::get<0>(run), std::get<1>(run));
        ASSERT_TRUE(world.runToEnd(task)) << std::get<0>(run);
        EXPECT_EQ(world.commands(from), std::get<2>(run)) << std::get<0>(run);
    }
    const Lines filamentLights = TakingBedLights + FreeingBedLights;
    const Lines lights =
        FreeingBedLights + filamentLights + filamentLights + filamentLights + FreeingBedLights;
    EXPECT_EQ(world.lightingModes(lights.size()), lights);
}

TEST_F(PrintScenario, PrintsAModelFromItsLinkThroughTheSlicerToTheBoard) {
    const std::string task = startPrint(server->url("cube.stl"), digest("cube.stl"));
    ASSERT_TRUE(world.answerRequest(task, "Uploading"));
    ASSERT_TRUE(world.runToEnd(task));
    EXPECT_FALSE(world.sync.hasVariable(task, "Interrupted"));

    const kel::var gcodeId = world.sync.getVariable(task, "gcodeId");
    ASSERT_TRUE(gcodeId.isString());
    const Lines streamed = movementLines(*world.keeper->fileCache.getFile(gcodeId.stringValue()));
    ASSERT_GT(streamed.size(), 100u);
    const auto firstLayer = std::find_if(streamed.begin(), streamed.end(), [](const std::string& line) {
        return line.compare(0, 4, "G1 Z") == 0;
    });
    ASSERT_NE(firstLayer, streamed.end());
    EXPECT_EQ(*firstLayer, "G1 Z0.500 F7800.000");  // the layer height reached the slicer
    EXPECT_EQ(world.commands(),
              (takingBed(true, false) + Lines{"G29", "G5 C8 Q1", "M104 S185", "G46 Q1"} +
               Lines{"G92 E0 Q0", "G55", "G90"} + streamed + Lines{"G54", "G5 C11 Q0"} + freeingBed(true)));
    const Lines lights = TakingBedLights + Lines{"Printing"} + FreeingBedLights;
    EXPECT_EQ(world.lightingModes(lights.size()), lights);
    for (const auto& instance : world.instancesOf(task))
        EXPECT_EQ(instance.progress, 1.0) << instance.stateType;
}

TEST_P(PrintScenario, AModelThatFailsInterruptsThePrintAndResetsThePrinter) {
    const ModelFailure& c = GetParam();
    const bool gcodeGone = std::string(c.failedState) == "Layering";
    // The board holds back until the failure is known (or the G-code is gone).
    world.sim.control("hold");
    const std::string fileId = c.fileId != nullptr ? c.fileId : digest(c.file);
    const std::string task =
        startPrint(c.file != nullptr ? server->url(c.file) : "http://127.0.0.1:1/broken.stl", fileId);
    ASSERT_TRUE(world.answerRequest(task, "Uploading"));
    ASSERT_TRUE(waitUntil(
        [&] {
            return gcodeGone ? world.sync.hasVariable(task, "gcodeId")
                             : world.sync.getVariable(task, "Interrupted") == kel::var(c.failure);
        },
        std::chrono::seconds(30)));
    if (gcodeGone) {
        const std::string gcodeId = world.sync.getVariable(task, "gcodeId").stringValue();
        ASSERT_EQ(std::remove(world.keeper->fileCache.getFile(gcodeId)->c_str()), 0);
    }
    world.sim.control("release");
    expectFailedAndReset(task, c.failedState, c.failure, gcodeGone);
    EXPECT_FALSE(std::string(c.failedState) == "Downloading" && world.keeper->fileCache.hasFile(fileId));
}

INSTANTIATE_TEST_SUITE_P(
    Failures, PrintScenario,
    ::testing::Values(ModelFailure{"LinkNotAnswered", nullptr, "fedcba9876543210fedcba9876543210",
                                   "FailedDownloading", "Downloading"},
                      ModelFailure{"DigestDiffers", "cube.stl", "0123456789abcdef0123456789abcdef",
                                   "FailedDownloading", "Downloading"},
                      ModelFailure{"SlicerCrash", "broken.stl", nullptr, "FailedSlicing", "Slicing"},
                      ModelFailure{"GcodeGone", "cube.stl", nullptr, "FailedLayering", "Layering"}),
    [](const ::testing::TestParamInfo<ModelFailure>& info) { return std::string(info.param.name); });

TEST_F(PrintScenario, AMotionBoardLostMidPrintInterruptsItAndItsResetReachesTheBoardOnceBack) {
    CapturedStdout log;
    const std::string task = startPrint(server->url("cube.stl"), digest("cube.stl"));
    ASSERT_TRUE(world.answerRequest(task, "Uploading"));
    ASSERT_TRUE(world.answerRequest(task, "AskClearBed"));
    ASSERT_TRUE(
        waitUntil([&] { return !world.instancesOf(task, "Layering").empty(); }, std::chrono::seconds(30)));
    world.sim.control("hold");
    ASSERT_TRUE(waitUntil([&] { return isMovement(world.commands().back()); }));
    world.sim.control("close");
    const auto lost = std::chrono::steady_clock::now();
    const size_t before = world.sim.received().size();
    ASSERT_TRUE(waitUntil([&] { return world.sync.hasVariable(task, "Interrupted"); }));
    EXPECT_EQ(world.sync.getVariable(task, "Interrupted"), kel::var("BoardLost"));

    ASSERT_TRUE(waitUntil([&] { return !world.instancesOf(task, "ResetFirmware").empty(); }));
    std::this_thread::sleep_until(lost + std::chrono::seconds(3));
    world.sim.control("release");
    world.sim.control("reopen");
    expectFailedAndReset(task, "Layering", "BoardLost", true);
    const Lines received = world.sim.received();
    ASSERT_GT(received.size(), before + 4);
    EXPECT_EQ(
        Lines(received.begin() + static_cast<long>(before), received.begin() + static_cast<long>(before) + 4),
        (Lines{"N1 M105*38", "N2 M105*37", "N3 M119*41", "N4 M112*37"}));

    const size_t from = world.commands().size();
    const std::string next = world.startTask("Packaging");
    ASSERT_TRUE(world.runToEnd(next));
    EXPECT_FALSE(world.sync.hasVariable(next, "Interrupted"));
    EXPECT_EQ(world.commands(from), Lines{"G73 Q0"});
    // One log line for the loss and one for the return, none for attempts between.
    const std::string text = log.text();
    EXPECT_EQ(occurrences(text, "Driver::portLost() motion board lost"), 1u);
    EXPECT_EQ(occurrences(text, "Driver::reopen() motion board back on"), 1u);
    EXPECT_EQ(occurrences(text, "Driver::reopen() ") + occurrences(text, "Driver::handleInputs() error"), 1u);
}

TEST_F(TaskScenario, TakesTheBedAgainWhenTheBedCheckDisagrees) {
    world.sim.control("bed off");
    const std::string task =
        world.startTask("TakingBed", {{"TakingBed.PreHeating", false}, {"TakingBed.BedOn", true}});
    ASSERT_TRUE(world.answerRequest(task, "AskClearBed"));
    ASSERT_TRUE(waitUntil([&] { return world.instancesOf(task, "AskClearBed").size() == 2; },
                          std::chrono::seconds(30)));
    world.sim.control("bed on");
    ASSERT_TRUE(world.runToEnd(task));
    EXPECT_EQ(world.instancesOf(task, "TakingBed").size(), 2u);
    EXPECT_EQ(world.commands(), takingBed(false, false) + takingBed(false, true));
    EXPECT_EQ(world.sync.getVariable(task, "BedDetecting.BedOn"), kel::var(true));
}

TEST_F(TaskScenario, TwoTasksWantingTheMechanicsRunOneAfterTheOther) {
    const std::string packaging = world.startTask("Packaging");
    const std::string startingUp = world.startTask("StartingUp");
    ASSERT_TRUE(world.runToEnd(packaging));
    ASSERT_TRUE(world.runToEnd(startingUp));
    const Lines first = Lines{"G73 Q0", "M105"} + freeingBed(false);
    const Lines second = Lines{"M105"} + freeingBed(false) + Lines{"G73 Q0"};
    const Lines received = world.commands();
    EXPECT_TRUE(received == first || received == second) << ::testing::PrintToString(received);
}

TEST_F(TaskScenario, MovesTheNozzleOnCalibrationActionsOnlyWhileTheAdjustmentRuns) {
    CapturedStdout log;
    const std::string task = world.startTask("NozzleCalibration");
    world.keeper->pushCalibrationAction("up");  // not adjusting yet: ignored
    ASSERT_TRUE(world.answerRequest(task, "AskClearBed"));
    ASSERT_TRUE(waitUntil([&] { return !world.instancesOf(task, "AskAdjustment").empty(); },
                          std::chrono::seconds(30)));
    for (const char* action : {"up", "down"}) {
        const std::string line = std::string("action = ") + action;
        ASSERT_TRUE(waitUntil([&] {
            world.keeper->pushCalibrationAction(action);
            return log.waitFor(line + ", executing\u2026", std::chrono::milliseconds(200));
        })) << action;
        ASSERT_TRUE(log.waitFor(line + ", executed.")) << action;
    }
    ASSERT_TRUE(world.answerRequest(task, "AskAdjustment"));
    ASSERT_TRUE(world.runToEnd(task));
    world.keeper->pushCalibrationAction("down");  // ended: ignored

    EXPECT_EQ(world.commands(), (takingBed(false, false) +
                                 Lines{"G29", "G70 Q0", "G71 Q0", "G72 Q0", "M500"} + freeingBed(true)));
    const Lines lights = TakingBedLights + Lines{"Notification"} + FreeingBedLights;
    EXPECT_EQ(world.lightingModes(lights.size()), lights);
}

TEST_F(TaskScenario, SetsUpWifiWithANetworkNameThatReachesTheScriptAsPlainText) {
    const std::string marker = scratchFolder() + "/ran";
    const std::string ssid = "Cafe \"Corner\" $(touch " + marker + ")";
    const std::string task = world.startTask("WifiSetup");
    ASSERT_TRUE(waitUntil([&] { return !world.instancesOf(task, "AskWifiDetails").empty(); }));
    EXPECT_EQ(world.sync.getVariable(task, "FetchWifiList.Ssids")[1]["ssid"], kel::var("Guest Net"));
    world.sync.setVariable(task, "WifiDetails.Ssid", ssid);
    world.sync.setVariable(task, "WifiDetails.Password", "pass `word` $HOME");
    ASSERT_TRUE(world.runToEnd(task));

    EXPECT_EQ(world.sync.getVariable(task, "ConnectWifi.Connected"), kel::var(true));
    const std::string calls = slurp(stagedHome() + "/bin/tolvane-wifi/current/wifiConfig.log");
    const std::string last = calls.substr(calls.rfind('\n', calls.size() - 2) + 1);
    EXPECT_EQ(kel::var::fromJsonString(last),
              (kel::var{"connect", "Cafe++\"Corner\"++$(touch++" + marker + ")", "pass `word` $HOME"}));
    EXPECT_FALSE(exists(marker));
    EXPECT_TRUE(world.commands().empty());
}
