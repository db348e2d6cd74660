#include "Vant/Gate/Gate.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <mutex>

#include <boost/asio/post.hpp>

#include "support/AsyncTest.h"

using boost::system::error_code;
using std::chrono::milliseconds;
using testsupport::Collector;
using Vant::Gate::Gate;

namespace {

// One direction of an in-memory transport: records every network message a gate
// emits, drops those the test asks it to, and delivers the rest to the other gate
// from a pool thread, as a connection's read chain would.
class Link {
public:
    Link(boost::asio::io_service& io, Gate& from, Gate& to) : io(io), to(to) {
        from.pushMessageToNetwork >>
            [this](kel::bytes message, Gate::SentCallback done) { carry(message, done); };
    }

    // Drops the next `n` messages of kind `kind`.
    void drop(kel::byte kind, int n) {
        std::lock_guard<std::mutex> lock(mutex);
        dropKind = kind;
        dropCount = n;
    }
    // While held, completions are kept instead of called (a slow transport).
    void holdCompletions(bool hold) {
        std::vector<Gate::SentCallback> release;
        {
            std::lock_guard<std::mutex> lock(mutex);
            holding = hold;
            if (!hold) release.swap(held);
        }
        for (auto& done : release) done(error_code());
    }
    std::size_t emittedOfKind(kel::byte kind) {
        std::size_t n = 0;
        for (const auto& message : emitted.snapshot())
            n += (message.length() > 0 && message[0] == kind) ? 1 : 0;
        return n;
    }

    Collector<kel::bytes> emitted;

private:
    void carry(kel::bytes message, Gate::SentCallback done) {
        emitted.add(message);
        bool dropped = false;
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (dropCount > 0 && message[0] == dropKind) {
                --dropCount;
                dropped = true;
            }
            if (holding) {
                held.push_back(done);
                done = nullptr;
            }
        }
        if (done) done(error_code());
        if (!dropped) boost::asio::post(io, [this, message]() { to.onMessageFromNetwork(message); });
    }

    boost::asio::io_service& io;
    Gate& to;
    std::mutex mutex;  // guards the drop rule and held completions: the gates' threads against the test
    kel::byte dropKind = 0;
    int dropCount = 0;
    bool holding = false;
    std::vector<Gate::SentCallback> held;
};

const milliseconds Resend(60);

class GateTest : public ::testing::Test {
protected:
    GateTest() {
        a.pushMessageToApplication >> fromA.adder();  // what a received
        b.pushMessageToApplication >> fromB.adder();  // what b received
    }
    void TearDown() override { pool.stop(); }

    testsupport::IoPool pool{3};
    Gate a{pool.io, Resend};
    Gate b{pool.io, Resend};
    Link aToB{pool.io, a, b};
    Link bToA{pool.io, b, a};
    Collector<kel::bytes> fromA, fromB;
};

}  // namespace

TEST_F(GateTest, ResendsUntilAcknowledgedAndDeliversOnce) {
    aToB.drop(Vant::Gate::Reliable, 2);
    Collector<error_code> sent;
    a.sendReliably(kel::bytes("hello"), sent.adder());
    ASSERT_TRUE(sent.waitFor(1));
    EXPECT_EQ(sent.snapshot()[0].value(), 0);
    EXPECT_EQ(&sent.snapshot()[0].category(), &Vant::Gate::gate_error_category);
    EXPECT_EQ(aToB.emittedOfKind(Vant::Gate::Reliable), 3u);
    ASSERT_TRUE(fromB.waitFor(1));
    EXPECT_EQ(fromB.snapshot()[0], kel::bytes("hello"));

    // Acknowledged: no further copy, no second call.
    EXPECT_FALSE(sent.waitFor(2, Resend * 4));
    EXPECT_EQ(aToB.emittedOfKind(Vant::Gate::Reliable), 3u);
    EXPECT_EQ(fromB.size(), 1u);
}

