#include "Vant/Messaging/EncryptedServer.h"

#include "Vant/Messaging/EncryptedTestPeer.h"
#include "support/ChildProcess.h"

#include <gtest/gtest.h>

#include <cstdlib>

using namespace encryptedtest;
using boost::system::error_code;
using kel::bytes;
using Vant::Messaging::EncryptedServer;
using Vant::Messaging::EncryptedSocket;

namespace {

// A server whose accepted channels are recorded and started at once.
struct Accepting {
    explicit Accepting(unsigned threads = 3) : pool(threads) {
        server.reset(new EncryptedServer(pool.io, keys.priv, keys.pub, 0));
        server->acceptConnection([this](error_code error, std::shared_ptr<EncryptedSocket> channel) {
            std::lock_guard<std::mutex> lock(mutex);
            reports.push_back({error, channel});
            if (channel) {
                recorders.emplace_back(new Recorder);
                recorders.back()->attach(*channel);
                channel->start();
            }
        });
    }
    size_t reportCount() {
        std::lock_guard<std::mutex> lock(mutex);
        return reports.size();
    }
    boost::asio::ip::tcp::endpoint endpoint() const {
        return boost::asio::ip::tcp::endpoint(boost::asio::ip::address_v4::loopback(), server->localPort());
    }

    IoPool pool;
    KeyPair keys;
    std::unique_ptr<EncryptedServer> server;
    std::mutex mutex;  // guards the records below; the server's strand and the test thread contend
    std::vector<std::pair<error_code, std::shared_ptr<EncryptedSocket>>> reports;
    std::vector<std::unique_ptr<Recorder>> recorders;
    Recorder& recorder(size_t i) {
        std::lock_guard<std::mutex> lock(mutex);
        return *recorders.at(i);
    }
};

}  // namespace

TEST(EncryptedServer, AcceptsEachClientIntoItsOwnChannel) {
    Accepting a;
    EXPECT_FALSE(a.server->started());
    KeyPair first, second;
    Recorder firstSide, secondSide;
    auto one = EncryptedSocket::create(a.pool.io, first.priv, first.pub);
    firstSide.attach(*one);
    one->start(a.endpoint(), a.keys.pub, false);
    ASSERT_TRUE(firstSide.waitConnected());
    auto two = EncryptedSocket::create(a.pool.io, second.priv, second.pub);
    secondSide.attach(*two);
    two->start(a.endpoint(), a.keys.pub, false);
    ASSERT_TRUE(secondSide.waitConnected());

    ASSERT_EQ(a.reportCount(), 2u);
    EXPECT_EQ(a.reports[0].first.value(), 0);
    EXPECT_EQ(std::string(a.reports[0].first.category().name()), "esocket_error");
    EXPECT_NE(a.reports[0].second, a.reports[1].second);
    EXPECT_FALSE(a.server->started());

    // The accepted side took any key and carries messages both ways.
    one->send(bytes("from the client"), [](const error_code&) {});
    ASSERT_TRUE(a.recorder(0).waitMessages(1));
    EXPECT_EQ(a.recorder(0).received()[0], bytes("from the client"));
    a.reports[1].second->send(bytes("from the server"), [](const error_code&) {});
    ASSERT_TRUE(secondSide.waitMessages(1));
    EXPECT_EQ(secondSide.received()[0], bytes("from the server"));
}

TEST(EncryptedServer, ReportsOneErrorAfterStopThenNothing) {
    Accepting a;
    a.server->stop();
    ASSERT_TRUE(eventually([&]() { return a.reportCount() >= 1; }));
    RawPeer late;
    EXPECT_THROW(late.connect(a.server->localPort()), std::runtime_error);  // nobody listens any more
    EXPECT_FALSE(eventually([&]() { return a.reportCount() >= 2; }, std::chrono::milliseconds(300)));
    std::lock_guard<std::mutex> lock(a.mutex);
    ASSERT_EQ(a.reports.size(), 1u);
    EXPECT_TRUE(a.reports[0].first);
    EXPECT_EQ(a.reports[0].second, nullptr);
}

TEST(EncryptedServer, DestroyedServerCallsBackNoMore) {
    Accepting a;
    a.server.reset();
    EXPECT_FALSE(eventually([&]() { return a.reportCount() >= 1; }, std::chrono::milliseconds(300)));
}

// Handshake reads wait without holding a thread: peers that connect and say nothing
// cost their sockets only, even with fewer pool threads than silent peers.
TEST(EncryptedServer, SilentPeersDoNotStallAWellBehavedOne) {
    Accepting a(2);
    std::vector<std::unique_ptr<RawPeer>> silent;
    for (int i = 0; i < 20; ++i) {
        silent.emplace_back(new RawPeer);
        silent.back()->connect(a.server->localPort());
    }
    ASSERT_TRUE(eventually([&]() { return a.reportCount() >= 20; }));
    KeyPair keys;
    Recorder client;
    auto channel = EncryptedSocket::create(a.pool.io, keys.priv, keys.pub);
    client.attach(*channel);
    channel->start(a.endpoint(), a.keys.pub, false);
    ASSERT_TRUE(client.waitConnected());
    ASSERT_TRUE(a.recorder(20).waitConnected());
    for (int i = 0; i < 20; ++i) EXPECT_EQ(a.recorder(i).connectedCount(), 0);
}

// The peer in encrypted_peer.py is written from the wire format with PyNaCl alone.
TEST(EncryptedServer, IndependentPeerSpeaksTheWireFormat) {
    Accepting a;
    KeyPair python;
    const char* source = std::getenv("TOLVANE_SOURCE_DIR");
    ASSERT_NE(source, nullptr);
    testsupport::ChildProcess peer(
        {"/usr/bin/python3", std::string(source) + "/tests/Vant/Messaging/encrypted_peer.py",
         std::to_string(a.server->localPort()), python.priv.toHex(), a.keys.pub.toHex()});
    ASSERT_TRUE(eventually([&]() { return a.reportCount() >= 1; })) << peer.err();
    Recorder& side = a.recorder(0);
    ASSERT_TRUE(side.waitConnected()) << peer.err();
    ASSERT_TRUE(side.waitMessages(4)) << peer.err();
    std::vector<bytes> received = side.received();
    EXPECT_EQ(received[0], bytes("hello from python"));
    EXPECT_EQ(received[1], pattern(450));
    EXPECT_EQ(received[2], bytes(std::string(200, 'b')));
    EXPECT_EQ(received[3], bytes(std::string(196, 'c')));

    std::shared_ptr<EncryptedSocket> channel = a.reports[0].second;
    const std::vector<bytes> sent = {bytes("x"), pattern(201, 3), pattern(5000, 5), bytes("bye")};
    for (const bytes& m : sent) channel->send(m, [](const error_code&) {});
    ASSERT_TRUE(side.waitMessages(8)) << peer.err();
    received = side.received();
    for (size_t i = 0; i < 3; ++i) EXPECT_EQ(received[4 + i], bytes("echo:") + sent[i]);
    EXPECT_EQ(received[7], bytes("bye too"));
    EXPECT_EQ(peer.wait(std::chrono::seconds(10)), 0) << peer.err();
}
