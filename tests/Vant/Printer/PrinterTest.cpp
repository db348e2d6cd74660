#include "Vant/Printer/Printer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <iostream>

#include "Vant/Messaging/EncryptedConnection.h"
#include "Vant/Printer/User.h"
#include "Vant/Runtime/FileCache.h"
#include "Vant/Runtime/ProgressLog.h"
#include "Vant/StateMachine/build.h"
#include "kel/Sodium.h"
#include "support/HttpServer.h"
#include "support/QueueContent.h"
#include "support/RawPeer.h"
#include "support/StagedHome.h"
#include "support/TestUser.h"

using namespace std::chrono_literals;
using namespace testsupport;

namespace {

kel::bytes gateMessage(kel::byte kind, const std::string& body) {
    return kel::bytes(1, kind) + kel::bytes(4).randomize() + kel::bytes(body);
}

// Whether a task the user adds comes back started.
bool served(TestUser& user) {
    const std::string task = user.addTask("SaveNozzlePosition");
    return user.waitForInstanceOf(task, "SaveNozzlePosition");
}

class PrinterService : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        stagedHome();
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

    void TearDown() override {
        pool.stop();
        printer.reset();
        if (HasFailure()) std::cerr << "--- log ---\n" << log.text();
    }

    std::chrono::milliseconds pollInterval{100};
    CapturedStdout log;
    BoardSim::Process sim;
    IoPool pool{3};
    Vant::Driver::Driver driver;
    Vant::Driver::Lighting lighting;
    std::unique_ptr<Vant::Printer::Printer> printer;
    unsigned short port = 0;
};

// A returning user gets the whole queue first, even when nothing changed meanwhile,
// and no worker of the session runs while it is away.
TEST_F(PrinterService, ASecondConnectionTakesTheSessionOverAndAReturningUserGetsTheWholeQueue) {
    printer->taskQueue().makeTask("SaveNozzlePosition");
    TestUser first(pool.io, port), user(pool.io, port, first.id);
    ASSERT_TRUE(first.connect());
    ASSERT_TRUE(first.received().waitFor(1));
    auto session = printer->findUser(first.id);
    ASSERT_NE(session, nullptr);
    ASSERT_TRUE(user.connect());
    ASSERT_TRUE(first.disconnections().waitFor(1));
    ASSERT_TRUE(user.received().waitFor(1));
    EXPECT_FALSE(user.received().snapshot()[0].has("diffId"));
    EXPECT_EQ(printer->userCount(), 1u);

    ASSERT_TRUE(served(user));
    EXPECT_TRUE(session->synchronizing());
    user.disconnect();
    ASSERT_TRUE(waitUntil([&] { return !session->connected(); }));
    EXPECT_FALSE(session->synchronizing());

    const std::size_t before = user.received().size();
    ASSERT_TRUE(user.connect());
    ASSERT_TRUE(user.received().waitFor(before + 1));
    const kel::var whole = user.received().snapshot()[before];
    EXPECT_FALSE(whole.has("diffId"));
    EXPECT_EQ(whole["tasks"].size(), 2u);
    EXPECT_EQ(printer->findUser(user.id), session);
    EXPECT_TRUE(session->synchronizing());
}

TEST_F(PrinterService, CalibrationActionsAndProductionModeAreExecuted) {
    TestUser user(pool.io, port);
    ASSERT_TRUE(user.connect());
    const std::string action = "StateKeeper::pushCalibrationAction(std::string action) action = ";

    // The log is the only outward sign of an action while nothing calibrates.
    ASSERT_TRUE(user.sendReliably(kel::var::fromJsonString(R"({"calibrationAction":1})")));
    EXPECT_TRUE(log.waitFor(action + "up, ignored (not calibrating)"));
    ASSERT_TRUE(user.sendReliably(kel::var::fromJsonString(R"({"calibrationAction":"down"})")));
    EXPECT_TRUE(log.waitFor(action + "down, ignored (not calibrating)"));

    ASSERT_TRUE(user.sendReliably(kel::var::fromJsonString(R"({"turnToProductionMode":false})")));
    ASSERT_TRUE(waitUntil([&] { return tasksOf(printer->taskQueue(), "Packaging").size() == 1; }));
    EXPECT_TRUE(user.waitForInstanceOf(tasksOf(printer->taskQueue(), "Packaging")[0], "Packaging"));
    EXPECT_TRUE(log.waitFor("the production-mode script ended with status 0"));
    EXPECT_NE(slurp(stagedHome() + "/debug/butterfly.log").find("butterfly started"), std::string::npos);
}

