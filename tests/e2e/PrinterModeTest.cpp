// The built daemon in printer mode as a process: how it ends when a board is missing,
// how it stops on signals, and how SIGHUP reads its trusted users again. Users reach it
// from the client's namespace as they would over the network.
#include <gtest/gtest.h>

#include <csignal>
#include <map>
#include <string>
#include <vector>

#include "PrinterUnderTest.h"
#include "kel/Sodium.h"
#include "support/TestUser.h"

using namespace std::chrono_literals;
using testsupport::ChildProcess;
using testsupport::NetworkNamespace;
using testsupport::TestUser;
using testsupport::waitUntil;

namespace {

const unsigned short PrinterPort = 59955;
const unsigned short SecurePort = 59956;

// A board twenty times faster than real time, so that the start-up task and the
// resetting states of an interrupted one fit a test.
class PrinterDaemon : public testsupport::CabledPrinter {
protected:
    std::string timeScale() override { return "20"; }
    void TearDown() override {
        pool.stop();
        CabledPrinter::TearDown();
    }

    bool connect(TestUser& user) {
        NetworkNamespace::Inside inside(*clientSide);
        return waitUntil([&] { return user.connect(1s); }, 30s);
    }
    // Connects and waits until the one start-up task is done, which frees the mechanics.
    void connectOnceStartedUp(TestUser& user) {
        ASSERT_TRUE(connect(user));
        ASSERT_TRUE(waitUntil(
            [&] {
                const auto tasks = testsupport::tasksOf(user.queue(), "StartingUp");
                return tasks.size() == 1 && user.queue().isTaskDone(tasks[0]);
            },
            60s));
    }
    // Whether a line the board received after its first `from` carries `command`.
    bool boardReceivedSince(std::size_t from, const std::string& command) {
        const auto lines = printer->sim.received();
        for (std::size_t i = from; i < lines.size(); ++i) {
            if (lines[i].find(" " + command + "*") != std::string::npos) return true;
        }
        return false;
    }
    static bool served(TestUser& user) {
        return user.waitForInstanceOf(user.addTask("SaveNozzlePosition"), "SaveNozzlePosition", 20s);
    }

    testsupport::IoPool pool{3};
};

std::string instanceOf(TestUser& user, const std::string& taskId, const std::string& stateType) {
    for (const auto& instance : user.queue().getTask(taskId).instances()) {
        const kel::var& record = instance;
        if (record.has("stateType") && record["stateType"] == kel::var(stateType)) return record["id"];
    }
    return std::string();
}

}  // namespace

TEST(PrinterMode, EndsWithStatusZeroWhenABoardCannotBeOpened) {
    BoardSim::Process sim;
    for (const auto& missing : {std::make_pair("TOLVANE_LIGHTING_PORT", "Lighting creation error"),
                                std::make_pair("TOLVANE_MOTION_PORT", "Driver creation error")}) {
        std::map<std::string, std::string> env{{"TOLVANE_HOME", testsupport::stagedHome()},
                                               {"TOLVANE_MOTION_PORT", sim.motionPath()},
                                               {"TOLVANE_LIGHTING_PORT", sim.lightingPath()},
                                               {"TOLVANE_BROADCAST", "127.255.255.255"}};
        env[missing.first] = sim.folder() + "/absent";
        ChildProcess daemon(
            {testsupport::builtProgram("tolvane-ferrow"), "-k", testsupport::PrinterPrivateKey}, env);
        EXPECT_EQ(daemon.wait(30s), 0) << missing.first;
        EXPECT_NE(daemon.out().find(missing.second), std::string::npos) << daemon.out();
    }
}

