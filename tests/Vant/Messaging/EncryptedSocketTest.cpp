#include "Vant/Messaging/EncryptedSocket.h"

#include <gtest/gtest.h>
#include <poll.h>

#include <cstdlib>

#include "Vant/Messaging/EncryptedConnection.h"
#include "Vant/Messaging/EncryptedServer.h"
#include "Vant/Messaging/EncryptedTestPeer.h"
#include "Vant/Variables.h"
#include "support/ChildProcess.h"

using namespace encryptedtest;
using namespace std::chrono_literals;
using boost::system::error_code;
using Vant::Messaging::EncryptedConnection;
using Vant::Messaging::EncryptedServer;
using Vant::Messaging::EncryptedSocket;
using Vant::Messaging::EsocketError;
using Vant::Messaging::KeepAliveMessage;
using Vant::Messaging::SimpleTimings;

namespace {

// A client channel expecting the peer's key (reconnecting: any key the first time).
struct Channel {
    explicit Channel(bool reconnect = false, KeyPair peerKeys = KeyPair(), long handshakeMs = 0)
        : peer(peerKeys) {
        EncryptedSocket::Durations durations;
        durations.reconnect = durations.keepAliveAnswer = boost::posix_time::milliseconds(100);
        if (handshakeMs > 0) durations.handshake = boost::posix_time::milliseconds(handshakeMs);
        channel = EncryptedSocket::create(pool.io, keys.priv, keys.pub, durations);
        recorder.attach(*channel);
        channel->start(listener.endpoint(), reconnect ? bytes() : peer.keys.pub, reconnect);
    }
    void connect() {
        peer.accept(listener);
        peer.handshake();
        ASSERT_TRUE(recorder.connected.waitFor(1));
    }
    Recorder recorder;  // before the pool: its threads deliver to it
    IoPool pool;
    KeyPair keys;
    RawListener listener;
    EncryptedPeer peer;
    std::shared_ptr<EncryptedSocket> channel;
};

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
    Recorder& side(std::size_t n) {
        if (!recorders.waitFor(n + 1, std::chrono::seconds(20))) throw std::runtime_error("not accepted");
        return *recorders.snapshot()[n];
    }

    Collector<error_code> errors;  // before the pool: its threads report to them
    Collector<std::shared_ptr<Recorder>> recorders;
    IoPool pool;
    KeyPair keys;
    Collector<std::shared_ptr<EncryptedSocket>> channels;
    std::unique_ptr<EncryptedServer> server;
};

struct End {
    void start(Vant::Messaging::Connection& connection) {
        connection.start(connected.adder(), messages.adder(), ended.adder());
    }
    Collector<error_code> connected, ended;
    Collector<bytes> messages;
};

// Ends used with it are declared before it: its threads may call them until it ends.
struct Pair {
    explicit Pair(SimpleTimings timings = SimpleTimings())
        : timings(timings),
          server(pool.io, serverKeys.priv, serverKeys.pub, 0, EncryptedConnection::durations(timings)) {
        server.acceptConnection([this](error_code, std::shared_ptr<EncryptedSocket> channel) {
            if (channel) accepted.add(EncryptedConnection::accepted(channel));
        });
    }
    std::shared_ptr<EncryptedConnection> connect(End& end, const bytes& expectedKey) {
        auto connection = EncryptedConnection::create(
            pool.io, clientKeys.priv, clientKeys.pub,
            boost::asio::ip::tcp::endpoint(boost::asio::ip::address_v4::loopback(), server.localPort()),
            expectedKey, timings);
        end.start(*connection);
        return connection;
    }
    std::shared_ptr<EncryptedConnection> acceptedSide(std::size_t n, End& end) {
        if (!accepted.waitFor(n + 1)) return nullptr;
        auto connection = accepted.snapshot()[n];
        end.start(*connection);
        return connection;
    }

    IoPool pool;
    KeyPair serverKeys, clientKeys;
    const SimpleTimings timings;
    EncryptedServer server;
    Collector<std::shared_ptr<EncryptedConnection>> accepted;
};

}  // namespace

