// The built daemon twice: in printer mode against the simulated board in one network
// namespace, and in client mode (-u -t Packaging) in another, the two joined by a
// virtual cable (10.0.0.1/24 and 10.0.0.2/24) that the test makes and removes.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <memory>
#include <string>

#include "BoardSimProcess.h"
#include "support/AsyncTest.h"
#include "support/ChildProcess.h"
#include "support/NetworkNamespace.h"
#include "support/StagedHome.h"

using namespace std::chrono_literals;
using testsupport::ChildProcess;
using testsupport::Cable;
using testsupport::NetworkNamespace;

namespace {

const std::string PrivateKey = "77076d0a7318a57d3c16c17251b26645df4c2f87ebc0992ab177fba51db92c2a";
const std::string PublicKey = "8520f0098930a754748b7ddcb43ef75a0dbf3a0d26381af4eba4a98eaa9b4e6a";
const std::string Nbsp = "\u00a0";

// The text between `prefix` and the end of its line, from the first line holding it.
std::string restOfLine(const std::string& text, const std::string& prefix) {
    const auto at = text.find(prefix);
    if (at == std::string::npos) return std::string();
    const auto from = at + prefix.size();
    return text.substr(from, text.find('\n', from) - from);
}

// Waits until what the process wrote from offset `from` on holds `text`.
bool waitForOutputAfter(ChildProcess& process, std::size_t from, const std::string& text,
                        std::chrono::milliseconds deadline) {
    return testsupport::waitUntil(
        [&]() {
            process.waitForOutput("\x7f", 50ms);  // reads what came meanwhile
            return process.out().find(text, from) != std::string::npos;
        },
        deadline);
}

}  // namespace

TEST(ClientModeDaemon, FindsThePrinterMirrorsItsQueueAndItsTaskRunsAndIsDeletedAfterwards) {
    if (!NetworkNamespace::available()) GTEST_SKIP() << "network namespaces need root";
    BoardSim::Process sim({"--time-scale", "20"});
    NetworkNamespace printerSide, clientSide;
    Cable cable(printerSide, "10.0.0.1/24", clientSide, "10.0.0.2/24");
    ASSERT_TRUE(cable.ok);

    const std::string daemon = testsupport::builtProgram("tolvane-ferrow");
    ChildProcess printer(printerSide.exec({daemon, "-k", PrivateKey}),
                         {{"TOLVANE_HOME", testsupport::stagedHome()},
                          {"TOLVANE_MOTION_PORT", sim.motionPath()},
                          {"TOLVANE_LIGHTING_PORT", sim.lightingPath()},
                          {"TOLVANE_BROADCAST", "10.0.0.255"}});
    ASSERT_TRUE(printer.waitForOutput("PUBLIC", 30s)) << printer.err();
    ChildProcess client(clientSide.exec({daemon, "-k", "new", "-u", "-t", "Packaging"}));

    auto dump = [&]() { return "--- printer ---\n" + printer.out() + "\n--- client ---\n" + client.out(); };

    // Heard, connected, and the printer's own start-up task arrives with the whole queue.
    ASSERT_TRUE(client.waitForOutput(
        "TolvaneCore: NEW PRINTER : " + PublicKey + " @ 10.0.0.1, version 5, revision 0\n", 30s))
        << dump();
    ASSERT_TRUE(client.waitForOutput("TolvaneCore: pushConnected  " + PublicKey + "\n", 30s)) << dump();
    ASSERT_TRUE(client.waitForOutput("(StartingUp) progress = ", 30s)) << dump();

    // The client's task reaches the printer, which starts it; the client sees it finish.
    const std::string newTask = "NEW" + Nbsp + "TASK" + Nbsp + ": ";
    ASSERT_TRUE(printer.waitForOutput(newTask, 30s)) << dump();
    const std::string taskId = restOfLine(printer.out(), newTask);
    ASSERT_EQ(taskId.size(), 8u) << dump();
    // The client hears of its own task again only as the printer runs it.
    ASSERT_TRUE(client.waitForOutput("TolvaneCore: NEW INSTANCE : " + taskId + ", ", 30s)) << dump();
    EXPECT_TRUE(printer.waitForOutput("ObjectId", 30s)) << dump();
    ASSERT_TRUE(client.waitForOutput("(Packaging) progress = 1.000000\n", 120s)) << dump();
    const auto doneAt = std::chrono::steady_clock::now();

    // About 10 s later it is deleted on the client, and the deletion reaches the printer.
    const std::string autoDeleting = "TolvaneCore: AUTO-DELETING INSTANCE : " + taskId + ", ";
    ASSERT_TRUE(client.waitForOutput(autoDeleting, 30s)) << dump();
    const auto waited = std::chrono::steady_clock::now() - doneAt;
    EXPECT_GE(waited, 8s);
    EXPECT_LE(waited, 15s);
    ASSERT_TRUE(printer.waitForOutput("DELETED" + Nbsp + "TASK" + Nbsp + ": " + taskId + "\n", 30s))
        << dump();
    EXPECT_NE(client.out().find("(Packaging)\n", client.out().find(autoDeleting)), std::string::npos);

    EXPECT_TRUE(testsupport::processRunning(printer.pid())) << dump();
    EXPECT_TRUE(testsupport::processRunning(client.pid())) << dump();

    // Both end cleanly on a stop signal.
    client.signal(SIGINT);
    EXPECT_EQ(client.wait(10s), 0) << dump();
    printer.signal(SIGTERM);
    EXPECT_EQ(printer.wait(30s), 0) << dump();
}

