#include "Vant/Messaging/SimpleSocket.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "support/RawPeer.h"
#include "Vant/Messaging/SimpleContainer.h"
#include "support/AsyncTest.h"

using boost::system::error_code;
using std::chrono::milliseconds;
using testsupport::Collector;
using testsupport::RawListener;
using testsupport::RawPeer;
using Vant::Messaging::SimpleContainer;
using Vant::Messaging::SimpleSocket;
using Vant::Messaging::SimpleTimings;

namespace {

kel::bytes patterned(unsigned length, unsigned seed) {
    kel::bytes data(length);
    for (unsigned i = 0; i < length; ++i) data[i] = static_cast<kel::byte>((i * 31 + seed * 7) & 0xff);
    return data;
}

SimpleTimings shortTimings(milliseconds timeOut, milliseconds keepAlive) {
    SimpleTimings timings;
    timings.timeOut = timeOut;
    timings.keepAliveAfter = keepAlive;
    return timings;
}

// A server whose accepted sockets report into collectors; the raw peer is the client.
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

    void TearDown() override { pool.stop(); }

    testsupport::IoPool pool{3};
    std::unique_ptr<SimpleContainer> server;
    Collector<std::shared_ptr<SimpleSocket>> accepted;
    Collector<kel::bytes> messages;
    Collector<error_code> disconnections;
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
    unsigned offset = 0, piece = 3;
    while (offset < stream.length()) {
        const unsigned n = std::min(piece, stream.length() - offset);
        ASSERT_TRUE(peer.write(stream.begin() + offset, n));
        offset += n;
        piece = piece * 7 % 100003 + 1;
    }
    ASSERT_TRUE(messages.waitFor(sizes.size()));
    const auto received = messages.snapshot();
    for (unsigned i = 0; i < sizes.size(); ++i)
        EXPECT_EQ(received[i], patterned(sizes[i], i)) << "frame " << i;
}

TEST_F(SimpleSocketTest, ClosesWhenAHeaderAnnouncesMoreThanTheLimit) {
    startServer();
    RawPeer peer(server->localPort());
    ASSERT_TRUE(peer.writeFrame(kel::bytes("fine")));
    ASSERT_TRUE(peer.write(kel::bytes::fromUint(1000001) + kel::bytes(100, 7)));
    ASSERT_TRUE(disconnections.waitFor(1));
    const error_code reason = disconnections.snapshot()[0];
    EXPECT_EQ(reason.value(), 2);
    EXPECT_STREQ(reason.category().name(), "esocket_error");
    EXPECT_EQ(reason.message(), "Length received invalid (too long)");
    EXPECT_TRUE(peer.waitClosed());
    EXPECT_EQ(messages.size(), 1u);
}

TEST_F(SimpleSocketTest, SendsAMessageOfExactlyTheLimitAndRefusesOneByteMore) {
    startServer();
    RawPeer peer(server->localPort());
    auto socket = acceptedSocket();
    Collector<error_code> sent;
    socket->send(kel::bytes(1000001, 1), sent.adder());
    socket->send(patterned(1000000, 3), sent.adder());
    socket->send(kel::bytes("after"), sent.adder());
    ASSERT_TRUE(sent.waitFor(3));
    const auto results = sent.snapshot();
    EXPECT_EQ(results[0].value(), 1);
    EXPECT_EQ(results[0].message(), "Length sent invalid (too long)");
    EXPECT_FALSE(results[1]);
    EXPECT_EQ(&results[1].category(), &Vant::Messaging::ssocket_error_category);
    EXPECT_FALSE(results[2]);

    // The refused message left nothing on the wire: the next frames are the others.
    kel::bytes frame;
    ASSERT_TRUE(peer.readFrame(frame));
    EXPECT_EQ(frame, patterned(1000000, 3));
    ASSERT_TRUE(peer.readFrame(frame));
    EXPECT_EQ(frame, kel::bytes("after"));
    EXPECT_EQ(disconnections.size(), 0u);
    pool.stop();  // no callback may reach this test's locals after it
}

