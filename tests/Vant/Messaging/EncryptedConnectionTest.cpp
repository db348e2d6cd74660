#include "Vant/Messaging/EncryptedConnection.h"

#include <gtest/gtest.h>

#include "Vant/Messaging/EncryptedServer.h"
#include "Vant/Messaging/EncryptedTestPeer.h"
#include "Vant/Variables.h"

using namespace encryptedtest;
using namespace std::chrono_literals;
using boost::system::error_code;
using Vant::Messaging::EncryptedConnection;
using Vant::Messaging::EncryptedServer;
using Vant::Messaging::EncryptedSocket;
using Vant::Messaging::EsocketError;
using Vant::Messaging::SimpleTimings;

namespace {

// One end of a connection as its owner sees it through the Connection callbacks.
struct End {
    void start(Vant::Messaging::Connection& connection) {
        connection.start(connected.adder(), messages.adder(), ended.adder());
    }
    Collector<error_code> connected, ended;
    Collector<bytes> messages;
};

// A server whose accepted channels become connections, and a connecting end.
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
    // The accepted side of the n-th connection, started with `end`'s callbacks.
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

// The sessions above a connection rely on this: messages as long as a framed
// connection carries, both ways and in order, and one report of the end on each side.
TEST(EncryptedConnection, CarriesWhatAFramedConnectionCarriesAndReportsItsEndOnce) {
    End client, server;
    Pair pair;
    auto connecting = pair.connect(client, pair.serverKeys.pub);
    ASSERT_TRUE(client.connected.waitFor(1));
    EXPECT_FALSE(client.connected.snapshot()[0]);
    auto accepted = pair.acceptedSide(0, server);
    ASSERT_NE(accepted, nullptr);
    ASSERT_TRUE(server.connected.waitFor(1));
    EXPECT_FALSE(server.connected.snapshot()[0]);

    const bytes longest = pattern(Vant::TcpMaxMessageLength, 1);
    EXPECT_FALSE(sent(*connecting, bytes("first")));
    EXPECT_FALSE(sent(*connecting, longest));
    EXPECT_EQ(sent(*connecting, pattern(Vant::TcpMaxMessageLength + 1)), code(EsocketError::BufferOverflow));
    ASSERT_TRUE(server.messages.waitFor(2, 20s));
    EXPECT_EQ(server.messages.snapshot(), (std::vector<bytes>{bytes("first"), longest}));
    EXPECT_FALSE(sent(*accepted, pattern(150000, 2)));
    ASSERT_TRUE(client.messages.waitFor(1, 20s));
    EXPECT_EQ(client.messages.snapshot()[0], pattern(150000, 2));

    // The closing side hears of its close before forceClose returns, once; the other
    // side hears of the end once.
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

// Keep-alives keep a quiet pair up through many time-outs; a peer that stops
// answering is dropped after one.
TEST(EncryptedConnection, KeepsAQuietLivePeerAndDropsASilentOne) {
    SimpleTimings timings;
    timings.timeOut = 1000ms;
    timings.keepAliveAfter = 100ms;
    End client, server, quiet;
    Pair pair(timings);
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
