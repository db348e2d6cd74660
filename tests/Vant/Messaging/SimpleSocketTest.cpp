#include "Vant/Messaging/SimpleSocket.h"

#include <gtest/gtest.h>

#include <malloc.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <thread>

#include "Vant/Messaging/EncryptedTestPeer.h"
#include "Vant/Messaging/SimpleContainer.h"
#include "Vant/Messaging/SimpleFrameReader.h"
#include "support/ChildProcess.h"

using boost::system::error_code;
using std::chrono::milliseconds;
using namespace std::chrono_literals;
using encryptedtest::pattern;
using testsupport::Collector;
using testsupport::RawListener;
using testsupport::RawPeer;
using testsupport::waitUntil;
using Vant::Messaging::makeSimpleError;
using Vant::Messaging::SimpleContainer;
using Vant::Messaging::SimpleSocket;
using Vant::Messaging::SimpleTimings;

// From the sanitizer runtimes; null in a plain build.
extern "C" std::size_t __sanitizer_get_current_allocated_bytes() __attribute__((weak));

namespace {

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

long heapBytes() {
    if (__sanitizer_get_current_allocated_bytes != nullptr)
        return long(__sanitizer_get_current_allocated_bytes());
    const struct mallinfo2 info = mallinfo2();
    return long(info.uordblks + info.hblkhd);
}

class SimpleContainerTest : public ::testing::Test {
protected:
    SimpleContainerTest() {
        server.startServer(
            0, [](std::shared_ptr<SimpleSocket> socket) { socket->start(nullptr, nullptr, nullptr); });
    }
    bool openSocketsReach(std::size_t n) {
        return waitUntil([&]() { return server.openSockets().size() == n; }, milliseconds(20000));
    }
    using Peers = std::vector<RawPeer>;
    // n peers that each wrote `data`, once the server holds them all.
    Peers connect(unsigned n, const kel::bytes& data) {
        testsupport::CapturedStdout quiet;  // every connection logs
        Peers peers(n);
        for (RawPeer& peer : peers) {
            peer.connect(server.localPort());
            EXPECT_TRUE(peer.write(data));
        }
        EXPECT_TRUE(openSocketsReach(n));
        return peers;
    }
    bool closeAll(Peers peers) {
        testsupport::CapturedStdout quiet;
        for (RawPeer& peer : peers) peer.resetOnClose();
        peers.clear();
        return openSocketsReach(0);
    }
    testsupport::IoPool pool{2};
    SimpleContainer server{pool.io};
};

}  // namespace

TEST_F(SimpleSocketTest, DeliversFramesWholeWhateverTheirSizeAndCuts) {
    startServer();
    RawPeer peer(server->localPort());
    const std::vector<unsigned> sizes = {1, 4, 65535, 65536, 65537, 200000, 1000000};
    kel::bytes stream;
    for (unsigned i = 0; i < sizes.size(); ++i)
        stream = stream + kel::bytes::fromUint(sizes[i]) + pattern(sizes[i], i);
    for (unsigned offset = 0, piece = 3; offset < stream.length(); piece = piece * 7 % 100003 + 1) {
        const unsigned n = std::min(piece, stream.length() - offset);
        ASSERT_TRUE(peer.write(stream.begin() + offset, n));
        offset += n;
    }
    ASSERT_TRUE(messages.waitFor(sizes.size()));
    for (unsigned i = 0; i < sizes.size(); ++i) EXPECT_EQ(messages.snapshot()[i], pattern(sizes[i], i)) << i;
}

TEST_F(SimpleSocketTest, ClosedByAnOverlongHeaderOrForceCloseItDeliversNothingMore) {
    startServer();
    RawPeer peer(server->localPort());
    ASSERT_TRUE(peer.writeFrame(kel::bytes("fine")));
    ASSERT_TRUE(peer.write(kel::bytes::fromUint(1000001) + kel::bytes(100, 7)));
    ASSERT_TRUE(disconnections.waitFor(1));
    EXPECT_EQ(disconnections.snapshot()[0], makeSimpleError(Vant::Messaging::LengthReceivedInvalid));
    EXPECT_TRUE(peer.waitClosed());
    RawPeer forced(server->localPort());
    ASSERT_TRUE(forced.writeFrame(kel::bytes("before")));
    ASSERT_TRUE(messages.waitFor(2));
    acceptedSocket(1)->forceClose();
    forced.writeFrame(kel::bytes("after"));
    EXPECT_TRUE(forced.waitClosed());
    EXPECT_EQ(messages.size(), 2u);
}