TEST_F(SimpleSocketTest, FramesSentFromManyThreadsNeverInterleave) {
    startServer(shortTimings(milliseconds(10000), milliseconds(1)));
    RawPeer peer(server->localPort());
    auto socket = acceptedSocket();
    const unsigned threads = 4, perThread = 40;
    std::vector<std::thread> senders;
    for (unsigned t = 0; t < threads; ++t) {
        senders.emplace_back([&, t]() {
            for (unsigned i = 0; i < perThread; ++i) {
                // The first bytes name the sender and the message; the rest follows from them.
                kel::bytes message = patterned(70000 + i, t * 1000 + i);
                message[0] = static_cast<kel::byte>(t);
                message[1] = static_cast<kel::byte>(i);
                socket->send(message);
                // Keep-alives answered meanwhile travel through the same queue.
                if (i % 10 == 0) peer.write(kel::bytes(4, 0));
            }
        });
    }
    std::vector<unsigned> next(threads, 0);
    unsigned frames = 0;
    while (frames < threads * perThread) {
        kel::bytes frame;
        ASSERT_TRUE(peer.readFrame(frame)) << "after " << frames << " frames";
        if (frame.length() == 0) continue;  // a keep-alive answer
        const unsigned t = frame[0], i = frame[1];
        ASSERT_LT(t, threads);
        ASSERT_EQ(i, next[t]) << "messages of one thread arrive in order";
        kel::bytes expected = patterned(70000 + i, t * 1000 + i);
        expected[0] = static_cast<kel::byte>(t);
        expected[1] = static_cast<kel::byte>(i);
        ASSERT_EQ(frame, expected);
        ++next[t];
        ++frames;
    }
    for (auto& sender : senders) sender.join();
}

TEST_F(SimpleSocketTest, AnEmptyMessageTravelsAsAKeepAliveAndIsNeverDelivered) {
    startServer(shortTimings(milliseconds(10000), milliseconds(50)));
    RawPeer peer(server->localPort());
    auto socket = acceptedSocket();
    socket->send(kel::bytes());
    std::string bytes;
    ASSERT_TRUE(peer.read(4, bytes));
    EXPECT_EQ(bytes, std::string(4, '\0'));

    ASSERT_TRUE(peer.write(kel::bytes(4, 0)));
    ASSERT_TRUE(peer.writeFrame(kel::bytes("x")));
    ASSERT_TRUE(messages.waitFor(1));
    EXPECT_EQ(messages.snapshot()[0], kel::bytes("x"));
    EXPECT_EQ(messages.size(), 1u);
}

TEST_F(SimpleSocketTest, AnswersABurstOfKeepAlivesWithOneAfterTheDelay) {
    startServer(shortTimings(milliseconds(10000), milliseconds(150)));
    RawPeer peer(server->localPort());
    ASSERT_TRUE(peer.write(kel::bytes(12, 0)));  // three keep-alives at once
    std::string bytes;
    ASSERT_TRUE(peer.read(4, bytes));
    EXPECT_EQ(bytes, std::string(4, '\0'));
    EXPECT_TRUE(peer.quietFor(milliseconds(600)));

    ASSERT_TRUE(peer.write(kel::bytes(4, 0)));  // a later keep-alive gets its own answer
    ASSERT_TRUE(peer.read(4, bytes));
    EXPECT_EQ(messages.size(), 0u);
}

TEST_F(SimpleSocketTest, ClosesASilentPeerWithConnectionTimedOut) {
    startServer(shortTimings(milliseconds(200), milliseconds(50)));
    RawPeer peer(server->localPort());
    ASSERT_TRUE(disconnections.waitFor(1));
    EXPECT_EQ(disconnections.snapshot()[0].value(), 5);
    EXPECT_EQ(disconnections.snapshot()[0].message(), "Connection timed out");
    EXPECT_TRUE(peer.waitClosed());
}

