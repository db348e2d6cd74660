// What the two-end property test cannot tell: message content, interval, events,
// malformed input, the worker, exact crossings and a restarted printer.
#include "Vant/Synchronization/PeerSynchronizer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "Vant/Synchronization/LocalSynchronizer.h"
#include "support/AsyncTest.h"
#include "support/QueueContent.h"

using kel::var;
using Vant::Synchronization::LocalSynchronizer;
using Vant::Synchronization::PeerSynchronizer;

namespace {

typedef PeerSynchronizer::Side Side;

// One end whose messages the test carries; the test makes the passes.
struct End {
    explicit End(Side side, std::chrono::milliseconds interval = std::chrono::milliseconds(0))
        : peer(local, side, interval) {
        peer.pushMessage >> [this](var message) { sent.push_back(message); };
        local.pushNewTask >> [this](std::string id) { events.push_back("newTask " + id); };
        local.pushDeletedTask >> [this](std::string id) { events.push_back("deletedTask " + id); };
        local.pushModifiedVariable >>
            [this](std::string id, std::string name) { events.push_back("variable " + id + " " + name); };
    }

    // The last message sent, as JSON text like the gate.
    void deliverTo(End& other) { other.peer.onMessage(var::fromJsonString(sent.back().toJsonString())); }
    void confirm() { peer.onNotification(); }
    // One pass whose message reaches `other` and is confirmed at once.
    bool sendTo(End& other) {
        if (!peer.synchronizeOnce()) return false;
        deliverTo(other);
        confirm();
        return true;
    }

    LocalSynchronizer local;
    PeerSynchronizer peer;
    std::vector<var> sent;
    std::vector<std::string> events;
};

// Carries messages both ways, each confirmed at once, until neither end sends.
void settle(End& a, End& b) {
    for (int round = 0; round < 4; ++round) {
        for (End* from : {&a, &b}) from->sendTo(from == &a ? b : a);
    }
}

}  // namespace

TEST(PeerSynchronizer, SendsOnlyWhatChangedOneMessageAtATimeAndOncePerInterval) {
    End a(Side::Printer);
    EXPECT_FALSE(a.peer.synchronizeOnce());  // the local queue never had a task
    const std::string task = a.local.makeTask("Printing");
    const std::string instance = a.local.makeInstance(task, "Heating");
    a.local.updateInstanceProgress(task, instance, 0.5);
    ASSERT_TRUE(a.peer.synchronizeOnce());
    a.local.setVariable(task, "n", 1);
    EXPECT_FALSE(a.peer.synchronizeOnce());  // one in flight
    a.confirm();
    ASSERT_TRUE(a.peer.synchronizeOnce());
    a.confirm();
    a.local.updateInstanceProgress(task, instance, 0.25);
    EXPECT_FALSE(a.peer.synchronizeOnce());  // a progress drop does not travel
    a.local.updateInstanceProgress(task, instance, 0.75);
    ASSERT_TRUE(a.peer.synchronizeOnce());
    var expected =
        var::fromJsonString("{\"tasks\": [{\"id\": \"" + task + "\", \"instances\": {\"" + instance +
                            "\": {\"id\": \"" + instance + "\", \"progress\": 0.75}}}]}");
    expected["diffId"] = a.sent.back()["diffId"];
    EXPECT_EQ(a.sent.back(), expected);

    End b(Side::Printer, std::chrono::hours(1));
    b.local.makeTask("Printing");
    ASSERT_TRUE(b.peer.synchronizeOnce());  // the first pass may send at once
    b.confirm();
    b.local.makeTask("Packaging");
    EXPECT_FALSE(b.peer.synchronizeOnce());  // within the interval
    b.peer.forceSendingFullQueue();
    ASSERT_TRUE(b.peer.synchronizeOnce());  // forced: the interval does not hold it back
    EXPECT_FALSE(b.sent.back().has("diffId"));
}