TEST_F(PrinterDaemon, SigtermInterruptsAHeatingTaskLetsItResetAndExitsWithStatusZero) {
    TestUser user(pool.io, PrinterPort, kel::bytes(), "10.0.0.1");
    connectOnceStartedUp(user);
    const std::string task = user.addTask("LoadingFilament");
    // The user clears the bed when asked; the task then heats the hot end to 185.
    std::string ask;
    ASSERT_TRUE(waitUntil([&] { return !(ask = instanceOf(user, task, "AskClearBed")).empty(); }, 30s));
    user.queue().updateInstanceProgress(task, ask, 1.0);
    ASSERT_TRUE(waitUntil([&] { return boardReceivedSince(0, "M104 S185"); }, 30s));
    const std::size_t beforeStop = printer->sim.received().size();

    printer->daemon.signal(SIGTERM);
    EXPECT_EQ(printer->daemon.wait(30s), 0);
    // Interrupted as a user would, and its resetting states ran: a firmware reset, then
    // the bed freed; the hot end's target ends at 0.
    EXPECT_EQ(user.queue().getVariable(task, "Interrupted"), kel::var("Shutdown"));
    EXPECT_TRUE(boardReceivedSince(beforeStop, "M112"));
    EXPECT_TRUE(boardReceivedSince(beforeStop, "G27"));
    EXPECT_EQ(printer->sim.control("target"), "ok 0");
}

TEST_F(PrinterDaemon, SigintTurnsTheHotEndOffWhenNoTaskDid) {
    TestUser user(pool.io, PrinterPort, kel::bytes(), "10.0.0.1");
    connectOnceStartedUp(user);
    const std::string task = user.addTask("FullPreHeating");
    ASSERT_TRUE(waitUntil([&] { return user.queue().isTaskDone(task); }, 30s));
    ASSERT_EQ(printer->sim.control("target"), "ok 185");

    printer->daemon.signal(SIGINT);
    EXPECT_EQ(printer->daemon.wait(30s), 0);
    EXPECT_EQ(printer->sim.control("target"), "ok 0");
}

TEST_F(PrinterDaemon, ASecondSignalEndsTheStopAtOnce) {
    // The board runs nothing: the start-up task cannot end, so the stop waits for it.
    printer->sim.control("hold");
    ASSERT_TRUE(printer->sim.waitForReceived(2, 30s));
    printer->daemon.signal(SIGTERM);
    ASSERT_TRUE(printer->waitForLog("main() SIGTERM received", 10s));
    ASSERT_TRUE(testsupport::processRunning(printer->daemon.pid()));
    printer->daemon.signal(SIGTERM);
    EXPECT_EQ(printer->daemon.wait(5s), 128 + SIGTERM);
}

// Trusted users only, over the encrypted port; Alice alone is listed at first.
class TrustedPrinterDaemon : public PrinterDaemon {
protected:
    std::vector<std::string> daemonOptions() override {
        listOnly(alicePub);
        return {"--trusted-users", trustedFile};
    }
    void listOnly(const kel::bytes& key) {
        testsupport::writeFile(trustedFile, key.toHex() + "  # someone\n");
    }

    const std::string trustedFile = testsupport::scratchFolder() + "/trusted-users";
    const kel::bytes alice = kel::bytes(32).randomize(), mallory = kel::bytes(32).randomize();
    const kel::bytes printerKey = kel::bytes::fromHex(testsupport::PrinterPublicKey);
    const kel::bytes alicePub = kel::Sodium::publicKey(alice), malloryPub = kel::Sodium::publicKey(mallory);
};

TEST_F(TrustedPrinterDaemon, SighupReadsTheListAgainAndAFileThatDoesNotReadLeavesItAsItWas) {
    TestUser listed(pool.io, SecurePort, alice, printerKey, "10.0.0.1");
    ASSERT_TRUE(connect(listed));
    ASSERT_TRUE(served(listed));

    // Alice taken off the list, Mallory put on it.
    listOnly(malloryPub);
    printer->daemon.signal(SIGHUP);
    ASSERT_TRUE(listed.disconnections().waitFor(1, 10s));
    TestUser added(pool.io, SecurePort, mallory, printerKey, "10.0.0.1");
    ASSERT_TRUE(connect(added));
    ASSERT_TRUE(served(added));

    testsupport::writeFile(trustedFile, "not a key\n");
    printer->daemon.signal(SIGHUP);
    ASSERT_TRUE(printer->waitForLog("; the trusted users stay as they were", 5s));
    EXPECT_TRUE(served(added));
    EXPECT_EQ(added.disconnections().size(), 0u);
}