TEST_F(SimpleSocketTest, ConnectedEndsKeepEachOtherAlivePastTheTimeOut) {
    const SimpleTimings timings = shortTimings(milliseconds(300), milliseconds(30));
    startServer(timings);
    Collector<error_code> connected, clientDisconnected;
    Collector<kel::bytes> clientMessages;
    auto client = SimpleSocket::create(
        pool.io, nullptr,
        boost::asio::ip::tcp::endpoint(boost::asio::ip::address_v4::loopback(), server->localPort()),
        timings);
    client->start(connected.adder(), clientMessages.adder(), clientDisconnected.adder());
    ASSERT_TRUE(connected.waitFor(1));
    EXPECT_FALSE(connected.snapshot()[0]);
    auto socket = acceptedSocket();

    EXPECT_FALSE(disconnections.waitFor(1, milliseconds(1200)));
    EXPECT_EQ(clientDisconnected.size(), 0u);
    client->send(kel::bytes("still here"));
    ASSERT_TRUE(messages.waitFor(1));
    socket->send(kel::bytes("me too"));
    ASSERT_TRUE(clientMessages.waitFor(1));
    EXPECT_EQ(clientMessages.snapshot()[0], kel::bytes("me too"));
    client->forceClose();
    pool.stop();  // no callback may reach this test's locals after it
}

TEST_F(SimpleSocketTest, ReportsDisconnectionOnceWhateverRacesToCloseIt) {
    startServer(shortTimings(milliseconds(50), milliseconds(10)));
    for (int round = 0; round < 20; ++round) {
        RawPeer peer(server->localPort());
        auto socket = acceptedSocket(static_cast<std::size_t>(round));
        // The explicit closes, the peer's close and the time-out all race.
        std::thread a([&]() { socket->forceClose(); });
        std::thread b(
            [&]() { socket->forceClose(Vant::Messaging::makeSimpleError(Vant::Messaging::TimedOut)); });
        peer.close();
        a.join();
        b.join();
        ASSERT_TRUE(disconnections.waitFor(static_cast<std::size_t>(round) + 1));
    }
    // Late completions of every round have had time to land.
    EXPECT_FALSE(disconnections.waitFor(21, milliseconds(300)));
}

TEST_F(SimpleSocketTest, SecondForceCloseOnlyLogsTheSkip) {
    startServer();
    RawPeer peer(server->localPort());
    auto socket = acceptedSocket();
    std::string log;
    {
        testsupport::CapturedStdout captured;
        socket->forceClose();
        socket->forceClose();
        log = captured.text();
    }
    EXPECT_TRUE(peer.waitClosed());
    ASSERT_TRUE(disconnections.waitFor(1));
    EXPECT_EQ(disconnections.snapshot()[0].message(), "Unknown reason");
    EXPECT_NE(log.find("SimpleSocket::forceClose() socket = "), std::string::npos) << log;
    EXPECT_NE(log.find(", error = Unknown reason _onDisconnected=1"), std::string::npos) << log;
    EXPECT_NE(log.find("SimpleSocket::forceClose() SKIPPING thanks to atomic bool."), std::string::npos)
        << log;
    EXPECT_EQ(disconnections.size(), 1u);
}

TEST_F(SimpleSocketTest, DeliversNothingAfterForceClose) {
    startServer();
    RawPeer peer(server->localPort());
    auto socket = acceptedSocket();
    ASSERT_TRUE(peer.writeFrame(kel::bytes("before")));
    ASSERT_TRUE(messages.waitFor(1));
    socket->forceClose();
    peer.writeFrame(kel::bytes("after"));
    EXPECT_TRUE(peer.waitClosed());
    EXPECT_EQ(messages.size(), 1u);
}