TEST_F(SimpleSocketTest, SendsAMessageOfExactlyTheLimitAndRefusesOneByteMore) {
    startServer();
    RawPeer peer(server->localPort());
    auto socket = acceptedSocket();
    socket->send(kel::bytes(1000001, 1), sent.adder());
    socket->send(pattern(1000000, 3), sent.adder());
    socket->send(kel::bytes("after"), sent.adder());
    ASSERT_TRUE(sent.waitFor(3));
    const error_code success = makeSimpleError(Vant::Messaging::SimpleSuccess);
    EXPECT_EQ(sent.snapshot(), (std::vector<error_code>{makeSimpleError(Vant::Messaging::LengthSentInvalid),
                                                        success, success}));
    kel::bytes frame;  // the refused message left nothing on the wire
    for (const kel::bytes& expected : {pattern(1000000, 3), kel::bytes("after")}) {
        ASSERT_TRUE(peer.readFrame(frame));
        EXPECT_EQ(frame, expected);
    }
    EXPECT_EQ(disconnections.size(), 0u);
}

TEST_F(SimpleSocketTest, FramesSentFromManyThreadsNeverInterleave) {
    startServer({10000ms, 1ms});
    RawPeer peer(server->localPort());
    auto socket = acceptedSocket();
    auto message = [](unsigned t, unsigned i) {
        kel::bytes m = pattern(70000 + i, t * 1000 + i);
        m[0] = kel::byte(t), m[1] = kel::byte(i);
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
    startServer({10000ms, 150ms});
    RawPeer peer(server->localPort());
    std::string answer;
    auto answered = [&]() { return peer.read(4, answer) && answer == std::string(4, '\0'); };
    ASSERT_TRUE(peer.write(kel::bytes(12, 0)));  // three keep-alives at once
    ASSERT_TRUE(answered());
    EXPECT_TRUE(peer.quietFor(milliseconds(600)));
    ASSERT_TRUE(peer.write(kel::bytes(4, 0)));  // a later keep-alive gets its own answer
    ASSERT_TRUE(answered());
    acceptedSocket()->send(kel::bytes());  // an empty message travels as a keep-alive
    ASSERT_TRUE(answered());
    ASSERT_TRUE(peer.writeFrame(kel::bytes("x")));
    ASSERT_TRUE(messages.waitFor(1));
    EXPECT_EQ(messages.snapshot(), std::vector<kel::bytes>{kel::bytes("x")});
}

TEST_F(SimpleSocketTest, ConnectedEndsKeepEachOtherAliveAndASilentPeerIsClosed) {
    startServer({1000ms, 100ms});
    auto socket = client(server->localPort(), {1000ms, 100ms});
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
    startServer({50ms, 10ms});
    for (int round = 0; round < 20; ++round) {
        RawPeer peer(server->localPort());
        auto socket = acceptedSocket(static_cast<std::size_t>(round));
        std::thread a([&]() { socket->forceClose(); });
        std::thread b([&]() { socket->forceClose(makeSimpleError(Vant::Messaging::TimedOut)); });
        peer.close();
        a.join();
        b.join();
        ASSERT_TRUE(disconnections.waitFor(static_cast<std::size_t>(round) + 1));
    }
    EXPECT_FALSE(disconnections.waitFor(21, milliseconds(300)));  // late completions included
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

TEST_F(SimpleSocketTest, ClientRegistersWhileOpenAndReportsAFailedConnectOnlyThroughOnConnected) {
    RawListener listener;
    auto socket = client(listener.port, {10000ms, 30ms});
    RawPeer peer(listener.accept());
    ASSERT_TRUE(connected.waitFor(1));
    EXPECT_FALSE(connected.snapshot()[0]);
    EXPECT_EQ(registry.openSockets().size(), 1u);
    std::string keepAlive;  // the client starts the keep-alive exchange
    ASSERT_TRUE(peer.read(4, keepAlive) && keepAlive == std::string(4, '\0'));
    peer.close();
    ASSERT_TRUE(clientDisconnected.waitFor(1));
    EXPECT_TRUE(waitUntil([&]() { return registry.openSockets().empty(); }));

    const unsigned short closedPort = RawListener().port;  // closed again at once
    auto refused = client(closedPort);
    ASSERT_TRUE(connected.waitFor(2));
    EXPECT_EQ(connected.snapshot()[1], boost::asio::error::connection_refused);
    EXPECT_EQ(refused->getAddress(), boost::asio::ip::address_v4::loopback());
    EXPECT_FALSE(clientDisconnected.waitFor(2, milliseconds(200)));
    EXPECT_TRUE(registry.openSockets().empty());
}

TEST_F(SimpleContainerTest, ForgetsClosedSocketsAndOnStopRefusesNewConnectionsKeepingOpenOnes) {
    const unsigned short port = server.localPort();
    RawPeer kept(port);
    {
        RawPeer closed(port);
        ASSERT_TRUE(openSocketsReach(2));
        EXPECT_EQ(server.openSockets()[0]->getAddress(), boost::asio::ip::address_v4::loopback());
    }
    ASSERT_TRUE(openSocketsReach(1));
    server.stop();
    RawPeer refused;
    EXPECT_THROW(refused.connect(port), std::runtime_error);
    EXPECT_TRUE(kept.quietFor(milliseconds(100)));
    EXPECT_FALSE(server.openSockets().at(0)->isClosing());
}

// A client reconnecting every few seconds for months must not grow the daemon.
TEST_F(SimpleContainerTest, MemoryDoesNotGrowWithConnectionsOpenedAndClosed) {
    auto cycle = [&](unsigned connections) {
        for (unsigned done = 0; done < connections && !HasFailure(); done += 100)
            if (!closeAll(connect(100, kel::bytes::fromUint(5) + kel::bytes("hello")))) return false;
        return true;
    };
    ASSERT_TRUE(cycle(1000));  // warms up allocator caches and the reactor's descriptor pool
    const long before = heapBytes();
    ASSERT_TRUE(cycle(10000));
    EXPECT_LT(heapBytes() - before, 1024 * 1024)
        << "heap grown over 10,000 connections (kept sockets: 16 MB)";
}

TEST_F(SimpleContainerTest, AnnouncedButUnsentPayloadsHoldLittleMemory) {
    const long before = heapBytes();
    auto peers = connect(500, kel::bytes::fromUint(1000000));
    EXPECT_FALSE(  // buffers of the announced size would take 500 MB
        waitUntil([&]() { return heapBytes() - before > 100L * 1024 * 1024; }, milliseconds(1000)));
    EXPECT_TRUE(closeAll(std::move(peers)));
}

TEST(SimpleFrameReader, HoldsWhatThePeerSentNotWhatItAnnounced) {
    Vant::Messaging::SimpleFrameReader reader;
    auto feed = [&](const kel::bytes& data) {
        for (std::size_t offset = 0, n = 1; offset < data.length() && n > 0; offset += n) {
            const auto space = reader.nextBuffer();
            n = std::min(space.size, data.length() - offset);
            std::memcpy(space.data, data.begin() + offset, n);
            reader.consumed(n);
        }
    };
    feed(kel::bytes::fromUint(1000000));
    EXPECT_LE(reader.bufferedCapacity(), Vant::Messaging::SimpleFrameReader::ChunkSize);
    feed(kel::bytes(200000, 9));
    EXPECT_LE(reader.bufferedCapacity(), 200000u + Vant::Messaging::SimpleFrameReader::ChunkSize);
}

// The child of AcceptsAgainOnceDescriptorsAreFree (the limit reaches no other test): an
// echo server with room for three accepted connections, until SIGTERM.
TEST(SimpleContainerLimits, DISABLED_EchoServerUnderADescriptorLimit) {
    sigset_t term;
    sigemptyset(&term);
    sigaddset(&term, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &term, nullptr);  // before the pool: its threads inherit the mask
    testsupport::IoPool pool(2);
    SimpleContainer server(pool.io, SimpleSocket::Timings(), milliseconds(20));
    server.startServer(0, [](std::shared_ptr<SimpleSocket> socket) {
        std::weak_ptr<SimpleSocket> weak = socket;
        socket->start(
            nullptr,
            [weak](kel::bytes message) {
                if (auto self = weak.lock()) self->send(message);
            },
            nullptr);
    });
    // The undefined-behaviour checker needs descriptors the first time it checks a
    // dynamic type: one whole connection and each error category, while they are free.
    {
        RawPeer warmUp(server.localPort());
        kel::bytes echo;
        ASSERT_TRUE(warmUp.writeFrame(kel::bytes("warm")) && warmUp.readFrame(echo));
    }
    ASSERT_TRUE(waitUntil([&]() { return server.openSockets().empty(); }));
    for (const error_code& error :
         {error_code(EMFILE, boost::system::system_category()),
          error_code(EPIPE, boost::system::generic_category()), error_code(boost::asio::error::eof),
          error_code(boost::asio::error::operation_aborted),
          Vant::Messaging::makeSimpleError(Vant::Messaging::SimpleSuccess)}) {
        ASSERT_FALSE(error.message().empty() && error);
    }
    // Holes below the highest descriptor are filled, so the limit leaves exactly three.
    int highest = 0, first = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd"))
        highest = std::max(highest, std::stoi(entry.path().filename().string()));
    while ((first = ::dup(0)) < highest) {
    }
    ::close(first);
    rlimit original{};
    ::getrlimit(RLIMIT_NOFILE, &original);
    rlimit limit = original;
    limit.rlim_cur = static_cast<rlim_t>(first + 3);
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &limit), 0);
    std::printf("serving on port %u under the limit\n", unsigned(server.localPort()));
    std::fflush(stdout);
    int received = 0;
    sigwait(&term, &received);
    ::setrlimit(RLIMIT_NOFILE, &original);  // ending the threads is checked too: give the checker room
}