TEST(PeerSynchronizer, IgnoresStrayEmptyAndMalformedInput) {
    End a(Side::User), b(Side::Printer);
    const std::string task = a.local.makeTask("Printing");
    testing::internal::CaptureStdout();
    a.confirm();  // nothing in flight
    ASSERT_TRUE(a.sendTo(b));
    a.confirm();  // a repeated confirmation
    EXPECT_FALSE(a.peer.synchronizeOnce());

    b.events.clear();
    const auto before = entriesById(b.local.getQueue());
    for (const char* text :
         {"{\"diffId\": \"00000001\"}", "{\"diffId\": \"00000002\", \"tasks\": []}", "5", "[1, 2]",
          "{\"tasks\": 7}", "{\"tasks\": [5]}",
          "{\"tasks\": [{\"id\": \"00000003\", \"class\": \"Task\", \"stateType\": \"x\", "
          "\"instances\": {\"00000004\": 5}}]}",
          "{\"tasks\": [{\"id\": 3, \"class\": \"Task\", \"stateType\": \"x\"}]}",
          "{\"diffId\": \"00000005\", \"tasks\": [{\"id\": \"00000006\", \"class\": \"Task\", "
          "\"stateType\": \"x\", \"data\": 5}]}"}) {
        b.peer.onMessage(var::fromJsonString(text));
    }
    testing::internal::GetCapturedStdout();
    EXPECT_TRUE(b.events.empty());
    EXPECT_EQ(entriesById(b.local.getQueue()), before);

    // Both ends go on as before.
    EXPECT_FALSE(b.peer.synchronizeOnce());
    b.local.setVariable(task, "n", 2);
    ASSERT_TRUE(b.sendTo(a));
    EXPECT_EQ(a.local.getVariable(task, "n"), var(2));
}

TEST(PeerSynchronizer, WorkerSurvivesThrowingReceiversAndStops) {
    LocalSynchronizer local;
    PeerSynchronizer peer(local, Side::Printer, std::chrono::milliseconds(5));
    testsupport::Collector<var> sent;
    bool refused = false;  // only the worker touches it
    peer.pushMessage >> [&](var message) {
        if (!std::exchange(refused, true)) throw std::runtime_error("transport refused");
        sent.add(message);
    };
    local.makeTask("Printing");
    testing::internal::CaptureStdout();
    peer.start();
    peer.start();  // a second start keeps the one worker
    // The failed attempt left nothing in flight; nothing more leaves until confirmed.
    ASSERT_TRUE(sent.waitFor(1, std::chrono::seconds(20)));
    peer.onNotification();
    local.makeTask("Packaging");
    ASSERT_TRUE(sent.waitFor(2, std::chrono::seconds(20)));
    peer.stop();
    peer.stop();
    testing::internal::GetCapturedStdout();
    EXPECT_FALSE(peer.started());
    EXPECT_EQ(entriesById(sent.snapshot()[1]).size(), 1u);  // only the second task: the first was confirmed

    // stop() wakes a worker that waits out a long interval (or this test times out).
    PeerSynchronizer idle(local, Side::User, std::chrono::hours(1));
    idle.start();
    idle.stop();
}

// A full queue that crossed the user's message predates it: what that message carried
// stays the user's, and known as what the printer holds.
TEST(PeerSynchronizer, AFullQueueThatCrossedOwnMessagesTakesNothingBack) {
    End printer(Side::Printer), user(Side::User);
    const std::string task = printer.local.makeTask("Printing");
    settle(printer, user);
    user.local.setVariable(task, "answer", true);
    settle(printer, user);

    const std::string made = user.local.makeTask("WifiSetup");
    user.local.setVariable(task, "answer", 9);
    ASSERT_TRUE(user.peer.synchronizeOnce());
    printer.peer.forceSendingFullQueue();
    ASSERT_TRUE(printer.peer.synchronizeOnce());
    printer.deliverTo(user);  // held: the user's message is in flight
    user.deliverTo(printer);  // held: the full queue is in flight
    user.confirm();
    printer.confirm();
    EXPECT_FALSE(user.local.getTask(made).isDeletion());
    EXPECT_EQ(user.local.getVariable(task, "answer"), var(9));
    // Writing the older value back still reaches the printer.
    user.local.setVariable(task, "answer", true);
    settle(printer, user);
    EXPECT_EQ(printer.local.getVariable(task, "answer"), var(true));
    EXPECT_TRUE(printer.local.getTask(made).has("stateType"));

    // Not held: a full queue taken before the user's message arrived may leave after
    // its acknowledgement.
    user.local.setVariable(task, "answer", 2);
    ASSERT_TRUE(user.peer.synchronizeOnce());
    printer.peer.forceSendingFullQueue();
    ASSERT_TRUE(printer.peer.synchronizeOnce());
    user.deliverTo(printer);
    user.confirm();
    user.local.setVariable(task, "answer", 3);  // not sent yet
    printer.deliverTo(user);
    printer.confirm();
    EXPECT_EQ(user.local.getVariable(task, "answer"), var(3));
    settle(printer, user);
    EXPECT_EQ(printer.local.getVariable(task, "answer"), var(3));
    EXPECT_EQ(entriesById(printer.local.getQueue()), entriesById(user.local.getQueue()));
}