// The printer daemon is killed in the middle of the client's task (a Wi-Fi set-up
// waiting for the user's details) and started again under the same key. Its first message to the client,
// which stayed up, is its new full queue: the client forgets the tasks from before (it had seen them
// confirmed long ago) and sends none of them back, so the new printer starts nothing again.
TEST(ClientModeDaemon, APrinterRestartedMidTaskStartsNothingFromBeforeAgain) {
    if (!NetworkNamespace::available()) GTEST_SKIP() << "network namespaces need root";
    BoardSim::Process sim({"--time-scale", "20"}), simAfter({"--time-scale", "20"});
    NetworkNamespace printerSide, clientSide;
    Cable cable(printerSide, "10.0.0.1/24", clientSide, "10.0.0.2/24");
    ASSERT_TRUE(cable.ok);

    const std::string daemon = testsupport::builtProgram("tolvane-ferrow");
    auto printerMode = [&](const BoardSim::Process& board) {
        return std::unique_ptr<ChildProcess>(new ChildProcess(
            printerSide.exec({daemon, "-k", PrivateKey}), {{"TOLVANE_HOME", testsupport::stagedHome()},
                                                           {"TOLVANE_MOTION_PORT", board.motionPath()},
                                                           {"TOLVANE_LIGHTING_PORT", board.lightingPath()},
                                                           {"TOLVANE_BROADCAST", "10.0.0.255"}}));
    };
    std::unique_ptr<ChildProcess> before = printerMode(sim);
    ASSERT_TRUE(before->waitForOutput("PUBLIC", 30s)) << before->err();
    ChildProcess client(clientSide.exec({daemon, "-k", "new", "-u", "-t", "WifiSetup"}));
    std::unique_ptr<ChildProcess> after;
    auto dump = [&]() {
        return "--- printer before ---\n" + before->out() + "\n--- printer after ---\n" +
               (after ? after->out() : std::string()) + "\n--- client ---\n" + client.out();
    };

    const std::string newTask = "NEW" + Nbsp + "TASK" + Nbsp + ": ";
    ASSERT_TRUE(before->waitForOutput(newTask, 30s)) << dump();
    const std::string taskId = restOfLine(before->out(), newTask);
    ASSERT_TRUE(client.waitForOutput("(AskWifiDetails) progress = 0.000000\n", 60s)) << dump();

    before->signal(SIGKILL);
    ASSERT_TRUE(testsupport::waitUntilEnded(before->pid(), 10s));
    const std::size_t restartedAt = client.out().size();
    after = printerMode(simAfter);
    ASSERT_TRUE(after->waitForOutput("PUBLIC", 30s)) << dump();

    // The client hears the new start-up task, forgets its own task from before, and
    // about 10 s after the start-up task ends deletes it: by the time that deletion
    // reaches the printer, anything sent back would have arrived before it.
    ASSERT_TRUE(client.waitForOutput("TolvaneCore: DELETED TASK : " + taskId + "\n", 60s)) << dump();
    const std::string heard = "TolvaneCore: NEW TASK : ";
    ASSERT_TRUE(waitForOutputAfter(client, restartedAt, heard, 60s)) << dump();
    const std::string startUp = restOfLine(client.out().substr(restartedAt), heard);
    ASSERT_TRUE(waitForOutputAfter(client, restartedAt, "AUTO-DELETING INSTANCE : " + startUp + ", ", 180s))
        << dump();
    ASSERT_TRUE(after->waitForOutput("DELETED" + Nbsp + "TASK" + Nbsp + ": " + startUp + "\n", 30s))
        << dump();
    EXPECT_EQ(after->out().find(newTask), std::string::npos) << dump();
    EXPECT_TRUE(testsupport::processRunning(client.pid())) << dump();
}