TEST_F(PrinterService, HostileInputNeverStopsTheServiceForOthers) {
    TestUser good(pool.io, port);
    ASSERT_TRUE(good.connect());
    ASSERT_TRUE(served(good));

    RawPeer hostile(port);
    const kel::bytes longer = kel::bytes(33).randomize(), id = kel::bytes(32).randomize();
    for (const kel::bytes& frame : {kel::bytes(1, 0x41), kel::bytes(31).randomize(), longer, id})
        ASSERT_TRUE(hostile.writeFrame(frame));
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

    // Bodies are handled in order: once this one is, all before it were.
    EXPECT_TRUE(log.waitFor("Printer::startTask() task 0000000c names no known state type"));
    EXPECT_TRUE(served(good));
    EXPECT_TRUE(good.isConnected());
    EXPECT_EQ(printer->userCount(), 2u);
    EXPECT_NE(printer->findUser(id), nullptr);
    EXPECT_EQ(printer->findUser(longer.subBytes(0, 32)), nullptr);
}

// A forgotten user comes back to a new session and the whole queue.
TEST_F(PrinterService, SessionsWithoutAConnectionBeyondTheMostRecent64AreForgotten) {
    TestUser good(pool.io, port);
    ASSERT_TRUE(good.connect());
    const std::string taskId = good.addTask("SaveNozzlePosition");
    ASSERT_TRUE(good.waitForInstanceOf(taskId, "SaveNozzlePosition"));
    std::vector<kel::bytes> ids(100);
    for (auto& id : ids) {
        RawPeer peer(port);
        ASSERT_TRUE(peer.writeFrame(id = kel::bytes(32).randomize()));
        // Each session comes and goes in turn: the order of use is that of the claims.
        std::shared_ptr<Vant::Printer::User> session;
        ASSERT_TRUE(waitUntil([&] { return (session = printer->findUser(id)) && session->connected(); }));
        peer.close();
        ASSERT_TRUE(waitUntil([&] { return !session->connected(); }));
    }
    ASSERT_TRUE(waitUntil([&] { return printer->userCount() == 64 + 1; })) << printer->userCount();
    EXPECT_NE(printer->findUser(good.id), nullptr);
    for (size_t i = 0; i < ids.size(); ++i) {
        const auto session = printer->findUser(ids[i]);
        EXPECT_EQ(session != nullptr, i >= ids.size() - 64) << i;
        EXPECT_FALSE(session && session->synchronizing()) << i;
    }
    TestUser returning(pool.io, port, ids[0]);
    ASSERT_TRUE(returning.connect());
    ASSERT_TRUE(returning.received().waitFor(1));
    EXPECT_FALSE(returning.received().snapshot()[0].has("diffId"));
    EXPECT_TRUE(returning.waitForInstanceOf(taskId, "SaveNozzlePosition"));
    EXPECT_TRUE(good.isConnected());
}

// A board 200 times faster than a real one.
class PrinterPrinting : public PrinterService {
protected:
    PrinterPrinting() : PrinterService({"--time-scale", "200"}), folder(scratchFolder()) {
        pollInterval = 5ms;
        if (!shakeHands(driver)) throw std::runtime_error("the simulated board did not answer the handshake");
        writeFile(folder + "/cube.stl", slurp(stagedHome() + "/models/cube.stl"));
        server.reset(new HttpServer(folder));
    }

    static void answerRequests(TestUser& user, const std::string& taskId) {
        for (const auto& instance : user.queue().getTask(taskId).instances())
            if (isRequest(instance["stateType"].stringValue()) && instance["progress"].realValue(0.0) < 1.0)
                user.queue().updateInstanceProgress(taskId, instance["id"].stringValue(), 1.0);
    }
    bool completed(const std::string& taskId, const std::string& stateType) {
        return hasInstanceOf(printer->taskQueue(), taskId, stateType) &&
               printer->taskQueue().isTaskDone(taskId);
    }

