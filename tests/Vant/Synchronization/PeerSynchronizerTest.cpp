#include "Vant/Synchronization/PeerSynchronizer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "QueueContent.h"
#include "Vant/Synchronization/LocalSynchronizer.h"

using kel::var;
using Vant::StateMachine::Task;
using Vant::StateMachine::TaskQueue;
using Vant::Synchronization::LocalSynchronizer;
using Vant::Synchronization::PeerSynchronizer;

namespace {

// One end: a local synchronizer and its peer synchronizer, whose messages are kept
// for the test to carry. Passes are made by the test (the worker is not started).
struct End {
    explicit End(std::chrono::milliseconds interval = std::chrono::milliseconds(0)) : peer(interval) {
        peer.pushDifference >> local.onDifference;
        peer.pullLocalQueue << local.giveQueue;
        peer.pushMessage >> [this](var message) { sent.push_back(message); };
        local.pushNewTask >> [this](std::string id) { events.push_back("newTask " + id); };
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

}  // namespace

TEST(PeerSynchronizer, SendsOnlyDifferencesThatCarrySomething) {
    End a;
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
    End a(std::chrono::hours(1));
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
    End printer, user;
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
    EXPECT_EQ(user.events, (std::vector<std::string>{"newTask " + added}));
    EXPECT_TRUE(user.local.getTask(deleted).isDeletion());
    ASSERT_TRUE(user.peer.synchronizeOnce());
    EXPECT_EQ(entriesById(user.sent.back()).count(own), 1u);
    user.deliverTo(printer);
    user.confirm();
    EXPECT_EQ(entriesById(printer.local.getQueue()), entriesById(user.local.getQueue()));
}

TEST(PeerSynchronizer, HoldsReceivedMessagesUntilTheOwnOneIsConfirmed) {
    End a, b;
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
    End a, b;
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
         {"{\"diffId\": \"00000001\"}", "{\"diffId\": \"00000002\", \"tasks\": []}", "{}", "5", "[1, 2]",
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
    PeerSynchronizer peer(std::chrono::milliseconds(5));
    peer.pushDifference >> local.onDifference;
    peer.pullLocalQueue << local.giveQueue;
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

// A full queue is the other end's queue as it was when sent. One that crossed this
// end's messages lacks what they carried; it must neither delete a task made here nor
// take back a variable set here, whether it waited for our confirmation or not.
TEST(PeerSynchronizer, AFullQueueThatCrossedOwnMessagesTakesNothingBack) {
    End printer, user;
    const std::string task = printer.local.makeTask("Printing");
    ASSERT_TRUE(printer.peer.synchronizeOnce());
    printer.deliverTo(user);
    printer.confirm();

    // Held: the full queue arrives while the user's message is unconfirmed.
    const std::string made = user.local.makeTask("WifiSetup");
    user.local.setVariable(task, "answer", 1);
    ASSERT_TRUE(user.peer.synchronizeOnce());
    printer.peer.forceSendingFullQueue();
    ASSERT_TRUE(printer.peer.synchronizeOnce());
    printer.deliverTo(user);
    user.deliverTo(printer);
    user.confirm();
    printer.confirm();
    EXPECT_FALSE(user.local.getTask(made).isDeletion());
    EXPECT_EQ(user.local.getVariable(task, "answer"), var(1));

    // Not held: the user's message is confirmed before the older full queue arrives.
    user.local.setVariable(task, "answer", 2);
    ASSERT_TRUE(user.peer.synchronizeOnce());
    printer.peer.forceSendingFullQueue();
    ASSERT_TRUE(printer.peer.synchronizeOnce());
    user.deliverTo(printer);
    user.confirm();
    printer.deliverTo(user);
    printer.confirm();
    EXPECT_EQ(user.local.getVariable(task, "answer"), var(2));
    EXPECT_EQ(printer.local.getVariable(task, "answer"), var(2));

    // Whatever the user sends again settles both ends on the same queue.
    for (int round = 0; round < 3; ++round) {
        if (user.peer.synchronizeOnce()) {
            user.deliverTo(printer);
            user.confirm();
        }
        if (printer.peer.synchronizeOnce()) {
            printer.deliverTo(user);
            printer.confirm();
        }
    }
    EXPECT_EQ(entriesById(printer.local.getQueue()), entriesById(user.local.getQueue()));
    EXPECT_FALSE(printer.local.getTask(made).isDeletion());
}
