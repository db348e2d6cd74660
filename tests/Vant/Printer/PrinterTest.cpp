#include "Vant/Printer/Printer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "BoardSimProcess.h"
#include "Vant/Messaging/EncryptedConnection.h"
#include "Vant/Runtime/FileCache.h"
#include "Vant/Runtime/ProgressLog.h"
#include "Vant/Printer/User.h"
#include "Vant/StateMachine/StateType.h"
#include "Vant/StateMachine/build.h"
#include "kel/Sodium.h"
#include "support/AsyncTest.h"
#include "support/HttpServer.h"
#include "support/QueueContent.h"
#include "support/RawPeer.h"
#include "support/StagedHome.h"
#include "support/TestUser.h"

using namespace std::chrono_literals;
using testsupport::CapturedStdout;
using testsupport::hasInstanceOf;
using testsupport::RawPeer;
using testsupport::tasksOf;
using testsupport::TestUser;
using testsupport::waitUntil;

namespace {

const std::string NewTask = "NEW\u00a0TASK\u00a0: ";

std::size_t occurrences(const std::string& text, const std::string& wanted) {
    std::size_t count = 0;
    for (auto at = text.find(wanted); at != std::string::npos; at = text.find(wanted, at + 1)) ++count;
    return count;
}

// A gate network message as a user sends it: kind, 4-byte id, body.
kel::bytes gateMessage(kel::byte kind, const std::string& body) {
    return kel::bytes(1, kind) + kel::bytes(4).randomize() + kel::bytes(body);
}

class PrinterService : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        testsupport::stagedHome();
        Vant::StateMachine::buildStateMachine();
    }

    explicit PrinterService(std::vector<std::string> simArguments = {})
        : sim(std::move(simArguments)),
          driver(pool.io, sim.motionPath()),
          lighting(pool.io, sim.lightingPath()) {}

    void SetUp() override {
        Vant::Printer::Printer::Settings settings;
        settings.port = 0;
        settings.resendAfter = 300ms;
        settings.sendingInterval = 50ms;
        settings.broadcastDestinations = {};
        configure(settings);
        printer.reset(
            new Vant::Printer::Printer(pool.io, kel::bytes(32).randomize(), driver, lighting, settings));
        printer->getStateKeeper().pollInterval = pollInterval;
        printer->start();
        port = printer->localPort();
    }

    virtual void configure(Vant::Printer::Printer::Settings&) {}

    // The service goes once no handler can run any more.
    void TearDown() override {
        pool.stop();
        printer.reset();
        if (HasFailure()) {
            const std::string text = log.text();
            std::cerr << "--- log ---\n" << text.substr(text.size() > 30000 ? text.size() - 30000 : 0);
        }
    }

    std::chrono::milliseconds pollInterval{100};
    CapturedStdout log;
    BoardSim::Process sim;
    testsupport::IoPool pool{3};
    Vant::Driver::Driver driver;
    Vant::Driver::Lighting lighting;
    std::unique_ptr<Vant::Printer::Printer> printer;
    unsigned short port = 0;
};

TEST_F(PrinterService, OnlyAThirtyTwoByteFrameClaimsAConnection) {
    const kel::bytes longer = kel::bytes(33).randomize();
    const kel::bytes id = kel::bytes(32).randomize();
    RawPeer peer(port);
    ASSERT_TRUE(peer.writeFrame(kel::bytes(31).randomize()));
    ASSERT_TRUE(peer.writeFrame(longer));
    ASSERT_TRUE(peer.writeFrame(id));
    // Frames are handled in order: once the third has claimed, the first two had no effect.
    ASSERT_TRUE(waitUntil([&] { return printer->findUser(id) != nullptr; }));
    EXPECT_EQ(printer->userCount(), 1u);
    EXPECT_EQ(printer->findUser(longer.subBytes(0, 32)), nullptr);
    EXPECT_EQ(occurrences(log.text(), "Printer::start() Claimed user id : "), 1u);
    EXPECT_NE(log.text().find("Printer::start() Claimed user id : " + id.toHex()), std::string::npos);
}

