#include "Vant/Messaging/SimpleSocket.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "Vant/Messaging/SimpleContainer.h"
#include "support/AsyncTest.h"
#include "support/RawPeer.h"

using boost::system::error_code;
using std::chrono::milliseconds;
using testsupport::Collector;
using testsupport::RawListener;
using testsupport::RawPeer;
using testsupport::waitUntil;
using Vant::Messaging::makeSimpleError;
using Vant::Messaging::SimpleContainer;
using Vant::Messaging::SimpleSocket;
using Vant::Messaging::SimpleTimings;

namespace {

kel::bytes patterned(unsigned length, unsigned seed) {
    kel::bytes data(length);
    for (unsigned i = 0; i < length; ++i) data[i] = static_cast<kel::byte>((i * 31 + seed * 7) & 0xff);
    return data;
}

SimpleTimings timings(int timeOutMs, int keepAliveMs) {
    SimpleTimings timings;
    timings.timeOut = milliseconds(timeOutMs);
    timings.keepAliveAfter = milliseconds(keepAliveMs);
    return timings;
}

// A server whose accepted sockets report into collectors, and client sockets that
// report into others; a raw peer is the other end of either.
class SimpleSocketTest : public ::testing::Test {
protected:
    void startServer(SimpleTimings timings = SimpleTimings()) {
        server.reset(new SimpleContainer(pool.io, timings));
        server->startServer(0, [this](std::shared_ptr<SimpleSocket> socket) {
            socket->start(nullptr, messages.adder(), disconnections.adder());
            accepted.add(socket);
        });
    }
    std::shared_ptr<SimpleSocket> acceptedSocket(std::size_t index = 0) {
        EXPECT_TRUE(accepted.waitFor(index + 1));
        return accepted.snapshot().at(index);
    }
    // A started client towards 127.0.0.1:port, registered in `registry`.
    std::shared_ptr<SimpleSocket> client(unsigned short port, SimpleTimings timings = SimpleTimings()) {
        auto socket = SimpleSocket::create(
            pool.io, &registry, boost::asio::ip::tcp::endpoint(boost::asio::ip::address_v4::loopback(), port),
            timings);
        socket->start(connected.adder(), clientMessages.adder(), clientDisconnected.adder());
        return socket;
    }

    void TearDown() override { pool.stop(); }  // no callback may reach the collectors after it

    // Declared before the pool: its threads report to them until it ends.
    Collector<kel::bytes> messages, clientMessages, claimed;
    Collector<error_code> disconnections, sent, connected, clientDisconnected, claimedDisconnections;
    testsupport::IoPool pool{3};
    SimpleContainer registry{pool.io};
    Collector<std::shared_ptr<SimpleSocket>> accepted;  // after the pool: sockets end before their io_service
    std::unique_ptr<SimpleContainer> server;
};

}  // namespace

TEST_F(SimpleSocketTest, DeliversFramesWholeWhateverTheirSizeAndCuts) {
    startServer();
    RawPeer peer(server->localPort());
    const std::vector<unsigned> sizes = {1, 4, 65535, 65536, 65537, 200000, 1000000};
    kel::bytes stream;
    for (unsigned i = 0; i < sizes.size(); ++i)
        stream = stream + kel::bytes::fromUint(sizes[i]) + patterned(sizes[i], i);
    // Written in uneven pieces so headers and payloads are cut anywhere.
    for (unsigned offset = 0, piece = 3; offset < stream.length(); piece = piece * 7 % 100003 + 1) {
        const unsigned n = std::min(piece, stream.length() - offset);
        ASSERT_TRUE(peer.write(stream.begin() + offset, n));
        offset += n;
    }
    ASSERT_TRUE(messages.waitFor(sizes.size()));
    for (unsigned i = 0; i < sizes.size(); ++i)
        EXPECT_EQ(messages.snapshot()[i], patterned(sizes[i], i)) << i;
}

TEST_F(SimpleSocketTest, ClosesWhenAHeaderAnnouncesMoreThanTheLimit) {
    startServer();
    RawPeer peer(server->localPort());
    ASSERT_TRUE(peer.writeFrame(kel::bytes("fine")));
    ASSERT_TRUE(peer.write(kel::bytes::fromUint(1000001) + kel::bytes(100, 7)));
    ASSERT_TRUE(disconnections.waitFor(1));
    EXPECT_EQ(disconnections.snapshot()[0], makeSimpleError(Vant::Messaging::LengthReceivedInvalid));
    EXPECT_TRUE(peer.waitClosed());
    EXPECT_EQ(messages.size(), 1u);
}

