#include "Vant/Synchronization/PeerSynchronizer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "Vant/Synchronization/LocalSynchronizer.h"
#include "support/QueueContent.h"

using kel::var;
using Vant::StateMachine::Task;
using Vant::StateMachine::TaskQueue;
using Vant::Synchronization::LocalSynchronizer;
using Vant::Synchronization::PeerSynchronizer;

namespace {

typedef PeerSynchronizer::Side Side;

// One end: a local synchronizer and its peer synchronizer, whose messages are kept
// for the test to carry. Passes are made by the test (the worker is not started).
struct End {
    explicit End(Side side, std::chrono::milliseconds interval = std::chrono::milliseconds(0))
        : peer(local, side, interval) {
        peer.pushMessage >> [this](var message) { sent.push_back(message); };
        local.pushNewTask >> [this](std::string id) { events.push_back("newTask " + id); };
        local.pushDeletedTask >> [this](std::string id) { events.push_back("deletedTask " + id); };
        local.pushModifiedVariable >>
            [this](std::string id, std::string name) { events.push_back("variable " + id + " " + name); };
    }

    // Hands the last message sent to `other` as its JSON text, as the gate does.
    void deliverTo(End& other) { other.peer.onMessage(var::fromJsonString(sent.back().toJsonString())); }
    void confirm() { peer.onNotification(); }

    LocalSynchronizer local;
    PeerSynchronizer peer;
    std::vector<var> sent;
    std::vector<std::string> events;
};

// Carries messages both ways, each confirmed at once, until neither end sends.
void settle(End& a, End& b) {
    for (int round = 0; round < 4; ++round) {
        for (End* from : {&a, &b}) {
            End& to = from == &a ? b : a;
            if (!from->peer.synchronizeOnce()) continue;
            from->deliverTo(to);
            from->confirm();
        }
    }
}

}  // namespace

TEST(PeerSynchronizer, SendsOnlyDifferencesThatCarrySomething) {
    End a(Side::Printer);
    EXPECT_FALSE(a.peer.synchronizeOnce());  // the local queue never had a task

    const std::string task = a.local.makeTask("Printing");
    const std::string instance = a.local.makeInstance(task, "Heating");
    a.local.updateInstanceProgress(task, instance, 0.5);
    ASSERT_TRUE(a.peer.synchronizeOnce());
    const TaskQueue first = a.sent.back();
    EXPECT_TRUE(first.isDifference());
    EXPECT_EQ(Task(first["tasks"][0])["stateType"].stringValue(), "Printing");  // travels whole
    a.confirm();

    EXPECT_FALSE(a.peer.synchronizeOnce());  // local equals agreed
    a.local.updateInstanceProgress(task, instance, 0.25);
    EXPECT_FALSE(a.peer.synchronizeOnce());  // a progress drop does not travel
    a.local.updateInstanceProgress(task, instance, 0.75);
    ASSERT_TRUE(a.peer.synchronizeOnce());
    var expected =
        var::fromJsonString("{\"tasks\": [{\"id\": \"" + task + "\", \"instances\": {\"" + instance +
                            "\": {\"id\": \"" + instance + "\", \"progress\": 0.75}}}]}");
    expected["diffId"] = a.sent.back()["diffId"];
    EXPECT_EQ(a.sent.back(), expected);
}

TEST(PeerSynchronizer, KeepsOneMessageInFlightAndWaitsTheInterval) {
    End a(Side::Printer, std::chrono::hours(1));
    a.local.makeTask("Printing");
    ASSERT_TRUE(a.peer.synchronizeOnce());  // the first pass may send at once
    a.local.makeTask("Packaging");
    a.peer.forceSendingFullQueue();
    EXPECT_FALSE(a.peer.synchronizeOnce());  // in flight, even when forced
    a.confirm();
    ASSERT_TRUE(a.peer.synchronizeOnce());  // forced: the interval does not hold it back
    EXPECT_FALSE(a.sent.back().has("diffId"));
    a.confirm();
    a.local.makeTask("WifiSetup");
    EXPECT_FALSE(a.peer.synchronizeOnce());  // within the interval
    EXPECT_EQ(a.sent.size(), 2u);
}