TEST_F(PrinterService, ASecondConnectionOfTheSameUserTakesTheSessionOver) {
    printer->taskQueue().makeTask("SaveNozzlePosition");
    const kel::bytes id = kel::bytes(32).randomize();
    TestUser first(pool.io, port, id), second(pool.io, port, id);
    ASSERT_TRUE(first.connect());
    ASSERT_TRUE(first.received().waitFor(1));
    auto session = printer->findUser(id);
    ASSERT_NE(session, nullptr);

    ASSERT_TRUE(second.connect());
    ASSERT_TRUE(first.disconnections().waitFor(1));
    ASSERT_TRUE(second.received().waitFor(1));
    EXPECT_FALSE(second.received().snapshot()[0].has("diffId"));
    EXPECT_EQ(printer->findUser(id), session);
    EXPECT_EQ(printer->userCount(), 1u);
    EXPECT_TRUE(session->connected());
    EXPECT_TRUE(session->synchronizing());

    const std::string text = log.text();
    const auto forced = text.find("User::setSocket() force closing\n");
    ASSERT_NE(forced, std::string::npos);
    const std::string disconnectedLine = "User::setSocket() [pubKey=" + id.toHex() + "] [socket=";
    const auto closed = text.find(disconnectedLine, forced);
    ASSERT_NE(closed, std::string::npos);
    const std::string ending = "] disconnected (reason : Unknown reason)\n";
    EXPECT_EQ(text.substr(text.find(']', closed + disconnectedLine.size()), ending.size()), ending);
}

TEST_F(PrinterService, AReturningUserGetsTheWholeQueueFirstAndNoWorkerRunsMeanwhile) {
    printer->taskQueue().makeTask("SaveNozzlePosition");
    TestUser user(pool.io, port);
    ASSERT_TRUE(user.connect());
    const std::string added = user.addTask("SaveNozzlePosition");
    ASSERT_TRUE(user.waitForInstanceOf(added, "SaveNozzlePosition"));
    auto session = printer->findUser(user.id);
    ASSERT_NE(session, nullptr);
    EXPECT_TRUE(session->synchronizing());

    user.disconnect();
    ASSERT_TRUE(waitUntil([&] { return !session->connected(); }));
    EXPECT_FALSE(session->synchronizing());

    // Nothing changed meanwhile, and still the whole queue comes first.
    const std::size_t before = user.received().size();
    ASSERT_TRUE(user.connect());
    ASSERT_TRUE(user.received().waitFor(before + 1));
    const kel::var first = user.received().snapshot()[before];
    EXPECT_FALSE(first.has("diffId"));
    EXPECT_EQ(first["tasks"].size(), 2u);
    EXPECT_EQ(printer->findUser(user.id), session);
    EXPECT_TRUE(session->synchronizing());
}

TEST_F(PrinterService, AUserAddedTaskIsLoggedAndStartedAtOnce) {
    TestUser user(pool.io, port);
    ASSERT_TRUE(user.connect());
    const std::string taskId = user.addTask("SaveNozzlePosition");
    ASSERT_TRUE(log.waitFor(NewTask + taskId + "\n"));
    ASSERT_TRUE(waitUntil([&] { return hasInstanceOf(printer->taskQueue(), taskId, "SaveNozzlePosition"); }));
    // The instance made on the printer reaches the user's copy.
    EXPECT_TRUE(user.waitForInstanceOf(taskId, "SaveNozzlePosition"));
}

