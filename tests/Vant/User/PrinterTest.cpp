#include "Vant/User/Printer.h"

#include <gtest/gtest.h>

#include <memory>

#include "Client.h"
#include "Vant/Gate/Gate.h"
#include "Vant/User/User.h"
#include "kel/Sodium.h"
#include "support/AsyncTest.h"
#include "support/FakePrinter.h"

using std::chrono::milliseconds;
using testsupport::CapturedStdout;
using testsupport::FakePrinter;
using testsupport::IoPool;
using testsupport::waitUntil;
using Vant::User::Printer;
using Vant::User::User;

namespace {

// A client with one printer, connected through the printer's announcement.
class ProxyTest : public ::testing::Test {
protected:
    void connect() {
        user.start();
        user.onSeenPrinter(boost::asio::ip::address_v4::loopback(), printer.publicKey, 5, 0);
        proxy = user.getPrinter(printer.publicKey);
        ASSERT_NE(proxy, nullptr);
        ASSERT_TRUE(printer.claims.waitFor(1));
        ASSERT_TRUE(waitUntil([this]() { return proxy->connected(); }));
    }
    void TearDown() override { pool.stop(); }

    // A live task has a state type; a deleted one is a tombstone with a "diff".
    static bool has(Vant::Synchronization::LocalSynchronizer& queue, const std::string& taskId,
                    const char* key = "stateType") {
        const kel::var task = queue.getTask(taskId);
        return task.isMap() && task.has(key);
    }

    IoPool pool;
    FakePrinter printer{pool.io};
    const kel::bytes clientKey = kel::bytes(32).randomize();
    User user{pool.io, clientKey, clienttest::fastSettings(printer.port())};
    Printer* proxy = nullptr;
};

}  // namespace

TEST_F(ProxyTest, LogsChangesFromThePrinterAndSendsItsOwnTasks) {
    connect();
    CapturedStdout out;
    const std::string task = printer.queue.makeTask("Printing");
    const std::string instance = printer.queue.makeInstance(task, "Printing");
    ASSERT_TRUE(out.waitFor("NEW INSTANCE : " + task + ", " + instance + "(Printing) progress = 0.000000\n"));
    printer.queue.updateInstanceProgress(task, instance, 0.5);
    EXPECT_TRUE(
        out.waitFor("MODIFIED INSTANCE : " + task + ", " + instance + "(Printing) progress = 0.500000\n"));
    printer.queue.deleteTask(task);
    EXPECT_TRUE(out.waitFor("DELETED TASK : " + task + "\n"));
    // A task made on the client side reaches the printer.
    const std::string own = proxy->taskQueue().makeTask("Maintaining");
    proxy->taskQueue().setVariable(own, "ObjectId", kel::var("abc"));
    ASSERT_TRUE(waitUntil([&]() { return has(printer.queue, own); }));
    ASSERT_TRUE(waitUntil([&]() { return printer.queue.hasVariable(own, "ObjectId"); }));
}

TEST_F(ProxyTest, DeletesFinishedServiceTasksAfterTheDelayOnly) {
    connect();
    CapturedStdout out;
    auto makeAt = [this](const std::string& type, double progress) {
        const std::string task = printer.queue.makeTask(type);
        const std::string instance = printer.queue.makeInstance(task, type);
        printer.queue.updateInstanceProgress(task, instance, progress);
        return std::make_pair(task, instance);
    };
    const auto wifi = makeAt("WifiSetup", 0.5);
    const auto almost = makeAt("Packaging", 0.99);
    const auto print = makeAt("Printing", 1.0);
    ASSERT_TRUE(waitUntil([&]() { return has(proxy->taskQueue(), print.first); }));

    // Finishes now; modified once more afterwards, it is still deleted once, after the delay.
    const auto finished = std::chrono::steady_clock::now();
    printer.queue.updateInstanceProgress(wifi.first, wifi.second, 1.0);
    ASSERT_TRUE(
        out.waitFor("MODIFIED INSTANCE : " + wifi.first + ", " + wifi.second + "(WifiSetup) progress = 1"));
    printer.queue.setVariable(wifi.first, "Done", kel::var(true));
    printer.queue.updateInstanceProgress(wifi.first, wifi.second, 1.0);

    ASSERT_TRUE(waitUntil([&]() { return has(printer.queue, wifi.first, "diff"); }));
    EXPECT_GE(std::chrono::steady_clock::now() - finished, milliseconds(300));
    std::this_thread::sleep_for(milliseconds(600));  // not finished, or not a service task: they stay
    EXPECT_TRUE(has(proxy->taskQueue(), almost.first));
    EXPECT_TRUE(has(proxy->taskQueue(), print.first));
    const std::string text = out.text();
    EXPECT_EQ(text.find("AUTO-DELETING"), text.rfind("AUTO-DELETING"));
}