TEST(EncryptedSocket, CarriesMessagesUpToTheLongestInBlocksThatFollowTheirLength) {
    Channel c;
    c.connect();
    EXPECT_EQ(c.peer.peerPub, c.keys.pub);
    // Block states: 0 when more follow, 1-4 for 0-3 padding bytes, else 255 and a length.
    EXPECT_EQ(sent(*c.channel, bytes()), code(EsocketError::Success));
    const std::vector<std::pair<unsigned, std::vector<int>>> cases = {
        {1, {255}}, {196, {255}}, {197, {4}}, {200, {1}}, {201, {0, 255}}, {401, {0, 0, 255}}};
    for (const auto& k : cases) {
        const bytes message = pattern(k.first, k.first);
        ASSERT_EQ(sent(*c.channel, message), code(EsocketError::Success));
        std::vector<int> states;
        EXPECT_EQ(c.peer.readMessage(&states), message) << k.first;
        EXPECT_EQ(states, k.second) << k.first;
    }
    const bytes longest = pattern(100000);
    c.peer.writeMessage(longest);
    ASSERT_TRUE(c.recorder.messages.waitFor(1));
    EXPECT_EQ(c.recorder.messages.snapshot()[0], longest);
    // Too long: refused when sent, and ends the channel when received.
    EXPECT_EQ(sent(*c.channel, pattern(100001)), code(EsocketError::BufferOverflow));
    EXPECT_TRUE(c.channel->started());
    for (const bytes& plain : c.peer.blocksOf(pattern(100001))) c.peer.writePlain(plain);
    ASSERT_TRUE(c.recorder.disconnected.waitFor(1));
    EXPECT_EQ(c.recorder.disconnected.snapshot()[0], code(EsocketError::BufferOverflow));
    EXPECT_EQ(c.recorder.messages.size(), 1u);
    EXPECT_TRUE(c.peer.waitClosed());
    c.channel->stop(code(EsocketError::DecryptionError));  // a second stop changes nothing
    EXPECT_FALSE(c.channel->started());
    EXPECT_EQ(sent(*c.channel, bytes("too late")), code(EsocketError::NotConnected));
    EXPECT_FALSE(c.recorder.disconnected.waitFor(2, 200ms));
}

TEST(EncryptedSocket, BlockNumbersWrapAroundInBothDirections) {
    Channel c;
    c.connect();
    const unsigned messages = 132;  // 132 * 500 blocks > 65536
    for (unsigned i = 0; i < messages; ++i) c.channel->send(pattern(100000, i), [](const error_code&) {});
    for (unsigned i = 0; i < messages; ++i) {
        ASSERT_EQ(c.peer.readMessage(), pattern(100000, i)) << i;  // checks every block number
    }
    for (unsigned i = 0; i < messages; ++i) c.peer.writeMessage(pattern(100000, i));
    ASSERT_TRUE(c.recorder.messages.waitFor(messages, 20s));
    EXPECT_EQ(c.recorder.messages.snapshot().back(), pattern(100000, messages - 1));
    EXPECT_EQ(c.recorder.disconnected.size(), 0u);
}

TEST(EncryptedSocket, DamagedBlockStreamEndsChannelWithItsCode) {
    // After a good message, one block numbered `skip` past the expected one, or altered, or twice.
    struct Case {
        unsigned short skip;
        kel::byte state;
        unsigned padding;
        bool altered, replayed;
        EsocketError expected;
    };
    const std::vector<Case> cases = {
        {0, 0, 0, false, true, EsocketError::BlockCounterMismatch},
        {1, 1, 0, false, false, EsocketError::BlockCounterMismatch},
        {0, 1, 0, true, false, EsocketError::DecryptionError},
        {0, 255, 201, false, false, EsocketError::IncorrectPaddingLength},  // beyond the block
        {0, 255, 2, false, false, EsocketError::IncorrectPaddingLength},    // shorter than its length field
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(&k - cases.data());
        Channel c;
        c.connect();
        c.peer.writeMessage(bytes("first"));
        bytes block = c.peer.sealed(EncryptedPeer::plainBlock(c.peer.sendCounter + k.skip, k.state, k.padding,
                                                              k.padding == 0 ? pattern(200) : bytes()));
        if (k.altered) block[100] ^= 0x01;
        c.peer.write(k.replayed ? block + block : block);
        ASSERT_TRUE(c.recorder.disconnected.waitFor(1));
        EXPECT_EQ(c.recorder.disconnected.snapshot()[0], code(k.expected));
        EXPECT_EQ(c.recorder.messages.snapshot(), std::vector<bytes>{bytes("first")});
        EXPECT_TRUE(c.peer.waitClosed());
    }
}