TEST_F(PrinterService, CalibrationActionsAndProductionModeAreExecuted) {
    TestUser user(pool.io, port);
    ASSERT_TRUE(user.connect());
    const std::string action = "StateKeeper::pushCalibrationAction(std::string action) action = ";

    ASSERT_TRUE(user.sendReliably(kel::var::fromJsonString(R"({"calibrationAction":1})")));
    EXPECT_TRUE(log.waitFor("User::User() received calibrationAction : {\"calibrationAction\":1}\n"));
    EXPECT_TRUE(log.waitFor(action + "up, ignored (not calibrating)"));
    ASSERT_TRUE(user.sendReliably(kel::var::fromJsonString(R"({"calibrationAction":"down"})")));
    EXPECT_TRUE(log.waitFor(action + "down, ignored (not calibrating)"));

    // The value is not looked at: false switches too.
    ASSERT_TRUE(user.sendReliably(kel::var::fromJsonString(R"({"turnToProductionMode":false})")));
    EXPECT_TRUE(log.waitFor("User::User() received turnToProductionMode\n"));
    ASSERT_TRUE(waitUntil([&] { return tasksOf(printer->taskQueue(), "Packaging").size() == 1; }));
    const std::string packaging = tasksOf(printer->taskQueue(), "Packaging")[0];
    EXPECT_TRUE(hasInstanceOf(printer->taskQueue(), packaging, "Packaging"));
    EXPECT_TRUE(user.waitForInstanceOf(packaging, "Packaging"));
    // The script ran without a shell and was reaped.
    EXPECT_TRUE(log.waitFor("the production-mode script ended with status 0"));
    EXPECT_NE(
        testsupport::slurp(testsupport::stagedHome() + "/debug/butterfly.log").find("butterfly started"),
        std::string::npos);
}

TEST_F(PrinterService, HostileInputNeverStopsTheServiceForOthers) {
    TestUser good(pool.io, port);
    ASSERT_TRUE(good.connect());
    const std::string before = good.addTask("SaveNozzlePosition");
    ASSERT_TRUE(good.waitForInstanceOf(before, "SaveNozzlePosition"));

    RawPeer hostile(port);
    ASSERT_TRUE(hostile.writeFrame(kel::bytes(1, 0x41)));         // no claim
    ASSERT_TRUE(hostile.writeFrame(kel::bytes(32).randomize()));  // the claim
    const std::vector<std::string> bodies = {
        "{{{ not json",
        R"({"diffId":"0000)",
        "[1,2,3]",
        "42",
        R"({"calibrationAction":{"up":[]}})",
        R"({"diffId":"00000001","tasks":[{"id":"0000000a","instances":{},"data":{}}]})",
        R"({"diffId":"00000002","tasks":[{"id":"0000000b","stateType":5,"instances":{},"data":{}}]})",
        R"({"diffId":"00000003","tasks":[{"id":"0000000c","stateType":"NoSuchType","instances":{},"data":{}}]})",
        R"({"diffId":"00000004","tasks":[{"id":"0000000d","stateType":"SaveNozzlePosition","instances":{},)"
        R"("data":{"Interrupted":{"deep":[1,{"x":false}]},"WifiDetails.Ssid":7}}]})",
        R"({"diffId":"00000005","tasks":"none"})",
        R"({"tasks":[{"id":5}]})",
    };
    for (const auto& body : bodies) ASSERT_TRUE(hostile.writeFrame(gateMessage(Vant::Gate::Reliable, body)));
    ASSERT_TRUE(hostile.writeFrame(kel::bytes(3, 0xff)));                    // shorter than a gate header
    ASSERT_TRUE(hostile.writeFrame(gateMessage(0x77, "\xff\xfe garbage")));  // unknown kind
    ASSERT_TRUE(hostile.writeFrame(gateMessage(Vant::Gate::Notification, "")));

    RawPeer oversized(port);
    ASSERT_TRUE(oversized.write(kel::bytes::fromUint(0xfffffff0u)));
    EXPECT_TRUE(oversized.waitClosed());

    EXPECT_TRUE(log.waitFor("Printer::startTask() task 0000000b has no state type name; not started."));
    EXPECT_TRUE(log.waitFor("Printer::startTask() task 0000000c names no known state type"));
    EXPECT_TRUE(log.waitFor("User::User() dropped a body that is not JSON text"));

    // The well-behaved user is still served, and the hostile connection stays open.
    const std::string after = good.addTask("SaveNozzlePosition");
    EXPECT_TRUE(good.waitForInstanceOf(after, "SaveNozzlePosition"));
    EXPECT_TRUE(good.isConnected());
    EXPECT_EQ(printer->userCount(), 2u);
}