TEST_F(ProxyTest, APrinterThatRefusesIsTriedAgainAtEachAnnouncement) {
    CapturedStdout out;  // a failed attempt shows only in the log
    const kel::bytes stranger = kel::bytes(32).randomize();
    boost::asio::ip::tcp::acceptor closed(pool.io, {boost::asio::ip::address_v4::loopback(), 0});
    User lonely(pool.io, kel::bytes(32).randomize(),
                clienttest::fastSettings(closed.local_endpoint().port()));
    closed.close();
    lonely.start();
    lonely.onSeenPrinter(boost::asio::ip::address_v4::loopback(), stranger, 5, 0);
    ASSERT_TRUE(out.waitFor("Printer::addAddress() failed connecting (reason : "));
    // An announcement that finds the failed attempt still winding down is not a new one.
    ASSERT_TRUE(waitUntil([&]() {
        lonely.onSeenPrinter(boost::asio::ip::address_v4::loopback(), stranger, 5, 0);
        const std::string text = out.text();
        return text.find("failed connecting") != text.rfind("failed connecting");
    }));
    EXPECT_FALSE(lonely.getPrinter(stranger)->connected());
}

TEST_F(ProxyTest, DropsGarbageAndConnectsAgainAtTheNextAnnouncementAfterALoss) {
    connect();
    ASSERT_TRUE(printer.sendRaw(kel::bytes("\x01\x02")));  // shorter than a gate header
    // Not JSON text, JSON but not a queue, a queue or a task of the wrong shape; an unknown kind.
    for (const char* body : {"[1,2", "[1,2,3]", "{\"tasks\":5}", "{\"tasks\":[{\"id\":7}]}"})
        ASSERT_TRUE(
            printer.sendRaw(Vant::Gate::ReliableBytes + kel::bytes(4).randomize() + kel::bytes(body)));
    ASSERT_TRUE(printer.sendRaw(kel::bytes(std::string("\x07", 1)) + kel::bytes(4).randomize()));
    // Still connected, and the next real change still arrives.
    const std::string task = printer.queue.makeTask("Printing");
    ASSERT_TRUE(waitUntil([&]() { return has(proxy->taskQueue(), task); }));
    EXPECT_EQ(printer.claims.size(), 1u);

    printer.dropConnection();
    ASSERT_TRUE(waitUntil([this]() { return !proxy->connected(); }));
    const std::string away = printer.queue.makeTask("Printing");
    clienttest::announce(user.announcementPort(), printer.publicKey);
    ASSERT_TRUE(printer.claims.waitFor(2));
    ASSERT_TRUE(waitUntil([&]() { return has(proxy->taskQueue(), away) && proxy->connected(); }));
}

TEST_F(ProxyTest, CommandsAndSynchronisationTakeTurnsAtTheGate) {
    connect();
    proxy->startCalibrationMovement("down");
    ASSERT_TRUE(printer.commands.waitFor(3));
    // A change made while actions keep flowing is not starved; after the stop at most
    // the action already handed on still arrives.
    const std::string own = proxy->taskQueue().makeTask("NozzleCalibration");
    ASSERT_TRUE(waitUntil([&]() { return has(printer.queue, own); }));
    proxy->stopCalibrationMovement();
    const std::size_t stopped = printer.commands.size();
    std::this_thread::sleep_for(milliseconds(300));
    EXPECT_LE(printer.commands.size(), stopped + 1);
    for (const kel::var& command : printer.commands.snapshot())
        EXPECT_EQ(command["calibrationAction"].stringValue(), "down");

    printer.commands.clear();
    proxy->turnToProductionMode();
    ASSERT_TRUE(printer.commands.waitFor(1));
    EXPECT_TRUE(printer.commands.snapshot()[0]["turnToProductionMode"].booleanValue());
}