    std::string folder;
    std::unique_ptr<HttpServer> server;
};

TEST_F(PrinterPrinting, ADeletedPrintStopsMovingResetsThePrinterAndFreesItsLocks) {
    TestUser user(pool.io, port);
    ASSERT_TRUE(user.connect());
    const std::string print = user.addTask("Printing");
    user.queue().setVariable(print, "fileLink", server->url("cube.stl"));
    user.queue().setVariable(print, "fileId", *Vant::Runtime::FileCache::digestOf(folder + "/cube.stl"));
    ASSERT_TRUE(waitUntil(
        [&] {
            answerRequests(user, print);
            const auto all = boardCommands(sim);
            return std::count_if(all.begin(), all.end(), isMovement) >= 20;
        },
        120s));
    // The board holds its answers so that the print still streams when the deletion
    // lands; the count comes first, as the stop may reach the board before the log.
    sim.control("hold");
    const std::size_t atDeletion = boardCommands(sim).size();
    user.queue().deleteTask(print);
    ASSERT_TRUE(log.waitFor("DELETED\u00a0TASK\u00a0: " + print + "\n"));
    sim.control("release");
    // The layerer had one line in flight.
    ASSERT_TRUE(waitUntil(
        [&] {
            const auto after = boardCommands(sim, atDeletion);
            return std::find(after.begin(), after.end(), "M112") != after.end();
        },
        10s));
    const std::string packaging = user.addTask("Packaging");
    ASSERT_TRUE(waitUntil([&] { return completed(packaging, "Packaging"); }, 60s));
    const auto after = boardCommands(sim, atDeletion);
    const auto stop = std::find(after.begin(), after.end(), "M112");
    EXPECT_LE(std::count_if(after.begin(), stop, isMovement), 1);
    EXPECT_EQ(std::count_if(stop, after.end(), isMovement), 0);
    const auto heater = std::find_if(after.rbegin(), after.rend(),
                                     [](const std::string& c) { return c.compare(0, 4, "M104") == 0; });
    EXPECT_EQ(heater != after.rend() ? *heater : "", "M104 S0");
    EXPECT_EQ(after.back(), "G73 Q0");
    EXPECT_TRUE(printer->taskQueue().getTask(print).isDeletion());
    EXPECT_TRUE(user.queue().getTask(print).isDeletion());
    EXPECT_FALSE(user.queue().getTask(print).has("instances"));

    // A task whose states have all ended is deleted without a trace on the board.
    const size_t atEnd = boardCommands(sim).size();
    user.queue().deleteTask(packaging);
    ASSERT_TRUE(log.waitFor("DELETED\u00a0TASK\u00a0: " + packaging + "\n"));
    const std::string next = user.addTask("SaveNozzlePosition");
    ASSERT_TRUE(waitUntil([&] { return completed(next, "SaveNozzlePosition"); }, 30s));
    EXPECT_EQ(boardCommands(sim, atEnd), std::vector<std::string>{"M500"});
}