TEST_F(PrinterService, SessionsWithoutAConnectionBeyondTheMostRecent64AreForgotten) {
    TestUser good(pool.io, port);
    ASSERT_TRUE(good.connect());
    const std::string taskId = good.addTask("SaveNozzlePosition");
    ASSERT_TRUE(good.waitForInstanceOf(taskId, "SaveNozzlePosition"));

    const int claims = 100;
    std::vector<kel::bytes> ids;
    for (int i = 0; i < claims; ++i) {
        ids.push_back(kel::bytes(32).randomize());
        RawPeer peer(port);
        ASSERT_TRUE(peer.writeFrame(ids.back()));
        // Waiting for each session to come and go keeps the order of use that of the claims.
        std::shared_ptr<Vant::Printer::User> session;
        ASSERT_TRUE(
            waitUntil([&] { return (session = printer->findUser(ids.back())) && session->connected(); }));
        peer.close();
        ASSERT_TRUE(waitUntil([&] { return !session->connected(); }));
    }
    // The last claim handler may still be finishing; its pass forgets the oldest.
    ASSERT_TRUE(waitUntil([&] { return printer->userCount() == 64 + 1; })) << printer->userCount();

    EXPECT_NE(printer->findUser(good.id), nullptr);
    for (int i = 0; i < claims - 64; ++i) EXPECT_EQ(printer->findUser(ids[i]), nullptr) << i;
    for (int i = claims - 64; i < claims; ++i) {
        auto session = printer->findUser(ids[i]);
        ASSERT_NE(session, nullptr) << i;
        EXPECT_FALSE(session->synchronizing()) << i;
    }

    // A forgotten user comes back to a new session and the whole queue.
    TestUser returning(pool.io, port, ids[0]);
    ASSERT_TRUE(returning.connect());
    ASSERT_TRUE(returning.received().waitFor(1));
    EXPECT_FALSE(returning.received().snapshot()[0].has("diffId"));
    EXPECT_TRUE(returning.waitForInstanceOf(taskId, "SaveNozzlePosition"));
    EXPECT_TRUE(good.isConnected());
}

// A printer whose board has answered the handshake and answers 200 times faster than a
// real one, and a model served from 127.0.0.1.
class PrinterPrinting : public PrinterService {
protected:
    PrinterPrinting() : PrinterService({"--time-scale", "200"}), folder(testsupport::scratchFolder()) {
        pollInterval = 5ms;
        if (!shakeHands(driver)) throw std::runtime_error("the simulated board did not answer the handshake");
        testsupport::writeFile(folder + "/cube.stl",
                               testsupport::slurp(testsupport::stagedHome() + "/models/cube.stl"));
        server.reset(new testsupport::HttpServer(folder));
    }

    // The commands the board received after the handshake ("N7 G1 X1*45" gives "G1 X1").
    std::vector<std::string> commands() {
        std::vector<std::string> found;
        const auto lines = sim.received();
        for (std::size_t i = 1; i < lines.size(); ++i) {
            const auto blank = lines[i].find(' ');
            found.push_back(lines[i].substr(blank + 1, lines[i].rfind('*') - blank - 1));
        }
        return found;
    }
    static bool isMovement(const std::string& command) {
        return command.compare(0, 3, "G0 ") == 0 || command.compare(0, 3, "G1 ") == 0;
    }
    std::size_t movements() {
        const auto all = commands();
        return static_cast<std::size_t>(std::count_if(all.begin(), all.end(), isMovement));
    }