TEST_F(ProxyTest, AClientDestroyedWhileBusyLeavesNothingBehindThatRuns) {
    {
        std::unique_ptr<User> busy(
            new User(pool.io, kel::bytes(32).randomize(), clienttest::fastSettings(printer.port())));
        busy->start();
        busy->onSeenPrinter(boost::asio::ip::address_v4::loopback(), printer.publicKey, 5, 0);
        proxy = busy->getPrinter(printer.publicKey);
        ASSERT_TRUE(waitUntil([&]() { return proxy->connected(); }));
        // A deletion planned, a calibration movement running, changes in flight.
        const std::string task = printer.queue.makeTask("StartingUp");
        printer.queue.updateInstanceProgress(task, printer.queue.makeInstance(task, "StartingUp"), 1.0);
        ASSERT_TRUE(waitUntil([&]() {
            return proxy->taskQueue().getTask(task).isMap() && proxy->taskQueue().isTaskDone(task);
        }));
        proxy->startCalibrationMovement("up");
        ASSERT_TRUE(printer.commands.waitFor(1));
        proxy->taskQueue().makeTask("Printing");
    }
    // What completes now (deletion timer, resends, close) finds the client gone; the sanitizers watch.
    EXPECT_TRUE(waitUntil([&]() { return !printer.connected(); }));
    std::this_thread::sleep_for(milliseconds(500));
    EXPECT_EQ(printer.claims.size(), 1u);
}

TEST_F(ProxyTest, AddsOneProxyPerPrinterConnectsOnceWithTheClientKeyAndReportsItsConnections) {
    const std::string before = printer.queue.makeTask("Printing");
    testsupport::Collector<Printer*> added, connected, disconnected;
    user.pushAddedPrinter >> [&added](Printer& p) { added.add(&p); };
    user.pushConnectedPrinter >> [&connected](Printer& p) { connected.add(&p); };
    user.pushDisconnectedPrinter >> [&disconnected](Printer& p) { disconnected.add(&p); };
    user.start();

    // Its own key and payloads of other shapes; then a real one, handled after them.
    clienttest::announce(user.announcementPort(), kel::Sodium::publicKey(clientKey));
    clienttest::announce(user.announcementPort(), "tolvane-v5-not a key");
    clienttest::announce(user.announcementPort(), printer.publicKey);
    ASSERT_TRUE(added.waitFor(1));
    // The same printer from elsewhere keeps its proxy.
    user.onSeenPrinter(boost::asio::ip::address::from_string("127.0.0.2"), printer.publicKey, 5, 0);
    clienttest::announce(user.announcementPort(), printer.publicKey);
    ASSERT_TRUE(printer.claims.waitFor(1));
    EXPECT_EQ(printer.claims.snapshot()[0], kel::Sodium::publicKey(clientKey));
    ASSERT_TRUE(connected.waitFor(1));
    EXPECT_EQ(user.getPrinters(), std::vector<Printer*>{added.snapshot()[0]});
    EXPECT_EQ(user.getPrinter(printer.publicKey), added.snapshot()[0]);
    ASSERT_TRUE(waitUntil([&]() { return has(added.snapshot()[0]->taskQueue(), before); }));
    // Announcements while connected start no other connection.
    clienttest::announce(user.announcementPort(), printer.publicKey);
    user.onSeenPrinter(boost::asio::ip::address_v4::loopback(), printer.publicKey, 5, 0);
    EXPECT_FALSE(printer.claims.waitFor(2, milliseconds(300)));
    EXPECT_EQ(printer.accepted.load(), 1);

    printer.dropConnection();
    ASSERT_TRUE(disconnected.waitFor(1));
    EXPECT_EQ(connected.snapshot()[0], disconnected.snapshot()[0]);
    user.stop();
    EXPECT_FALSE(added.snapshot()[0]->started());
}