TEST(EncryptedSocket, HandshakeOfSilentPeerTimesOut) {
    Channel c(false, KeyPair(), 200);
    EXPECT_EQ(sent(*c.channel, bytes("too early")), code(EsocketError::NotConnected));
    c.peer.accept(c.listener);
    EXPECT_EQ(c.peer.read(32), c.keys.pub);  // the channel's key, then this peer says nothing
    EXPECT_TRUE(c.peer.waitClosed());
    EXPECT_FALSE(c.channel->started());
    EXPECT_EQ(c.recorder.connected.size(), 0u);
}

// Reconnecting, the key learned first is required; a message cut short by the lost
// connection is not completed by the next session's blocks.
TEST(EncryptedSocket, ReconnectsWithLearnedKeyAndFreshReassembly) {
    KeyPair printer;
    Channel c(true, printer);  // any key the first time
    c.connect();
    c.peer.writePlain(EncryptedPeer::plainBlock(c.peer.sendCounter++, 0, 0, pattern(200)));
    c.peer.close();
    ASSERT_TRUE(c.recorder.disconnected.waitFor(1));
    {
        EncryptedPeer impostor;
        impostor.accept(c.listener);
        EXPECT_THROW(impostor.handshake(), std::runtime_error);
    }
    EncryptedPeer again(printer);
    again.accept(c.listener);
    again.handshake();
    ASSERT_TRUE(c.recorder.connected.waitFor(2));
    again.writeMessage(bytes("fresh"));
    ASSERT_TRUE(c.recorder.messages.waitFor(1));
    EXPECT_EQ(c.recorder.messages.snapshot(), std::vector<bytes>{bytes("fresh")});
    c.channel.reset();  // the last owner lets go while connected
    EXPECT_TRUE(again.waitClosed());
    EXPECT_EQ(c.recorder.connected.size(), 2u);
    EXPECT_EQ(c.recorder.disconnected.size(), 1u);
}

TEST(EncryptedSocket, ReleasedChannelLeavesPendingTimersHarmless) {
    Channel c(true);
    c.connect();
    c.peer.writeMessage(KeepAliveMessage);  // arms the answer timer
    c.peer.writeMessage(bytes("seen"));
    ASSERT_TRUE(c.recorder.messages.waitFor(1));
    c.peer.close();
    ASSERT_TRUE(c.recorder.disconnected.waitFor(1));  // the reconnection timer is armed now
    c.channel.reset();  // neither timer may touch it, and no reconnection follows
    pollfd pending{c.listener.fd, POLLIN, 0};
    EXPECT_EQ(::poll(&pending, 1, 400), 0);
}

// Each client gets a channel of its own, which takes any key; silent peers, more than
// the pool's threads, block nobody. Once stopped, the server reports one error.
TEST(EncryptedServer, AcceptsEachClientIntoItsOwnChannelWhileSilentPeersWaitUntilStopped) {
    Recorder client;
    Accepting a(2);
    std::vector<EncryptedPeer> silent(20);
    for (EncryptedPeer& peer : silent) peer.connect(a.server->localPort());
    ASSERT_TRUE(a.recorders.waitFor(20));
    KeyPair own;
    auto channel = EncryptedSocket::create(a.pool.io, own.priv, own.pub);
    client.attach(*channel);
    channel->start({boost::asio::ip::address_v4::loopback(), a.server->localPort()}, a.keys.pub, false);
    ASSERT_TRUE(client.connected.waitFor(1));
    ASSERT_TRUE(a.side(20).connected.waitFor(1));
    for (int i = 0; i < 20; ++i) EXPECT_EQ(a.side(i).connected.size(), 0u);
    EXPECT_FALSE(sent(*channel, bytes("from the client")));
    ASSERT_TRUE(a.side(20).messages.waitFor(1));
    EXPECT_EQ(a.side(20).messages.snapshot()[0], bytes("from the client"));
    EXPECT_FALSE(sent(*a.channels.snapshot()[20], bytes("from the server")));
    ASSERT_TRUE(client.messages.waitFor(1));
    EXPECT_EQ(client.messages.snapshot()[0], bytes("from the server"));

    a.server->stop();
    ASSERT_TRUE(a.errors.waitFor(1));
    EXPECT_TRUE(a.errors.snapshot()[0]);
    EncryptedPeer late;
    EXPECT_THROW(late.connect(a.server->localPort()), std::runtime_error);  // nobody listens any more
    EXPECT_FALSE(a.errors.waitFor(2, 300ms));
    EXPECT_EQ(a.channels.size(), 21u);
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
    ASSERT_TRUE(side.connected.waitFor(1, 20s) && a.channels.waitFor(1)) << peer.err();
    for (const bytes& m : {bytes("x"), pattern(201, 3), pattern(5000, 5), bytes("bye")})
        a.channels.snapshot()[0]->send(m, [](const error_code&) {});
    ASSERT_TRUE(side.messages.waitFor(8, 20s)) << peer.err();
    const bytes echo("echo:");
    EXPECT_EQ(side.messages.snapshot(),
              (std::vector<bytes>{bytes("hello from python"), pattern(450), bytes(std::string(200, 'b')),
                                  bytes(std::string(196, 'c')), echo + bytes("x"), echo + pattern(201, 3),
                                  echo + pattern(5000, 5), bytes("bye too")}));
    EXPECT_EQ(peer.wait(10s), 0) << peer.err();
    a.server.reset();  // a destroyed server reports nothing
    EXPECT_FALSE(a.errors.waitFor(1, 300ms));
}