    // Answers, as a user does, every question of the task that is still open.
    static void answerRequests(TestUser& user, const std::string& taskId) {
        const kel::var& catalogue = Vant::StateMachine::StateTypes;
        for (const auto& instance : user.queue().getTask(taskId).instances()) {
            const std::string type = instance["stateType"].stringValue();
            if (!catalogue.has(type) || !catalogue[type].has("request")) continue;
            if (instance["progress"].realValue(0.0) < 1.0)
                user.queue().updateInstanceProgress(taskId, instance["id"].stringValue(), 1.0);
        }
    }
    // The printer has run the task to its end.
    bool completed(const std::string& taskId, const std::string& stateType) {
        return hasInstanceOf(printer->taskQueue(), taskId, stateType) &&
               printer->taskQueue().isTaskDone(taskId);
    }

    std::string folder;
    std::unique_ptr<testsupport::HttpServer> server;
};

// A deleted print stops as an interrupted one does: its resetting states run, its
// locks go, and nothing of it comes back into the users' queues.
TEST_F(PrinterPrinting, ADeletedPrintStopsMovingResetsThePrinterAndFreesItsLocks) {
    TestUser user(pool.io, port);
    ASSERT_TRUE(user.connect());
    const std::string print = user.addTask("Printing");
    user.queue().setVariable(print, "fileLink", server->url("cube.stl"));
    user.queue().setVariable(print, "fileId", *Vant::Runtime::FileCache::digestOf(folder + "/cube.stl"));
    ASSERT_TRUE(waitUntil(
        [&] {
            answerRequests(user, print);
            return movements() >= 20;
        },
        120s));

    // The board holds its answers while the deletion travels, so that the print is
    // still streaming when it lands, however fast the board. The count is taken
    // before the deletion is sent: once it lands, the emergency stop may reach the
    // board before the test sees the deletion in the log.
    sim.control("hold");
    const std::size_t atDeletion = commands().size();
    user.queue().deleteTask(print);
    ASSERT_TRUE(log.waitFor("DELETED\u00a0TASK\u00a0: " + print + "\n"));
    sim.control("release");
    // The layerer had one line in flight; then the resetting states' commands come.
    ASSERT_TRUE(waitUntil(
        [&] {
            const auto all = commands();
            return std::find(all.begin() + static_cast<long>(atDeletion), all.end(), "M112") != all.end();
        },
        10s));

    const std::string packaging = user.addTask("Packaging");
    ASSERT_TRUE(waitUntil([&] { return completed(packaging, "Packaging"); }, 60s));
    const auto all = commands();
    const auto stop = std::find(all.begin() + static_cast<long>(atDeletion), all.end(), "M112");
    EXPECT_LE(std::count_if(all.begin() + static_cast<long>(atDeletion), stop, isMovement), 1);
    EXPECT_EQ(std::count_if(stop, all.end(), isMovement), 0);
    std::string lastTarget;
    for (const auto& command : all) {
        if (command.compare(0, 4, "M104") == 0) lastTarget = command;
    }
    EXPECT_EQ(lastTarget, "M104 S0");
    EXPECT_EQ(all.back(), "G73 Q0");
    EXPECT_TRUE(printer->taskQueue().getTask(print).isDeletion());
    EXPECT_TRUE(user.queue().getTask(print).isDeletion());
    EXPECT_FALSE(user.queue().getTask(print).has("instances"));

    // A task whose states have all ended is deleted without a trace on the board.
    user.queue().deleteTask(packaging);
    ASSERT_TRUE(log.waitFor("DELETED\u00a0TASK\u00a0: " + packaging + "\n"));
    const std::string after = user.addTask("SaveNozzlePosition");
    ASSERT_TRUE(waitUntil([&] { return completed(after, "SaveNozzlePosition"); }, 30s));
    const auto last = commands();
    EXPECT_EQ(std::vector<std::string>(last.begin() + static_cast<long>(all.size()), last.end()),
              std::vector<std::string>{"M500"});
}