// Both ends set one variable at once: both end with the printer's value once it has both.
TEST(PeerSynchronizer, CrossingWritesOfOneVariableEndWithThePrinterValue) {
    End printer(Side::Printer), user(Side::User);
    const std::string task = printer.local.makeTask("Printing");
    settle(printer, user);
    // The messages cross: each end adds the other's after its own.
    printer.local.setVariable(task, "mode", "printer");
    user.local.setVariable(task, "mode", "user");
    ASSERT_TRUE(printer.peer.synchronizeOnce());
    ASSERT_TRUE(user.peer.synchronizeOnce());
    printer.deliverTo(user);
    user.deliverTo(printer);
    printer.confirm();
    user.confirm();
    settle(printer, user);
    EXPECT_EQ(printer.local.getVariable(task, "mode"), var("user"));
    EXPECT_EQ(user.local.getVariable(task, "mode"), var("user"));

    // The printer's change is not sent yet when the user's arrives.
    printer.local.setVariable(task, "mode", "printer again");
    user.local.setVariable(task, "mode", "user again");
    ASSERT_TRUE(user.sendTo(printer));
    settle(printer, user);
    EXPECT_EQ(printer.local.getVariable(task, "mode"), var("printer again"));
    EXPECT_EQ(user.local.getVariable(task, "mode"), var("printer again"));
}

// A printer restarted under the same key: the user keeps only what it made and had not
// seen confirmed, and nothing from before the restart goes to the new printer as new.
TEST(PeerSynchronizer, AFullQueueFromARestartedPrinterIsTheTruth) {
    End printer(Side::Printer), user(Side::User);
    const std::string old = printer.local.makeTask("Printing");
    settle(printer, user);
    const std::string confirmed = user.local.makeTask("Packaging");
    settle(printer, user);
    printer.local.makeInstance(confirmed, "Packaging");
    settle(printer, user);
    user.local.deleteTask(old);
    const std::string inFlight = user.local.makeTask("LoadingFilament");
    ASSERT_TRUE(user.peer.synchronizeOnce());  // never confirmed by the printer that went

    End restarted(Side::Printer);
    const std::string fresh = restarted.local.makeTask("StartingUp");
    const std::string unsent = user.local.makeTask("WifiSetup");
    user.events.clear();
    restarted.peer.forceSendingFullQueue();
    ASSERT_TRUE(restarted.peer.synchronizeOnce());
    restarted.deliverTo(user);  // held behind the message in flight
    user.deliverTo(restarted);  // the gate sends that message again on the new connection
    user.confirm();
    restarted.confirm();
    settle(restarted, user);

    EXPECT_EQ(restarted.events,
              (std::vector<std::string>{"newTask " + inFlight, "deletedTask " + old, "newTask " + unsent}));
    EXPECT_EQ(user.events, (std::vector<std::string>{"newTask " + fresh, "deletedTask " + confirmed}));
    const std::map<std::string, var> left = entriesById(user.local.getQueue());
    EXPECT_EQ(entriesById(restarted.local.getQueue()), left);
    EXPECT_EQ(left.count(confirmed), 0u);
    EXPECT_EQ(left.count(old), 1u);  // its deletion was in flight: a tombstone
}