TEST_F(GateTest, ALostAcknowledgementIsReplacedByTheNextCopysOne) {
    bToA.drop(Vant::Gate::Notification, 1);
    Collector<error_code> sent;
    a.sendReliably(kel::bytes("once"), sent.adder());
    ASSERT_TRUE(sent.waitFor(1));
    EXPECT_FALSE(sent.snapshot()[0]);
    EXPECT_EQ(aToB.emittedOfKind(Vant::Gate::Reliable), 2u);
    EXPECT_EQ(bToA.emittedOfKind(Vant::Gate::Notification), 2u);
    EXPECT_EQ(fromB.size(), 1u);
    // The acknowledgement carries the message's identifier and nothing else.
    const kel::bytes reliable = aToB.emitted.snapshot()[0];
    const kel::bytes ack = bToA.emitted.snapshot()[0];
    EXPECT_EQ(ack.length(), 5u);
    EXPECT_EQ(ack.subBytes(1, 4), reliable.subBytes(1, 4));
    EXPECT_EQ(reliable.subBytes(5), kel::bytes("once"));
}

TEST_F(GateTest, RefusesASecondReliableMessageWhileOneIsPending) {
    aToB.drop(Vant::Gate::Reliable, 3);
    Collector<error_code> first, second, third;
    a.sendReliably(kel::bytes("first"), first.adder());
    a.sendReliably(kel::bytes("second"), second.adder());
    ASSERT_TRUE(second.waitFor(1));
    EXPECT_EQ(second.snapshot()[0].value(), 1);
    EXPECT_EQ(second.snapshot()[0].message(), "A reliable message is pending unnotified");
    EXPECT_STREQ(second.snapshot()[0].category().name(), "esocket_error");

    ASSERT_TRUE(first.waitFor(1));
    EXPECT_FALSE(first.snapshot()[0]);
    a.sendReliably(kel::bytes("third"), third.adder());
    ASSERT_TRUE(third.waitFor(1));
    EXPECT_FALSE(third.snapshot()[0]);
    ASSERT_TRUE(fromB.waitFor(2));
    EXPECT_EQ(fromB.snapshot(), (std::vector<kel::bytes>{kel::bytes("first"), kel::bytes("third")}));
}

TEST_F(GateTest, EmitsNoNewCopyWhileThePreviousOneIsStillWithTheTransport) {
    aToB.holdCompletions(true);
    aToB.drop(Vant::Gate::Reliable, 100);
    Collector<error_code> sent;
    a.sendReliably(kel::bytes("slow"), sent.adder());
    EXPECT_FALSE(sent.waitFor(1, Resend * 5));
    EXPECT_EQ(aToB.emittedOfKind(Vant::Gate::Reliable), 1u);
    aToB.drop(Vant::Gate::Reliable, 0);
    aToB.holdCompletions(false);
    ASSERT_TRUE(sent.waitFor(1));
    EXPECT_EQ(aToB.emittedOfKind(Vant::Gate::Reliable), 2u);
}

TEST_F(GateTest, UnreliableMessagesLeaveOnceWithTheCallersCompletion) {
    Collector<error_code> sent;
    a.sendUnreliably(kel::bytes("u"), sent.adder());
    ASSERT_TRUE(sent.waitFor(1));
    ASSERT_TRUE(fromB.waitFor(1));
    EXPECT_EQ(fromB.snapshot()[0], kel::bytes("u"));
    const kel::bytes emitted = aToB.emitted.snapshot().at(0);
    EXPECT_EQ(emitted[0], Vant::Gate::Unreliable);
    // A repeated copy (same identifier) is dropped; no acknowledgement is sent.
    b.onMessageFromNetwork(emitted);
    EXPECT_FALSE(fromB.waitFor(2, Resend * 2));
    EXPECT_EQ(bToA.emitted.size(), 0u);
    EXPECT_EQ(aToB.emitted.size(), 1u);
}

