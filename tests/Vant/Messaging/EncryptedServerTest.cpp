#include "Vant/Messaging/EncryptedServer.h"

#include "Vant/Messaging/EncryptedTestPeer.h"
#include "support/ChildProcess.h"

#include <gtest/gtest.h>

#include <cstdlib>

using namespace encryptedtest;
using namespace std::chrono_literals;
using boost::system::error_code;
using Vant::Messaging::EncryptedServer;
using Vant::Messaging::EncryptedSocket;

namespace {

// A server whose accepted channels are recorded and started at once.
struct Accepting {
    explicit Accepting(unsigned threads = 3) : pool(threads) {
        server.reset(new EncryptedServer(pool.io, keys.priv, keys.pub, 0));
        server->acceptConnection([this](error_code error, std::shared_ptr<EncryptedSocket> channel) {
            if (!channel) return errors.add(error);
            auto recorder = std::make_shared<Recorder>();
            recorder->attach(*channel);
            recorders.add(recorder);
            channels.add(channel);
            channel->start();
        });
    }
    boost::asio::ip::tcp::endpoint endpoint() const {
        return boost::asio::ip::tcp::endpoint(boost::asio::ip::address_v4::loopback(), server->localPort());
    }
    // The side of the n-th accepted channel.
    Recorder& side(std::size_t n) {
        if (!recorders.waitFor(n + 1, std::chrono::seconds(20))) throw std::runtime_error("not accepted");
        return *recorders.snapshot()[n];
    }
    // A client channel that expects this server's key.
    std::shared_ptr<EncryptedSocket> client(Recorder& recorder) {
        KeyPair own;
        auto channel = EncryptedSocket::create(pool.io, own.priv, own.pub);
        recorder.attach(*channel);
        channel->start(endpoint(), keys.pub, false);
        return channel;
    }

    Collector<error_code> errors;  // before the pool: its threads report to them
    Collector<std::shared_ptr<Recorder>> recorders;
    IoPool pool;
    KeyPair keys;
    Collector<std::shared_ptr<EncryptedSocket>> channels;
    std::unique_ptr<EncryptedServer> server;
};

}  // namespace

TEST(EncryptedServer, ReportsOneErrorAfterStopThenNothingAndNothingOnceDestroyed) {
    Accepting a;
    a.server->stop();
    ASSERT_TRUE(a.errors.waitFor(1));
    EXPECT_TRUE(a.errors.snapshot()[0]);
    EncryptedPeer late;
    EXPECT_THROW(late.connect(a.server->localPort()), std::runtime_error);  // nobody listens any more
    EXPECT_FALSE(a.errors.waitFor(2, 300ms));

    Accepting destroyed;
    destroyed.server.reset();
    EXPECT_FALSE(destroyed.errors.waitFor(1, 300ms));
    EXPECT_EQ(a.channels.size() + destroyed.channels.size(), 0u);
}

// Each client gets a channel of its own, which takes any key. Handshake reads wait
// without holding a thread: peers that connect and say nothing cost their sockets
// only, even with fewer pool threads than silent peers.
TEST(EncryptedServer, AcceptsEachClientIntoItsOwnChannelWhileSilentPeersWait) {
    Recorder client;
    Accepting a(2);
    std::vector<std::unique_ptr<EncryptedPeer>> silent;
    for (int i = 0; i < 20; ++i) {
        silent.emplace_back(new EncryptedPeer);
        silent.back()->connect(a.server->localPort());
    }
    ASSERT_TRUE(a.recorders.waitFor(20));
    auto channel = a.client(client);
    ASSERT_TRUE(client.connected.waitFor(1));
    ASSERT_TRUE(a.side(20).connected.waitFor(1));
    for (int i = 0; i < 20; ++i) EXPECT_EQ(a.side(i).connected.size(), 0u);
    EXPECT_FALSE(sent(*channel, bytes("from the client")));
    ASSERT_TRUE(a.side(20).messages.waitFor(1));
    EXPECT_EQ(a.side(20).messages.snapshot()[0], bytes("from the client"));
    EXPECT_FALSE(sent(*a.channels.snapshot()[20], bytes("from the server")));
    ASSERT_TRUE(client.messages.waitFor(1));
    EXPECT_EQ(client.messages.snapshot()[0], bytes("from the server"));
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
    Recorder& side = a.side(0);
    ASSERT_TRUE(side.messages.waitFor(4, 20s)) << peer.err();
    EXPECT_EQ(side.messages.snapshot(),
              (std::vector<bytes>{bytes("hello from python"), pattern(450), bytes(std::string(200, 'b')),
                                  bytes(std::string(196, 'c'))}));
    const std::vector<bytes> echoed = {bytes("x"), pattern(201, 3), pattern(5000, 5)};
    for (const bytes& m : echoed) a.channels.snapshot()[0]->send(m, [](const error_code&) {});
    a.channels.snapshot()[0]->send(bytes("bye"), [](const error_code&) {});
    ASSERT_TRUE(side.messages.waitFor(8, 20s)) << peer.err();
    const std::vector<bytes> received = side.messages.snapshot();
    for (size_t i = 0; i < 3; ++i) EXPECT_EQ(received[4 + i], bytes("echo:") + echoed[i]);
    EXPECT_EQ(received[7], bytes("bye too"));
    EXPECT_EQ(peer.wait(10s), 0) << peer.err();
}