// The longest framed messages, both ways, in order; one report of the end on each side.
TEST(EncryptedConnection, CarriesWhatAFramedConnectionCarriesAndReportsItsEndOnce) {
    End client, server;
    Pair pair;
    auto connecting = pair.connect(client, pair.serverKeys.pub);
    auto accepted = pair.acceptedSide(0, server);
    ASSERT_NE(accepted, nullptr);
    for (End* end : {&client, &server})
        ASSERT_TRUE(end->connected.waitFor(1) && !end->connected.snapshot()[0]);

    const bytes longest = pattern(Vant::TcpMaxMessageLength, 1);
    EXPECT_FALSE(sent(*connecting, bytes("first")));
    EXPECT_FALSE(sent(*connecting, longest));
    EXPECT_EQ(sent(*connecting, pattern(Vant::TcpMaxMessageLength + 1)), code(EsocketError::BufferOverflow));
    ASSERT_TRUE(server.messages.waitFor(2, 20s));
    EXPECT_EQ(server.messages.snapshot(), (std::vector<bytes>{bytes("first"), longest}));
    EXPECT_FALSE(sent(*accepted, pattern(150000, 2)));
    ASSERT_TRUE(client.messages.waitFor(1, 20s));
    EXPECT_EQ(client.messages.snapshot()[0], pattern(150000, 2));

    // The closing side hears of it before forceClose returns; each side hears once.
    const error_code reason = code(EsocketError::ConnectionTimedOut);
    connecting->forceClose(reason);
    EXPECT_EQ(client.ended.snapshot(), std::vector<error_code>{reason});
    EXPECT_TRUE(connecting->isClosing());
    connecting->forceClose();
    ASSERT_TRUE(server.ended.waitFor(1));
    EXPECT_FALSE(client.ended.waitFor(2, 300ms));
    EXPECT_FALSE(server.ended.waitFor(2, 1ms));
    EXPECT_EQ(sent(*connecting, bytes("late")), code(EsocketError::NotConnected));
}

TEST(EncryptedConnection, RefusesAPeerThatDoesNotProveTheExpectedKey) {
    End client;
    Pair pair;
    auto connecting = pair.connect(client, KeyPair().pub);
    ASSERT_TRUE(client.connected.waitFor(1));
    EXPECT_EQ(client.connected.snapshot()[0], code(EsocketError::UnexpectedPublicKey));
    EXPECT_TRUE(connecting->isClosing());
    EXPECT_FALSE(client.ended.waitFor(1, 300ms));
}

// Keep-alives keep a quiet pair up through many time-outs; a silent peer is dropped.
TEST(EncryptedConnection, KeepsAQuietLivePeerAndDropsASilentOne) {
    End client, server, quiet;
    Pair pair({1000ms, 100ms});
    auto connecting = pair.connect(client, pair.serverKeys.pub);
    ASSERT_TRUE(client.connected.waitFor(1));
    ASSERT_NE(pair.acceptedSide(0, server), nullptr);
    EXPECT_FALSE(server.ended.waitFor(1, 3500ms));
    EXPECT_EQ(server.messages.size() + client.messages.size(), 0u);  // keep-alives are never delivered

    EncryptedPeer silent;  // handshakes, then answers nothing
    silent.connect(pair.server.localPort());
    silent.handshake();
    ASSERT_NE(pair.acceptedSide(1, quiet), nullptr);
    ASSERT_TRUE(quiet.ended.waitFor(1, 10s));
    EXPECT_EQ(quiet.ended.snapshot()[0], code(EsocketError::ConnectionTimedOut));
    EXPECT_TRUE(silent.waitClosed());
    EXPECT_TRUE(server.ended.size() == 0 && client.ended.size() == 0);
}
