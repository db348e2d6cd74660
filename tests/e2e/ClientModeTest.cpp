// The built daemon twice: in printer mode against the simulated board, and in client
// mode (-u -t Packaging) in the other namespace, which finds the printer by its
// announcements only.
#include <gtest/gtest.h>

#include <csignal>
#include <string>

#include "PrinterUnderTest.h"

using namespace std::chrono_literals;
using testsupport::ChildProcess;

using ClientModeDaemon = testsupport::CabledPrinter;

TEST_F(ClientModeDaemon, FindsThePrinterItsTaskRunsThereIsDeletedAfterwardsAndBothStopWithStatusZero) {
    const std::string nbsp = "\u00a0";
    ChildProcess client(clientSide->exec(
        {testsupport::builtProgram("tolvane-ferrow"), "-k", "new", "-u", "-t", "Packaging"}));
    auto dump = [&]() { return "--- client ---\n" + client.out(); };

    ASSERT_TRUE(client.waitForOutput("TolvaneCore: NEW PRINTER : " + testsupport::PrinterPublicKey +
                                         " @ 10.0.0.1, version 5, revision 0\n",
                                     30s))
        << dump();
    const std::string newTask = "NEW" + nbsp + "TASK" + nbsp + ": ";
    ASSERT_TRUE(printer->waitForLog(newTask)) << dump();
    const std::string log = printer->log(), from = log.substr(log.find(newTask) + newTask.size());
    const std::string taskId = from.substr(0, from.find('\n'));
    ASSERT_EQ(taskId.size(), 8u);
    ASSERT_TRUE(client.waitForOutput("(Packaging) progress = 1.000000\n", 120s)) << dump();
    // The client deletes its finished task, and the deletion reaches the printer.
    ASSERT_TRUE(client.waitForOutput("TolvaneCore: AUTO-DELETING INSTANCE : " + taskId + ", ", 30s))
        << dump();
    ASSERT_TRUE(printer->waitForLog("DELETED" + nbsp + "TASK" + nbsp + ": " + taskId + "\n")) << dump();

    client.signal(SIGINT);
    EXPECT_EQ(client.wait(10s), 0) << dump();
    printer->daemon.signal(SIGTERM);
    EXPECT_EQ(printer->daemon.wait(30s), 0);
}