TEST(GateReceiving, DeliversEveryKindButNotificationsAndIgnoresShortMessages) {
    testsupport::IoPool pool(1);
    Gate gate(pool.io);
    Collector<kel::bytes> delivered, emitted;
    gate.pushMessageToApplication >> delivered.adder();
    gate.pushMessageToNetwork >> [&](kel::bytes message, Gate::SentCallback done) {
        emitted.add(message);
        done(error_code());
    };
    // Shorter than the header: ignored whole (and never read past its end).
    for (unsigned length = 0; length < 5; ++length) gate.onMessageFromNetwork(kel::bytes(length, 1));
    EXPECT_EQ(delivered.size() + emitted.size(), 0u);

    const kel::byte kinds[] = {0, 1, 3, 255};
    for (unsigned i = 0; i < 4; ++i) {
        gate.onMessageFromNetwork(kel::bytes(1, kinds[i]) + kel::bytes::fromUint(100 + i) +
                                  kel::bytes("body"));
    }
    gate.onMessageFromNetwork(kel::bytes(1, 2) + kel::bytes::fromUint(200) + kel::bytes("ack of nothing"));
    ASSERT_EQ(delivered.size(), 4u);
    for (const auto& message : delivered.snapshot()) EXPECT_EQ(message, kel::bytes("body"));
    // Only the reliable one was acknowledged, with its own identifier.
    ASSERT_EQ(emitted.size(), 1u);
    EXPECT_EQ(emitted.snapshot()[0], kel::bytes(1, 2) + kel::bytes::fromUint(101));
    // A header alone is an empty message.
    gate.onMessageFromNetwork(kel::bytes(1, 0) + kel::bytes::fromUint(300));
    ASSERT_EQ(delivered.size(), 5u);
    EXPECT_EQ(delivered.snapshot()[4].length(), 0u);
    pool.stop();
}

TEST(GateReceiving, RemembersTheLastTwentyIdentifiers) {
    testsupport::IoPool pool(1);
    Gate gate(pool.io);
    Collector<kel::bytes> delivered;
    gate.pushMessageToApplication >> delivered.adder();
    auto message = [](unsigned id) {
        return kel::bytes(1, 0) + kel::bytes::fromUint(id) + kel::bytes::fromUint(id);
    };

    gate.onMessageFromNetwork(message(1));
    for (unsigned id = 2; id <= 20; ++id) gate.onMessageFromNetwork(message(id));  // 19 others
    gate.onMessageFromNetwork(message(1));
    EXPECT_EQ(delivered.size(), 20u) << "a repeat within the window is dropped";

    gate.onMessageFromNetwork(message(21));  // the 21st distinct identifier pushes 1 out
    gate.onMessageFromNetwork(message(1));
    EXPECT_EQ(delivered.size(), 22u) << "an identifier pushed out of the window is delivered again";
    pool.stop();
}

TEST(GateLifetime, AGateDestroyedWhileSendingLeavesNothingBehindToRun) {
    testsupport::IoPool pool(2);
    std::atomic<int> emitted{0};
    for (int round = 0; round < 50; ++round) {
        std::unique_ptr<Gate> gate(new Gate(pool.io, milliseconds(1)));
        gate->pushMessageToNetwork >> [&](kel::bytes, Gate::SentCallback done) {
            ++emitted;
            done(error_code());
        };
        gate->sendReliably(kel::bytes("never acknowledged"), [](error_code) {});
        gate->onMessageFromNetwork(kel::bytes(1, 2) + kel::bytes::fromUint(round));
        if (round % 2 == 0) std::this_thread::sleep_for(milliseconds(2));  // let some resends start
        gate.reset();
    }
    // Resend waits and queued jobs of the destroyed gates end without touching them:
    // once a job that was already running at the destruction is through, the count
    // stays where it is (a resend loop left alive would add one every millisecond).
    std::this_thread::sleep_for(milliseconds(20));
    const int settled = emitted;
    std::this_thread::sleep_for(milliseconds(50));
    EXPECT_EQ(emitted.load(), settled);
    pool.stop();
}