TEST_F(SimpleSocketTest, SendsAMessageOfExactlyTheLimitAndRefusesOneByteMore) {
    startServer();
    RawPeer peer(server->localPort());
    auto socket = acceptedSocket();
    socket->send(kel::bytes(1000001, 1), sent.adder());
    socket->send(patterned(1000000, 3), sent.adder());
    socket->send(kel::bytes("after"), sent.adder());
    ASSERT_TRUE(sent.waitFor(3));
    const error_code success = makeSimpleError(Vant::Messaging::SimpleSuccess);
    EXPECT_EQ(sent.snapshot(), (std::vector<error_code>{makeSimpleError(Vant::Messaging::LengthSentInvalid),
                                                        success, success}));
    // The refused message left nothing on the wire: the next frames are the others.
    kel::bytes frame;
    ASSERT_TRUE(peer.readFrame(frame));
    EXPECT_EQ(frame, patterned(1000000, 3));
    ASSERT_TRUE(peer.readFrame(frame));
    EXPECT_EQ(frame, kel::bytes("after"));
    EXPECT_EQ(disconnections.size(), 0u);
}

TEST_F(SimpleSocketTest, FramesSentFromManyThreadsNeverInterleave) {
    startServer(timings(10000, 1));
    RawPeer peer(server->localPort());
    auto socket = acceptedSocket();
    // The first bytes name the sender and the message; the rest follows from them.
    auto message = [](unsigned t, unsigned i) {
        kel::bytes m = patterned(70000 + i, t * 1000 + i);
        m[0] = static_cast<kel::byte>(t);
        m[1] = static_cast<kel::byte>(i);
        return m;
    };
    const unsigned threads = 4, perThread = 40;
    std::vector<std::thread> senders;
    for (unsigned t = 0; t < threads; ++t) {
        senders.emplace_back([&, t]() {
            for (unsigned i = 0; i < perThread; ++i) {
                socket->send(message(t, i));
                if (i % 10 == 0) peer.write(kel::bytes(4, 0));  // answers travel through the same queue
            }
        });
    }
    std::vector<unsigned> next(threads, 0);
    for (unsigned frames = 0; frames < threads * perThread;) {
        kel::bytes frame;
        ASSERT_TRUE(peer.readFrame(frame)) << "after " << frames << " frames";
        if (frame.length() == 0) continue;  // a keep-alive answer
        ASSERT_LT(frame[0], threads);
        ASSERT_EQ(frame, message(frame[0], next[frame[0]]++))
            << "messages of one thread arrive whole, in order";
        ++frames;
    }
    for (auto& sender : senders) sender.join();
}

TEST_F(SimpleSocketTest, KeepAlivesAreAnsweredOnceAfterTheDelayAndNeverDelivered) {
    startServer(timings(10000, 150));
    RawPeer peer(server->localPort());
    std::string answer;
    ASSERT_TRUE(peer.write(kel::bytes(12, 0)));  // three keep-alives at once
    ASSERT_TRUE(peer.read(4, answer));
    EXPECT_EQ(answer, std::string(4, '\0'));
    EXPECT_TRUE(peer.quietFor(milliseconds(600)));
    ASSERT_TRUE(peer.write(kel::bytes(4, 0)));  // a later keep-alive gets its own answer
    ASSERT_TRUE(peer.read(4, answer));
    // An empty message travels as a keep-alive.
    acceptedSocket()->send(kel::bytes());
    ASSERT_TRUE(peer.read(4, answer));
    EXPECT_EQ(answer, std::string(4, '\0'));
    ASSERT_TRUE(peer.writeFrame(kel::bytes("x")));
    ASSERT_TRUE(messages.waitFor(1));
    EXPECT_EQ(messages.snapshot(), std::vector<kel::bytes>{kel::bytes("x")});
}

// Two connected ends keep each other alive past the time-out; a silent peer is closed.
TEST_F(SimpleSocketTest, ConnectedEndsKeepEachOtherAliveAndASilentPeerIsClosed) {
    startServer(timings(1000, 100));
    auto socket = client(server->localPort(), timings(1000, 100));
    ASSERT_TRUE(connected.waitFor(1));
    EXPECT_FALSE(connected.snapshot()[0]);
    RawPeer silent(server->localPort());
    ASSERT_TRUE(disconnections.waitFor(1));
    EXPECT_EQ(disconnections.snapshot()[0], makeSimpleError(Vant::Messaging::TimedOut));
    EXPECT_TRUE(silent.waitClosed());
    EXPECT_FALSE(disconnections.waitFor(2, milliseconds(2500)));
    EXPECT_EQ(clientDisconnected.size(), 0u);
    socket->send(kel::bytes("still here"));
    ASSERT_TRUE(messages.waitFor(1));
    acceptedSocket()->send(kel::bytes("me too"));
    ASSERT_TRUE(clientMessages.waitFor(1));
    EXPECT_EQ(clientMessages.snapshot()[0], kel::bytes("me too"));
}

