#include "Vant/Messaging/EncryptedSocket.h"

#include "Vant/Messaging/EncryptedTestPeer.h"

#include <gtest/gtest.h>
#include <poll.h>

using namespace encryptedtest;
using namespace std::chrono_literals;
using boost::system::error_code;
using Vant::Messaging::EncryptedSocket;
using Vant::Messaging::EsocketError;
using Vant::Messaging::KeepAliveMessage;

namespace {

// A client channel started towards a loopback listener, and the peer that accepts it.
// The channel expects the peer's key, or (reconnecting) takes any key the first time.
struct Channel {
    explicit Channel(EncryptedSocket::Durations durations = EncryptedSocket::Durations(),
                     bool reconnect = false, KeyPair peerKeys = KeyPair())
        : peer(peerKeys) {
        channel = EncryptedSocket::create(pool.io, keys.priv, keys.pub, durations);
        recorder.attach(*channel);
        channel->start(listener.endpoint(), reconnect ? bytes() : peer.keys.pub, reconnect);
    }
    // Accepts the channel's connection and runs the handshake to its end.
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

}  // namespace

TEST(EncryptedSocket, CarriesMessagesUpToTheLongestInBlocksThatFollowTheirLength) {
    Channel c;
    c.connect();
    EXPECT_EQ(c.peer.peerPub, c.keys.pub);
    // An empty message sends nothing and succeeds. The block layout follows the length:
    // state 0 for a full block that more follow, 1-4 for 0-3 padding bytes, 255 with a
    // length field for more; the peer's reading checks numbers and padding length.
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
    // This end refuses to send what its peer could not reassemble, and stays up; a peer
    // that sends one byte more ends the channel at the overflowing block.
    EXPECT_EQ(sent(*c.channel, pattern(100001)), code(EsocketError::BufferOverflow));
    EXPECT_TRUE(c.channel->started());
    for (const bytes& plain : c.peer.blocksOf(pattern(100001))) c.peer.writePlain(plain);
    ASSERT_TRUE(c.recorder.disconnected.waitFor(1));
    EXPECT_EQ(c.recorder.disconnected.snapshot()[0], code(EsocketError::BufferOverflow));
    EXPECT_EQ(c.recorder.messages.size(), 1u);
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
    // After a good message, one block: numbered `skip` past the expected number, with
    // its state and padding, altered after sealing or sent twice.
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

TEST(EncryptedSocket, StopTwiceClosesAndDisconnectsOnceThenRefusesToSend) {
    Channel c;
    c.connect();
    c.channel->stop(code(EsocketError::ConnectionTimedOut));
    c.channel->stop(code(EsocketError::DecryptionError));
    EXPECT_FALSE(c.channel->started());
    EXPECT_TRUE(c.peer.waitClosed());
    EXPECT_EQ(sent(*c.channel, bytes("too late")), code(EsocketError::NotConnected));
    ASSERT_TRUE(c.recorder.disconnected.waitFor(1));
    EXPECT_FALSE(c.recorder.disconnected.waitFor(2, 200ms));
    EXPECT_EQ(c.recorder.disconnected.snapshot()[0], code(EsocketError::ConnectionTimedOut));
}

TEST(EncryptedSocket, HandshakeOfSilentPeerTimesOut) {
    EncryptedSocket::Durations durations;
    durations.handshake = boost::posix_time::milliseconds(200);
    Channel c(durations);
    EXPECT_EQ(sent(*c.channel, bytes("too early")), code(EsocketError::NotConnected));
    c.peer.accept(c.listener);
    EXPECT_EQ(c.peer.read(32), c.keys.pub);  // the channel's key, then this peer says nothing
    EXPECT_TRUE(c.peer.waitClosed());
    EXPECT_FALSE(c.channel->started());
    EXPECT_EQ(c.recorder.connected.size(), 0u);
}

// Reconnection keeps the key learned in the first session: a peer with another key
// is refused without a signal. A message cut short by a lost connection is not
// completed by the next session's blocks.
TEST(EncryptedSocket, ReconnectsWithLearnedKeyAndFreshReassembly) {
    EncryptedSocket::Durations durations;
    durations.reconnect = boost::posix_time::milliseconds(100);
    KeyPair printer;
    Channel c(durations, true, printer);  // any key the first time
    c.connect();
    // A message begins, and the connection drops.
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
    EncryptedSocket::Durations durations;
    durations.reconnect = boost::posix_time::milliseconds(100);
    durations.keepAliveAnswer = boost::posix_time::milliseconds(100);
    Channel c(durations, true);
    c.connect();
    c.peer.writeMessage(KeepAliveMessage);  // arms the answer timer
    c.peer.writeMessage(bytes("seen"));
    ASSERT_TRUE(c.recorder.messages.waitFor(1));
    c.peer.close();
    ASSERT_TRUE(c.recorder.disconnected.waitFor(1));  // the reconnection timer is armed now
    c.channel.reset();
    // Neither timer may touch the released channel, and no reconnection follows.
    pollfd pending{c.listener.fd, POLLIN, 0};
    EXPECT_EQ(::poll(&pending, 1, 400), 0);
}