TEST(PeerSynchronizer, AFullQueueReplacesTheAgreedQueueAndKeepsLocalWork) {
    End printer(Side::Printer), user(Side::User);
    const std::string kept = printer.local.makeTask("Printing");
    const std::string deleted = printer.local.makeTask("Packaging");
    ASSERT_TRUE(printer.peer.synchronizeOnce());
    printer.deliverTo(user);
    printer.confirm();
    EXPECT_EQ(user.events, (std::vector<std::string>{"newTask " + kept, "newTask " + deleted}));

    user.events.clear();
    const std::string own = user.local.makeTask("WifiSetup");  // not sent yet
    printer.local.deleteTask(deleted);
    const std::string added = printer.local.makeTask("LoadingFilament");
    printer.peer.forceSendingFullQueue();
    ASSERT_TRUE(printer.peer.synchronizeOnce());
    const TaskQueue full = printer.sent.back();
    EXPECT_FALSE(full.isDifference());
    EXPECT_EQ(entriesById(full).size(), 3u);  // every task and the tombstone
    printer.deliverTo(user);
    printer.confirm();

    // The user's end heard only what was new to it, and still sends its own task.
    EXPECT_EQ(user.events, (std::vector<std::string>{"newTask " + added, "deletedTask " + deleted}));
    EXPECT_TRUE(user.local.getTask(deleted).isDeletion());
    ASSERT_TRUE(user.peer.synchronizeOnce());
    EXPECT_EQ(entriesById(user.sent.back()).count(own), 1u);
    user.deliverTo(printer);
    user.confirm();
    EXPECT_EQ(entriesById(printer.local.getQueue()), entriesById(user.local.getQueue()));
}

TEST(PeerSynchronizer, HoldsReceivedMessagesUntilTheOwnOneIsConfirmed) {
    End a(Side::Printer), b(Side::User);
    const std::string task = a.local.makeTask("Printing");
    ASSERT_TRUE(a.peer.synchronizeOnce());
    a.deliverTo(b);
    a.confirm();

    a.local.setVariable(task, "fromA", 1);
    ASSERT_TRUE(a.peer.synchronizeOnce());  // in flight; its acknowledgement is late
    b.events.clear();
    a.deliverTo(b);

    // b sends twice while a's message waits for its confirmation: both are held and
    // applied after a's own message, in the order they came.
    a.events.clear();
    b.local.setVariable(task, "fromB", 1);
    ASSERT_TRUE(b.peer.synchronizeOnce());
    b.deliverTo(a);
    b.confirm();
    b.local.setVariable(task, "fromB", 2);
    b.local.setVariable(task, "second", true);
    ASSERT_TRUE(b.peer.synchronizeOnce());
    testing::internal::CaptureStdout();
    b.deliverTo(a);
    b.confirm();
    const std::string log = testing::internal::GetCapturedStdout();
    EXPECT_NE(log.find("a received message is already held"), std::string::npos);
    EXPECT_TRUE(a.events.empty());
    EXPECT_FALSE(a.local.hasVariable(task, "fromB"));

    a.confirm();
    EXPECT_EQ(a.local.getVariable(task, "fromB"), var(2));
    // The local synchronizer heard only what b's messages changed, not a's own.
    EXPECT_EQ(a.events,
              (std::vector<std::string>{"variable " + task + " fromB", "variable " + task + " fromB",
                                        "variable " + task + " second"}));
    EXPECT_FALSE(a.peer.synchronizeOnce());
    EXPECT_FALSE(b.peer.synchronizeOnce());
    EXPECT_EQ(entriesById(a.local.getQueue()), entriesById(b.local.getQueue()));
}

TEST(PeerSynchronizer, IgnoresStrayEmptyAndMalformedInput) {
    End a(Side::User), b(Side::Printer);
    const std::string task = a.local.makeTask("Printing");
    testing::internal::CaptureStdout();
    a.confirm();  // nothing in flight
    ASSERT_TRUE(a.peer.synchronizeOnce());
    a.deliverTo(b);
    a.confirm();
    a.confirm();  // a repeated confirmation
    EXPECT_FALSE(a.peer.synchronizeOnce());

    b.events.clear();
    for (const char* text :
         {"{\"diffId\": \"00000001\"}", "{\"diffId\": \"00000002\", \"tasks\": []}", "5", "[1, 2]",
          "{\"tasks\": 7}", "{\"tasks\": [5]}",
          "{\"tasks\": [{\"id\": \"00000003\", \"class\": \"Task\", \"stateType\": \"x\", "
          "\"instances\": {\"00000004\": 5}}]}",
          "{\"tasks\": [{\"id\": 3, \"class\": \"Task\", \"stateType\": \"x\"}]}",
          "{\"diffId\": \"00000005\", \"tasks\": [{\"id\": \"00000006\", \"data\": 5}]}"}) {
        b.peer.onMessage(var::fromJsonString(text));
    }
    const std::string log = testing::internal::GetCapturedStdout();
    EXPECT_NE(log.find("PeerSynchronizer::onNotification() confirmation with nothing in flight ignored."),
              std::string::npos);
    EXPECT_NE(log.find("PeerSynchronizer::onMessage() message without a difference ignored."),
              std::string::npos);
    EXPECT_NE(log.find("PeerSynchronizer::onMessage() malformed message ignored"), std::string::npos);
    EXPECT_TRUE(b.events.empty());

    // Both ends go on as before.
    EXPECT_FALSE(b.peer.synchronizeOnce());
    b.local.setVariable(task, "n", 1);
    ASSERT_TRUE(b.peer.synchronizeOnce());
    b.deliverTo(a);
    b.confirm();
    EXPECT_EQ(a.local.getVariable(task, "n"), var(1));
    EXPECT_EQ(entriesById(a.local.getQueue()), entriesById(b.local.getQueue()));
}