// Five users at once each make 400 tasks as fast as the printer takes them (at most
// four of a user's tasks not on the printer yet) and delete each eight tasks later:
// 4,000 changes, every task started on the printer. Afterwards nobody was dropped,
// nothing a user sent was lost, every message was acknowledged and every user's copy
// equals the printer's queue.
TEST_F(PrinterPrinting, FiveUsersBurstingChangesAreAllServedAndAgree) {
    // Under the ARM emulator everything runs several times slower: a shorter burst.
    const int userCount = 5, tasksEach = std::getenv("TOLVANE_EMULATOR") != nullptr ? 150 : 400;
    const int ahead = 4;        // tasks of one user not on the printer yet, at most
    const int deleteAfter = 8;  // a task is deleted this many tasks later (the last few stay)
    std::vector<std::unique_ptr<TestUser>> users;
    for (int u = 0; u < userCount; ++u) {
        users.emplace_back(new TestUser(pool.io, port));
        ASSERT_TRUE(users.back()->connect());
    }

    std::vector<std::vector<std::string>> made(userCount);
    // A printer that falls behind fails the burst here instead of holding the suite up.
    const auto burstDeadline = std::chrono::steady_clock::now() + 90s;
    std::atomic<int> stalled{0};
    std::vector<std::thread> bursts;
    for (int u = 0; u < userCount; ++u) {
        bursts.emplace_back([&, u] {
            TestUser& user = *users[u];
            std::vector<std::string>& ids = made[u];
            for (int i = 0; i < tasksEach; ++i) {
                ids.push_back(user.addTask("SaveNozzlePosition"));
                if (i >= deleteAfter) user.queue().deleteTask(ids[i - deleteAfter]);
                if (i < ahead) continue;
                const std::string waited = ids[i - ahead];
                const bool taken =
                    waitUntil([&] { return printer->taskQueue().getTask(waited).has("id"); }, 20s);
                if (!taken || std::chrono::steady_clock::now() > burstDeadline) {
                    ++stalled;
                    return;
                }
            }
        });
    }
    for (auto& burst : bursts) burst.join();
    ASSERT_EQ(stalled, 0);

    // Soon after the burst: every copy equals the printer's queue, the tasks kept have
    // run, and no user's message waits for its acknowledgement.
    auto settled = [&] {
        const auto printed = entriesById(printer->taskQueue().getQueue());
        for (int u = 0; u < userCount; ++u) {
            if (users[u]->unacknowledged() != 0) return false;
            if (entriesById(users[u]->queue().getQueue()) != printed) return false;
            for (int i = tasksEach - deleteAfter; i < tasksEach; ++i) {
                if (!printer->taskQueue().isTaskDone(made[u][i])) return false;
            }
        }
        return true;
    };
    ASSERT_TRUE(waitUntil(settled, 30s));

    // Nothing a user sent was lost: every task is on the printer, deleted or run.
    for (int u = 0; u < userCount; ++u) {
        for (int i = 0; i < tasksEach; ++i) {
            const auto task = printer->taskQueue().getTask(made[u][i]);
            ASSERT_TRUE(task.has("id")) << u << " " << i;
            EXPECT_EQ(task.isDeletion(), i < tasksEach - deleteAfter) << u << " " << i;
        }
        EXPECT_TRUE(users[u]->isConnected()) << u;
        EXPECT_EQ(users[u]->disconnections().size(), 0u) << u;
        EXPECT_TRUE(printer->findUser(users[u]->id)->connected()) << u;
    }
    EXPECT_EQ(log.text().find("disconnected (reason"), std::string::npos);
}

// Trusted users only: the listed keys, over the encrypted channel.
class TrustedPrinterService : public PrinterService {
protected:
    struct Keys {
        kel::bytes priv = kel::bytes(32).randomize();
        kel::bytes pub = kel::Sodium::publicKey(priv);
    };