TEST_F(SimpleSocketTest, ReportsDisconnectionOnceWhateverRacesToCloseIt) {
    startServer(timings(50, 10));
    for (int round = 0; round < 20; ++round) {
        RawPeer peer(server->localPort());
        auto socket = acceptedSocket(static_cast<std::size_t>(round));
        // The explicit closes, the peer's close and the time-out all race.
        std::thread a([&]() { socket->forceClose(); });
        std::thread b([&]() { socket->forceClose(makeSimpleError(Vant::Messaging::TimedOut)); });
        peer.close();
        a.join();
        b.join();
        ASSERT_TRUE(disconnections.waitFor(static_cast<std::size_t>(round) + 1));
    }
    // Late completions of every round have had time to land.
    EXPECT_FALSE(disconnections.waitFor(21, milliseconds(300)));
}

TEST_F(SimpleSocketTest, DeliversNothingAfterForceClose) {
    startServer();
    RawPeer peer(server->localPort());
    ASSERT_TRUE(peer.writeFrame(kel::bytes("before")));
    ASSERT_TRUE(messages.waitFor(1));
    acceptedSocket()->forceClose();
    peer.writeFrame(kel::bytes("after"));
    EXPECT_TRUE(peer.waitClosed());
    EXPECT_EQ(messages.size(), 1u);
}

// Like a session taking over a connection from within its first message.
TEST_F(SimpleSocketTest, CallbacksReplacedFromInsideOnMessageTakeTheNextMessages) {
    server.reset(new SimpleContainer(pool.io));
    server->startServer(0, [&](std::shared_ptr<SimpleSocket> socket) {
        std::weak_ptr<SimpleSocket> weak = socket;
        auto first = [&, weak](kel::bytes message) {
            messages.add(message);
            if (auto self = weak.lock())
                self->updateCallbacks(claimed.adder(), claimedDisconnections.adder());
        };
        socket->start(nullptr, first, disconnections.adder());
    });
    RawPeer peer(server->localPort());
    for (int i = 0; i < 50; ++i) ASSERT_TRUE(peer.writeFrame(kel::bytes(std::to_string(i))));
    ASSERT_TRUE(claimed.waitFor(49));
    EXPECT_EQ(messages.size(), 1u);
    for (int i = 1; i < 50; ++i)
        EXPECT_EQ(claimed.snapshot()[std::size_t(i - 1)], kel::bytes(std::to_string(i)));
    peer.close();
    ASSERT_TRUE(claimedDisconnections.waitFor(1));
    EXPECT_EQ(disconnections.size(), 0u);
}

TEST_F(SimpleSocketTest, CallbacksCanBeReplacedFromAnotherThreadWhileMessagesFlow) {
    startServer();
    RawPeer peer(server->localPort());
    auto socket = acceptedSocket();
    std::atomic<int> delivered{0};
    std::atomic<bool> done{false};
    std::thread replacer([&]() {
        while (!done) socket->updateCallbacks([&](kel::bytes) { ++delivered; }, [](error_code) {});
    });
    for (int i = 0; i < 300; ++i) ASSERT_TRUE(peer.writeFrame(kel::bytes("m")));
    EXPECT_TRUE(waitUntil([&]() { return delivered + static_cast<int>(messages.size()) == 300; }));
    done = true;
    replacer.join();
}

// A client registers while open and starts the keep-alive exchange; one that cannot
// connect reports it through onConnected only.
TEST_F(SimpleSocketTest, ClientRegistersWhileOpenAndReportsAFailedConnectOnlyThroughOnConnected) {
    RawListener listener;
    auto socket = client(listener.port, timings(10000, 30));
    RawPeer peer(listener.accept());
    ASSERT_TRUE(connected.waitFor(1));
    EXPECT_FALSE(connected.snapshot()[0]);
    EXPECT_EQ(registry.openSockets().size(), 1u);
    std::string keepAlive;
    ASSERT_TRUE(peer.read(4, keepAlive));  // the client's first
    EXPECT_EQ(keepAlive, std::string(4, '\0'));
    peer.close();
    ASSERT_TRUE(clientDisconnected.waitFor(1));
    EXPECT_TRUE(waitUntil([&]() { return registry.openSockets().empty(); }));

    unsigned short closedPort;
    {
        RawListener closed;
        closedPort = closed.port;
    }
    auto refused = client(closedPort);
    ASSERT_TRUE(connected.waitFor(2));
    EXPECT_EQ(connected.snapshot()[1], boost::asio::error::connection_refused);
    EXPECT_EQ(refused->getAddress(), boost::asio::ip::address_v4::loopback());
    EXPECT_FALSE(clientDisconnected.waitFor(2, milliseconds(200)));
    EXPECT_TRUE(registry.openSockets().empty());
}