TEST(SimpleContainerLimits, AcceptsAgainOnceDescriptorsAreFree) {
    testsupport::ChildProcess child(
        {testsupport::builtProgram("messaging_tests"), "--gtest_also_run_disabled_tests",
         "--gtest_filter=SimpleContainerLimits.DISABLED_EchoServerUnderADescriptorLimit"});
    ASSERT_TRUE(child.waitForOutput(" under the limit\n", milliseconds(20000))) << child.out() << child.err();
    unsigned port = 0;
    ASSERT_EQ(
        std::sscanf(child.out().c_str() + child.out().find("serving on port "), "serving on port %u", &port),
        1);

    std::vector<RawPeer> first(3);
    kel::bytes echo;
    for (RawPeer& peer : first) {
        peer.connect(static_cast<unsigned short>(port));
        ASSERT_TRUE(peer.writeFrame(kel::bytes("first")) && peer.readFrame(echo));
    }
    RawPeer waiting(static_cast<unsigned short>(port));
    ASSERT_TRUE(waiting.writeFrame(kel::bytes("waiting")));
    EXPECT_TRUE(child.waitForOutput("Error listening for connection : Too many open files\nEnding server.\n",
                                    milliseconds(10000)));

    first.clear();  // frees descriptors: the waiting one is served, new ones accepted
    ASSERT_TRUE(waiting.readFrame(echo, milliseconds(10000)));
    EXPECT_EQ(echo, kel::bytes("waiting"));
    RawPeer later(static_cast<unsigned short>(port));
    ASSERT_TRUE(later.writeFrame(kel::bytes("later")) && later.readFrame(echo, milliseconds(10000)));
    EXPECT_EQ(echo, kel::bytes("later"));
    child.signal(SIGTERM);
    EXPECT_EQ(child.wait(milliseconds(10000)), 0) << child.out() << child.err();
}