    void configure(Vant::Printer::Printer::Settings& settings) override {
        settings.trustedOnly = true;
        settings.trustedUsers = {alice.pub, bob.pub};
        settings.securePort = 0;
    }

    Keys alice, bob, mallory;
};

TEST_F(TrustedPrinterService, ServesListedUsersOnlyEachAsTheKeyItProved) {
    TestUser listed(pool.io, port, alice.priv, printer->getPublicKey());
    ASSERT_TRUE(listed.connect());
    const std::string task = listed.addTask("SaveNozzlePosition");
    ASSERT_TRUE(listed.waitForInstanceOf(task, "SaveNozzlePosition"));

    // An unlisted key completes its handshake and is closed at once, logged once;
    // what it meant to send never reaches the queue.
    TestUser unlisted(pool.io, port, mallory.priv, printer->getPublicKey());
    unlisted.addTask("Maintaining");
    ASSERT_TRUE(unlisted.connect());
    ASSERT_TRUE(unlisted.disconnections().waitFor(1));
    EXPECT_EQ(occurrences(log.text(), "refused user key " + mallory.pub.toHex()), 1u);
    EXPECT_EQ(printer->findUser(mallory.pub), nullptr);

    // A listed user claiming another id is closed too.
    const boost::asio::ip::tcp::endpoint endpoint(boost::asio::ip::address_v4::loopback(), port);
    auto other = Vant::Messaging::EncryptedConnection::create(pool.io, bob.priv, bob.pub, endpoint,
                                                              printer->getPublicKey());
    testsupport::Collector<boost::system::error_code> connected, ended;
    other->start(
        connected.adder(), [](kel::bytes) {}, ended.adder());
    ASSERT_TRUE(connected.waitFor(1));
    other->send(alice.pub);
    ASSERT_TRUE(ended.waitFor(1));
    EXPECT_TRUE(
        log.waitFor("refused the claim of " + alice.pub.toHex() + " on a connection of " + bob.pub.toHex()));
    EXPECT_EQ(printer->findUser(bob.pub), nullptr);

    const std::string later = listed.addTask("SaveNozzlePosition");
    ASSERT_TRUE(listed.waitForInstanceOf(later, "SaveNozzlePosition"));
    EXPECT_TRUE(tasksOf(printer->taskQueue(), "Maintaining").empty());
    EXPECT_TRUE(listed.isConnected());
}

TEST_F(TrustedPrinterService, AUserTakenOffTheListIsDisconnectedAndRefusedFromThenOn) {
    printer->taskQueue().makeTask("SaveNozzlePosition");  // a queue to receive
    TestUser leaving(pool.io, port, alice.priv, printer->getPublicKey());
    TestUser staying(pool.io, port, bob.priv, printer->getPublicKey());
    ASSERT_TRUE(leaving.connect());
    ASSERT_TRUE(staying.connect());
    ASSERT_TRUE(leaving.received().waitFor(1));
    ASSERT_TRUE(staying.received().waitFor(1));

    EXPECT_EQ(printer->setTrustedUsers({bob.pub, mallory.pub}), 1u);
    ASSERT_TRUE(leaving.disconnections().waitFor(1));
    ASSERT_TRUE(leaving.connect());  // the handshake still works; the door does not
    ASSERT_TRUE(leaving.disconnections().waitFor(2));
    EXPECT_EQ(occurrences(log.text(), "refused user key " + alice.pub.toHex()), 1u);

    TestUser added(pool.io, port, mallory.priv, printer->getPublicKey());
    ASSERT_TRUE(added.connect());
    const std::string task = added.addTask("SaveNozzlePosition");
    EXPECT_TRUE(added.waitForInstanceOf(task, "SaveNozzlePosition"));
    EXPECT_TRUE(staying.isConnected());
    EXPECT_EQ(staying.disconnections().size(), 0u);
}

}  // namespace