TEST(PeerSynchronizer, WorkerSurvivesThrowingReceiversAndStopsPromptly) {
    LocalSynchronizer local;
    PeerSynchronizer peer(local, Side::Printer, std::chrono::milliseconds(5));
    std::mutex mutex;
    std::condition_variable changed;
    int attempts = 0;
    std::vector<var> sent;
    peer.pushMessage >> [&](var message) {
        std::lock_guard<std::mutex> lock(mutex);
        if (++attempts == 1) throw std::runtime_error("transport refused");
        sent.push_back(message);
        changed.notify_all();
    };
    EXPECT_FALSE(peer.started());
    local.makeTask("Printing");
    testing::internal::CaptureStdout();
    peer.start();
    peer.start();  // a second start keeps the one worker
    EXPECT_TRUE(peer.started());
    {
        std::unique_lock<std::mutex> lock(mutex);
        ASSERT_TRUE(changed.wait_for(lock, std::chrono::seconds(20), [&] { return !sent.empty(); }));
    }
    // The failed attempt left nothing in flight: the next pass sent the change, and
    // nothing more leaves until it is confirmed.
    peer.onNotification();
    local.makeTask("Packaging");
    {
        std::unique_lock<std::mutex> lock(mutex);
        ASSERT_TRUE(changed.wait_for(lock, std::chrono::seconds(20), [&] { return sent.size() == 2; }));
    }
    const auto before = std::chrono::steady_clock::now();
    peer.stop();
    peer.stop();
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(5));
    const std::string log = testing::internal::GetCapturedStdout();
    EXPECT_NE(log.find("PeerSynchronizer::run() pass failed : transport refused"), std::string::npos);
    EXPECT_FALSE(peer.started());
    EXPECT_EQ(entriesById(sent[1]).size(), 1u);  // only the second task: the first was confirmed
}

// A full queue that crossed the user's message (the printer sends one on every new
// connection) predates it: the printer adds the user's message after it. What that
// message carried must stay the user's, and stay known as what the printer holds: a
// user who then writes an older value back must still see it reach the printer.
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

    user.local.setVariable(task, "answer", true);
    settle(printer, user);
    EXPECT_EQ(printer.local.getVariable(task, "answer"), var(true));
    EXPECT_TRUE(printer.local.getTask(made).has("stateType"));

    // Not held: a full queue taken before the user's message arrived may leave after
    // its acknowledgement (the gate sends acknowledgements at once).
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

// Both ends set one variable of one task at the same moment: whichever way their
// messages meet, both end with the value the printer holds once it has both.
TEST(PeerSynchronizer, CrossingWritesOfOneVariableEndWithThePrinterValue) {
    End printer(Side::Printer), user(Side::User);
    const std::string task = printer.local.makeTask("Printing");
    settle(printer, user);

    // The two messages cross: each end holds the other's until its own is confirmed,
    // then adds it after its own. The printer ends with the user's value, the user
    // with the printer's: the printer sends its value again.
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

    // The printer's change not sent yet when the user's arrives.
    printer.local.setVariable(task, "mode", "printer again");
    user.local.setVariable(task, "mode", "user again");
    ASSERT_TRUE(user.peer.synchronizeOnce());
    user.deliverTo(printer);
    user.confirm();
    settle(printer, user);
    EXPECT_EQ(printer.local.getVariable(task, "mode"), var("printer again"));
    EXPECT_EQ(user.local.getVariable(task, "mode"), var("printer again"));
}

// A printer that restarted under the same key sends a full queue without the tasks
// it had. The user keeps only what it made and had not seen confirmed (or heard of
// since), and sends that; nothing from before the restart goes to the new printer as
// new.
TEST(PeerSynchronizer, AFullQueueFromARestartedPrinterIsTheTruth) {
    End printer(Side::Printer), user(Side::User);
    const std::string old = printer.local.makeTask("Printing");
    settle(printer, user);
    const std::string confirmed = user.local.makeTask("Packaging");
    settle(printer, user);
    printer.local.makeInstance(confirmed, "Packaging");  // the printer runs it
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
    EXPECT_EQ(entriesById(restarted.local.getQueue()), entriesById(user.local.getQueue()));
    const std::map<std::string, var> left = entriesById(user.local.getQueue());
    EXPECT_EQ(left.count(confirmed), 0u);
    EXPECT_EQ(left.count(old), 1u);  // its deletion was in flight: a tombstone
}