TEST_F(SimpleSocketTest, CallbacksReplacedFromInsideOnMessageTakeTheNextMessages) {
    Collector<kel::bytes> claimed;
    Collector<error_code> claimedDisconnections;
    server.reset(new SimpleContainer(pool.io));
    server->startServer(0, [&](std::shared_ptr<SimpleSocket> socket) {
        accepted.add(socket);
        std::weak_ptr<SimpleSocket> weak = socket;
        // Like a session taking over a connection from within its first message.
        socket->start(
            nullptr,
            [&, weak](kel::bytes first) {
                messages.add(first);
                if (auto self = weak.lock())
                    self->updateCallbacks(claimed.adder(), claimedDisconnections.adder());
            },
            disconnections.adder());
    });
    RawPeer peer(server->localPort());
    for (int i = 0; i < 50; ++i) ASSERT_TRUE(peer.writeFrame(kel::bytes(std::to_string(i))));
    ASSERT_TRUE(claimed.waitFor(49));
    EXPECT_EQ(messages.size(), 1u);
    const auto later = claimed.snapshot();
    for (int i = 1; i < 50; ++i)
        EXPECT_EQ(later[static_cast<std::size_t>(i - 1)], kel::bytes(std::to_string(i)));
    peer.close();
    ASSERT_TRUE(claimedDisconnections.waitFor(1));
    EXPECT_EQ(disconnections.size(), 0u);
    pool.stop();  // no callback may reach this test's locals after it
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
    EXPECT_TRUE(
        testsupport::waitUntil([&]() { return delivered + static_cast<int>(messages.size()) == 300; }));
    done = true;
    replacer.join();
}

TEST_F(SimpleSocketTest, ClosedSocketsAreFreed) {
    startServer();
    std::weak_ptr<SimpleSocket> weak;
    {
        RawPeer peer(server->localPort());
        weak = acceptedSocket();
        EXPECT_EQ(server->openSockets().size(), 1u);
        peer.close();
        ASSERT_TRUE(disconnections.waitFor(1));
    }
    accepted.clear();  // drop the test's own reference
    EXPECT_TRUE(testsupport::waitUntil([&]() { return weak.expired(); }));
    EXPECT_TRUE(server->openSockets().empty());
}

TEST_F(SimpleSocketTest, ClientThatCannotConnectReportsOnlyThroughOnConnected) {
    unsigned short closedPort;
    {
        RawListener listener;
        closedPort = listener.port;
    }
    SimpleContainer registry(pool.io);
    const boost::asio::ip::tcp::endpoint target(boost::asio::ip::address_v4::loopback(), closedPort);
    auto client = SimpleSocket::create(pool.io, &registry, target);
    Collector<error_code> connected, clientDisconnected;
    client->start(
        connected.adder(), [](kel::bytes) {}, clientDisconnected.adder());
    ASSERT_TRUE(connected.waitFor(1));
    EXPECT_EQ(connected.snapshot()[0], boost::asio::error::connection_refused);
    EXPECT_EQ(client->getAddress(), target.address());
    EXPECT_FALSE(clientDisconnected.waitFor(1, milliseconds(200)));
    EXPECT_TRUE(registry.openSockets().empty());
    pool.stop();  // no callback may reach this test's locals after it
}

TEST_F(SimpleSocketTest, ClientRegistersWhileOpenAndStartsTheKeepAliveExchange) {
    RawListener listener;
    SimpleContainer registry(pool.io);
    auto client = SimpleSocket::create(
        pool.io, &registry,
        boost::asio::ip::tcp::endpoint(boost::asio::ip::address_v4::loopback(), listener.port),
        shortTimings(milliseconds(10000), milliseconds(30)));
    Collector<error_code> connected, clientDisconnected;
    client->start(
        connected.adder(), [](kel::bytes) {}, clientDisconnected.adder());
    RawPeer peer(listener.accept());
    ASSERT_TRUE(connected.waitFor(1));
    EXPECT_EQ(connected.snapshot()[0].value(), 0);
    EXPECT_STREQ(connected.snapshot()[0].category().name(), "esocket_error");
    EXPECT_EQ(registry.openSockets().size(), 1u);
    EXPECT_EQ(client->getAddress(), boost::asio::ip::address_v4::loopback());

    std::string bytes;
    ASSERT_TRUE(peer.read(4, bytes));  // the client's first keep-alive
    EXPECT_EQ(bytes, std::string(4, '\0'));
    peer.close();
    ASSERT_TRUE(clientDisconnected.waitFor(1));
    EXPECT_TRUE(testsupport::waitUntil([&]() { return registry.openSockets().empty(); }));
    pool.stop();  // no callback may reach this test's locals after it
}
