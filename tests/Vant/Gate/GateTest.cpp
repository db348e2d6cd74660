#include "Vant/Gate/Gate.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <utility>

#include <boost/asio/post.hpp>

#include "support/AsyncTest.h"

using boost::system::error_code;
using std::chrono::milliseconds;
using testsupport::Collector;
using Vant::Gate::Gate;

namespace {

// One direction of an in-memory transport: records what a gate emits, drops what the
// test asks, may hold the transport's completions, and delivers the rest from a pool thread.
class Link {
public:
    Link(boost::asio::io_service& io, Gate& from, Gate& to) {
        from.pushMessageToNetwork >> [this, &io, &to](kel::bytes message, Gate::SentCallback done) {
            emitted.add(message);
            std::unique_lock<std::mutex> lock(mutex);
            const bool dropped = dropCount > 0 && message[0] == dropKind && dropCount-- > 0;
            if (holding) held.push_back(std::exchange(done, nullptr));
            lock.unlock();
            if (done) done(error_code());
            if (!dropped) boost::asio::post(io, [&to, message]() { to.onMessageFromNetwork(message); });
        };
    }
    void drop(kel::byte kind, int n) {
        std::lock_guard<std::mutex> lock(mutex);
        dropKind = kind, dropCount = n;
    }
    void holdCompletions(bool hold) {
        std::unique_lock<std::mutex> lock(mutex);
        holding = hold;
        std::vector<Gate::SentCallback> release = std::move(held);
        held.clear();
        lock.unlock();
        for (auto& done : release) done(error_code());
    }
    std::size_t emittedOfKind(kel::byte kind) {
        const auto all = emitted.snapshot();
        return std::count_if(all.begin(), all.end(), [kind](const kel::bytes& m) { return m[0] == kind; });
    }

    Collector<kel::bytes> emitted;

private:
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
        a.pushMessageToApplication >> fromA.adder();
        b.pushMessageToApplication >> fromB.adder();
    }
    void TearDown() override { pool.stop(); }

    testsupport::IoPool pool{3};
    Gate a{pool.io, Resend};
    Gate b{pool.io, Resend};
    Link aToB{pool.io, a, b};
    Link bToA{pool.io, b, a};
    Collector<kel::bytes> fromA, fromB;
};

kel::bytes header(kel::byte kind, unsigned id) {
    return kel::bytes(1, kind) + kel::bytes::fromUint(id);
}

}  // namespace

TEST_F(GateTest, ResendsUntilAcknowledgedDeliversOnceAndRefusesAnotherMessageMeanwhile) {
    aToB.drop(Vant::Gate::Reliable, 2);
    Collector<error_code> sent, refused, next;
    a.sendReliably(kel::bytes("hello"), sent.adder());
    a.sendReliably(kel::bytes("refused"), refused.adder());
    ASSERT_TRUE(refused.waitFor(1));
    EXPECT_TRUE(refused.snapshot()[0]);
    // An acknowledgement of another message does not end the wait.
    a.onMessageFromNetwork(header(Vant::Gate::Notification, 7));
    ASSERT_TRUE(sent.waitFor(1));
    EXPECT_FALSE(sent.snapshot()[0]);
    EXPECT_EQ(aToB.emittedOfKind(Vant::Gate::Reliable), 3u);
    EXPECT_FALSE(sent.waitFor(2, Resend * 4));
    EXPECT_EQ(aToB.emittedOfKind(Vant::Gate::Reliable), 3u);
    a.sendReliably(kel::bytes("next"), next.adder());
    ASSERT_TRUE(next.waitFor(1));
    EXPECT_FALSE(next.snapshot()[0]);
    ASSERT_TRUE(fromB.waitFor(2));
    EXPECT_EQ(fromB.snapshot(), (std::vector<kel::bytes>{kel::bytes("hello"), kel::bytes("next")}));
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
    const kel::bytes reliable = aToB.emitted.snapshot()[0];
    EXPECT_EQ(bToA.emitted.snapshot()[0], kel::bytes(1, Vant::Gate::Notification) + reliable.subBytes(1, 4));
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

TEST_F(GateTest, UnreliableMessagesLeaveOnceAndRepeatsAreDropped) {
    Collector<error_code> sent;
    a.sendUnreliably(kel::bytes("u"), sent.adder());
    ASSERT_TRUE(sent.waitFor(1));
    ASSERT_TRUE(fromB.waitFor(1));
    EXPECT_EQ(fromB.snapshot()[0], kel::bytes("u"));
    b.onMessageFromNetwork(aToB.emitted.snapshot().at(0));
    EXPECT_FALSE(fromB.waitFor(2, Resend * 2));
    EXPECT_EQ(bToA.emitted.size(), 0u);
    EXPECT_EQ(aToB.emitted.size(), 1u);
}

TEST_F(GateTest, DeliversEveryKindButNotificationsAndKeepsAWindowOfTwentyIdentifiers) {
    for (unsigned length = 0; length < 5; ++length) a.onMessageFromNetwork(kel::bytes(length, 1));
    EXPECT_EQ(fromA.size() + aToB.emitted.size(), 0u);
    const kel::byte kinds[] = {0, 1, 3, 255};
    for (unsigned i = 0; i < 4; ++i) a.onMessageFromNetwork(header(kinds[i], 100 + i) + kel::bytes("body"));
    a.onMessageFromNetwork(header(2, 200) + kel::bytes("ack of nothing"));
    ASSERT_EQ(fromA.snapshot(), std::vector<kel::bytes>(4, kel::bytes("body")));
    EXPECT_EQ(aToB.emitted.snapshot(), std::vector<kel::bytes>{header(2, 101)});

    fromA.clear();
    for (unsigned id = 1; id <= 20; ++id) a.onMessageFromNetwork(header(0, id));
    a.onMessageFromNetwork(header(0, 1));
    EXPECT_EQ(fromA.size(), 20u) << "a repeat within the window is dropped";
    a.onMessageFromNetwork(header(0, 21));
    a.onMessageFromNetwork(header(0, 1));
    EXPECT_EQ(fromA.size(), 22u) << "an identifier pushed out of the window is delivered again";
    EXPECT_EQ(fromA.snapshot()[0].length(), 0u);
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
        gate->onMessageFromNetwork(header(2, round));
        if (round % 2 == 0) std::this_thread::sleep_for(milliseconds(2));  // let some resends start
        gate.reset();
    }
    // A resend loop left alive would add one every millisecond (the sanitizers watch the rest).
    std::this_thread::sleep_for(milliseconds(20));
    const int settled = emitted;
    std::this_thread::sleep_for(milliseconds(50));
    EXPECT_EQ(emitted.load(), settled);
    pool.stop();
}