// Each user keeps at most four tasks not on the printer yet and deletes each eight later.
TEST_F(PrinterPrinting, FiveUsersBurstingChangesAreAllServedAndAgree) {
    const int userCount = 5, tasksEach = std::getenv("TOLVANE_EMULATOR") ? 150 : 400, ahead = 4,
              deleteAfter = 8;
    std::vector<std::unique_ptr<TestUser>> users;
    std::vector<std::vector<std::string>> made(userCount);
    std::atomic<int> stalled{0};
    std::vector<std::thread> bursts;
    const auto burstDeadline = std::chrono::steady_clock::now() + 90s;
    for (int u = 0; u < userCount; ++u) {
        users.emplace_back(new TestUser(pool.io, port));
        ASSERT_TRUE(users.back()->connect());
    }
    for (int u = 0; u < userCount; ++u) {
        bursts.emplace_back([&, u] {
            std::vector<std::string>& ids = made[u];
            for (int i = 0; i < tasksEach; ++i) {
                ids.push_back(users[u]->addTask("SaveNozzlePosition"));
                if (i >= deleteAfter) users[u]->queue().deleteTask(ids[i - deleteAfter]);
                if (i >= ahead &&
                    (!waitUntil([&] { return printer->taskQueue().getTask(ids[i - ahead]).has("id"); },
                                20s) ||
                     std::chrono::steady_clock::now() > burstDeadline)) {
                    ++stalled;
                    return;
                }
            }
        });
    }
    for (auto& burst : bursts) burst.join();
    ASSERT_EQ(stalled, 0);

    ASSERT_TRUE(waitUntil(
        [&] {
            const auto printed = entriesById(printer->taskQueue().getQueue());
            for (int u = 0; u < userCount; ++u) {
                if (users[u]->unacknowledged() != 0 || entriesById(users[u]->queue().getQueue()) != printed)
                    return false;
                for (int i = tasksEach - deleteAfter; i < tasksEach; ++i)
                    if (!printer->taskQueue().isTaskDone(made[u][i])) return false;
            }
            return true;
        },
        30s));
    for (int u = 0; u < userCount; ++u) {
        for (int i = 0; i < tasksEach; ++i) {
            const auto task = printer->taskQueue().getTask(made[u][i]);
            ASSERT_TRUE(task.has("id")) << u << " " << i;
            EXPECT_EQ(task.isDeletion(), i < tasksEach - deleteAfter) << u << " " << i;
        }
        EXPECT_EQ(users[u]->disconnections().size(), 0u) << u;
        EXPECT_TRUE(users[u]->isConnected() && printer->findUser(users[u]->id)->connected()) << u;
    }
}

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
    ASSERT_TRUE(served(listed));

    // An unlisted key is closed once its handshake ends, and logged once.
    TestUser unlisted(pool.io, port, mallory.priv, printer->getPublicKey());
    unlisted.addTask("Maintaining");
    ASSERT_TRUE(unlisted.connect());
    ASSERT_TRUE(unlisted.disconnections().waitFor(1));
    EXPECT_EQ(occurrences(log.text(), "refused user key " + mallory.pub.toHex()), 1u);
    EXPECT_EQ(printer->findUser(mallory.pub), nullptr);

    auto other = Vant::Messaging::EncryptedConnection::create(
        pool.io, bob.priv, bob.pub, {boost::asio::ip::address_v4::loopback(), port}, printer->getPublicKey());
    Collector<boost::system::error_code> connected, ended;
    other->start(
        connected.adder(), [](kel::bytes) {}, ended.adder());
    ASSERT_TRUE(connected.waitFor(1));
    other->send(alice.pub);
    ASSERT_TRUE(ended.waitFor(1));
    EXPECT_EQ(printer->findUser(bob.pub), nullptr);

    ASSERT_TRUE(served(listed));
    EXPECT_TRUE(tasksOf(printer->taskQueue(), "Maintaining").empty());
    EXPECT_TRUE(listed.isConnected());
}

TEST_F(TrustedPrinterService, AUserTakenOffTheListIsDisconnectedAndRefusedFromThenOn) {
    printer->taskQueue().makeTask("SaveNozzlePosition");  // a queue to receive
    TestUser leaving(pool.io, port, alice.priv, printer->getPublicKey());
    TestUser staying(pool.io, port, bob.priv, printer->getPublicKey());
    ASSERT_TRUE(leaving.connect() && staying.connect());
    ASSERT_TRUE(leaving.received().waitFor(1) && staying.received().waitFor(1));

    EXPECT_EQ(printer->setTrustedUsers({bob.pub, mallory.pub}), 1u);
    ASSERT_TRUE(leaving.disconnections().waitFor(1));
    ASSERT_TRUE(leaving.connect());  // the handshake still works; the door does not
    ASSERT_TRUE(leaving.disconnections().waitFor(2));

    TestUser added(pool.io, port, mallory.priv, printer->getPublicKey());
    ASSERT_TRUE(added.connect());
    EXPECT_TRUE(served(added));
    EXPECT_EQ(staying.disconnections().size(), 0u);
    EXPECT_TRUE(staying.isConnected());
}

}  // namespace
