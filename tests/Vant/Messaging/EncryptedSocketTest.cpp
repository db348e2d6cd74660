#include "Vant/Messaging/EncryptedSocket.h"

#include "Vant/Messaging/EncryptedTestPeer.h"

#include <gtest/gtest.h>
#include <poll.h>

using namespace encryptedtest;
using boost::system::error_code;
using kel::bytes;
using Vant::Messaging::EncryptedSocket;
using Vant::Messaging::EsocketError;
using Vant::Messaging::KeepAliveMessage;

namespace {

error_code code(EsocketError e) {
    return Vant::Messaging::make_error_code(e);
}

// A client channel connected to a RawPeer that accepted it on a loopback listener.
struct Connection {
    explicit Connection(EncryptedSocket::Durations durations = EncryptedSocket::Durations(),
                        bool expectKey = true) {
        channel = EncryptedSocket::create(pool.io, keys.priv, keys.pub, durations);
        recorder.attach(*channel);
        channel->start(listener.endpoint(), expectKey ? peer.keys.pub : bytes(), false);
        peer.accept(listener);
        peer.handshake();
    }
    IoPool pool;
    KeyPair keys;
    RawListener listener;
    RawPeer peer;
    Recorder recorder;
    std::shared_ptr<EncryptedSocket> channel;
};

// Sends and waits for onSent; returns the code it reported.
error_code sendAndWait(EncryptedSocket& channel, const bytes& message) {
    std::mutex mutex;
    std::condition_variable done;
    bool sent = false;
    error_code result;
    channel.send(message, [&](const error_code& e) {
        std::lock_guard<std::mutex> lock(mutex);
        result = e;
        sent = true;
        done.notify_all();
    });
    std::unique_lock<std::mutex> lock(mutex);
    if (!done.wait_for(lock, std::chrono::seconds(10), [&]() { return sent; })) {
        ADD_FAILURE() << "onSent was not called";
    }
    return result;
}

}  // namespace

TEST(EncryptedSocket, HandshakeAuthenticatesBothLongTermKeys) {
    Connection c;
    ASSERT_TRUE(c.recorder.waitConnected());
    EXPECT_EQ(c.peer.peerPub, c.keys.pub);
    EXPECT_TRUE(c.channel->started());
    // The first block carries the first two bytes of the sender's temporary key.
    ASSERT_EQ(sendAndWait(*c.channel, bytes("x")), code(EsocketError::Success));
    bytes first = c.peer.readBlock();
    EXPECT_EQ(first.readUshort(), c.peer.receiveCounter);
    c.peer.writeMessage(bytes("hello"));
    ASSERT_TRUE(c.recorder.waitMessages(1));
    EXPECT_EQ(c.recorder.received()[0], bytes("hello"));
}

TEST(EncryptedSocket, UnexpectedPublicKeyEndsHandshakeWithoutSignals) {
    IoPool pool;
    KeyPair keys, expected;
    RawListener listener;
    RawPeer impostor;  // its own fresh key, not `expected`
    Recorder recorder;
    auto channel = EncryptedSocket::create(pool.io, keys.priv, keys.pub);
    recorder.attach(*channel);
    channel->start(listener.endpoint(), expected.pub, false);
    impostor.accept(listener);
    EXPECT_THROW(impostor.handshake(), std::runtime_error);  // the channel closes after H1
    EXPECT_TRUE(eventually([&]() { return !channel->started(); }));
    EXPECT_FALSE(recorder.waitConnected(1, std::chrono::milliseconds(200)));
    EXPECT_TRUE(recorder.disconnections().empty());
}

TEST(EncryptedSocket, SendReportsNotConnectedBeforeHandshakeAndAfterStop) {
    IoPool pool;
    KeyPair keys;
    RawListener listener;
    auto channel = EncryptedSocket::create(pool.io, keys.priv, keys.pub);
    error_code early;
    channel->send(bytes("too early"), [&](const error_code& e) { early = e; });
    EXPECT_EQ(early, code(EsocketError::NotConnected));  // synchronously

    Connection c;
    ASSERT_TRUE(c.recorder.waitConnected());
    c.channel->stop(code(EsocketError::Success));
    error_code late;
    c.channel->send(bytes("too late"), [&](const error_code& e) { late = e; });
    EXPECT_EQ(late, code(EsocketError::NotConnected));
}

TEST(EncryptedSocket, BlockLayoutFollowsMessageLength) {
    Connection c;
    ASSERT_TRUE(c.recorder.waitConnected());
    // An empty message sends nothing and succeeds: the next block read is the 1-byte message's.
    EXPECT_EQ(sendAndWait(*c.channel, bytes()), code(EsocketError::Success));

    struct Case {
        unsigned length;
        std::vector<int> states;
        bytes lastPaddingHead;  // first bytes of the last block's padding
    };
    const std::vector<Case> cases = {
        {1, {255}, bytes::fromHex("000000c7")},      {196, {255}, bytes::fromHex("00000004")},
        {197, {4}, bytes::fromHex("000000")},        {200, {1}, bytes()},
        {201, {0, 255}, bytes::fromHex("000000c7")}, {100000, std::vector<int>(500, 0), bytes()},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.length);
        std::vector<int> expectedStates = k.states;
        if (k.length == 100000) expectedStates.back() = 1;
        bytes message = pattern(k.length, k.length);
        ASSERT_EQ(sendAndWait(*c.channel, message), code(EsocketError::Success));
        std::vector<bytes> pieces;
        unsigned receivedLength = 0;
        for (size_t i = 0; i < expectedStates.size(); ++i) {
            bytes plain = c.peer.readBlock();
            ASSERT_EQ(plain.length(), 203u);
            EXPECT_EQ(plain.readUshort(), c.peer.receiveCounter++);
            ASSERT_EQ(plain[2], expectedStates[i]);
            if (i + 1 == expectedStates.size()) {
                unsigned padding = 200 - (k.length - receivedLength);
                EXPECT_EQ(plain.subBytes(3, k.lastPaddingHead.length()), k.lastPaddingHead);
                EXPECT_EQ(
                    plain.subBytes(3 + k.lastPaddingHead.length(), padding - k.lastPaddingHead.length()),
                    bytes(padding - k.lastPaddingHead.length(), 0));
                pieces.push_back(plain.subBytes(3 + padding));
            } else {
                pieces.push_back(plain.subBytes(3));
                receivedLength += 200;
            }
        }
        EXPECT_EQ(RawPeer::joined(pieces), message);
    }
}

TEST(EncryptedSocket, LongestMessageArrivesAndOneByteMoreOverflows) {
    Connection c;
    ASSERT_TRUE(c.recorder.waitConnected());
    bytes longest = pattern(100000);
    c.peer.writeMessage(longest);
    ASSERT_TRUE(c.recorder.waitMessages(1));
    EXPECT_EQ(c.recorder.received()[0], longest);

    // This end refuses to send what its peer could not reassemble, and stays up.
    EXPECT_EQ(sendAndWait(*c.channel, pattern(100001)), code(EsocketError::BufferOverflow));
    EXPECT_TRUE(c.channel->started());

    // A peer that sends one byte more ends the channel at the overflowing block.
    for (const bytes& plain : c.peer.blocksOf(pattern(100001))) c.peer.writePlain(plain);
    ASSERT_TRUE(c.recorder.waitDisconnected());
    EXPECT_EQ(c.recorder.disconnections()[0], code(EsocketError::BufferOverflow));
    EXPECT_EQ(c.recorder.received().size(), 1u);
}

TEST(EncryptedSocket, BlockNumbersWrapAroundInBothDirections) {
    Connection c;
    ASSERT_TRUE(c.recorder.waitConnected());
    const unsigned messages = 132;  // 132 * 500 blocks > 65536
    for (unsigned i = 0; i < messages; ++i) c.channel->send(pattern(100000, i), [](const error_code&) {});
    const unsigned short firstReceived = c.peer.receiveCounter;
    for (unsigned i = 0; i < messages; ++i) {
        ASSERT_EQ(c.peer.readMessage(), pattern(100000, i)) << i;  // readMessage checks every number
    }
    EXPECT_EQ(c.peer.receiveCounter, (unsigned short)(firstReceived + messages * 500));

    for (unsigned i = 0; i < messages; ++i) c.peer.writeMessage(pattern(100000, i));
    ASSERT_TRUE(c.recorder.waitMessages(messages));
    EXPECT_EQ(c.recorder.received().back(), pattern(100000, messages - 1));
    EXPECT_TRUE(c.recorder.disconnections().empty());
}

TEST(EncryptedSocket, DamagedBlockStreamEndsChannelWithItsCode) {
    struct Case {
        const char* name;
        std::function<void(RawPeer&)> send;
        EsocketError expected;
    };
    const std::vector<Case> cases = {
        {"replayed",
         [](RawPeer& p) {
             bytes block = p.sealed(RawPeer::plainBlock(p.sendCounter++, 0, 0, pattern(200)));
             p.write(block + block);
         },
         EsocketError::BlockCounterMismatch},
        {"dropped",
         [](RawPeer& p) {
             p.sendCounter++;  // the block with this number never goes out
             p.writeMessage(bytes("after a gap"));
         },
         EsocketError::BlockCounterMismatch},
        {"altered",
         [](RawPeer& p) {
             bytes block = p.sealed(RawPeer::plainBlock(p.sendCounter++, 1, 0, pattern(200)));
             block[100] ^= 0x01;
             p.write(block);
         },
         EsocketError::DecryptionError},
        {"padding beyond the block",
         [](RawPeer& p) { p.writePlain(RawPeer::plainBlock(p.sendCounter++, 255, 201, bytes())); },
         EsocketError::IncorrectPaddingLength},
        {"padding shorter than its length field",
         [](RawPeer& p) { p.writePlain(RawPeer::plainBlock(p.sendCounter++, 255, 2, bytes())); },
         EsocketError::IncorrectPaddingLength},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        Connection c;
        ASSERT_TRUE(c.recorder.waitConnected());
        c.peer.writeMessage(bytes("first"));
        k.send(c.peer);
        ASSERT_TRUE(c.recorder.waitDisconnected());
        EXPECT_EQ(c.recorder.disconnections()[0], code(k.expected));
        EXPECT_EQ(c.recorder.received(), std::vector<bytes>{bytes("first")});
        EXPECT_TRUE(c.peer.waitClosed());
    }
}

TEST(EncryptedSocket, KeepAliveIsAnsweredAfterItsDelayAndNeverDelivered) {
    EncryptedSocket::Durations durations;
    durations.keepAliveAnswer = boost::posix_time::milliseconds(300);
    Connection c(durations);
    ASSERT_TRUE(c.recorder.waitConnected());
    EXPECT_EQ(KeepAliveMessage.length(), 129u);
    auto sent = std::chrono::steady_clock::now();
    c.peer.writeMessage(KeepAliveMessage);
    EXPECT_EQ(c.peer.readMessage(), KeepAliveMessage);
    EXPECT_GE(std::chrono::steady_clock::now() - sent, std::chrono::milliseconds(300));

    c.peer.writeMessage(bytes("after"));
    ASSERT_TRUE(c.recorder.waitMessages(1));
    EXPECT_EQ(c.recorder.received(), std::vector<bytes>{bytes("after")});
}

TEST(EncryptedSocket, StopTwiceClosesAndDisconnectsOnce) {
    Connection c;
    ASSERT_TRUE(c.recorder.waitConnected());
    c.channel->stop(code(EsocketError::ConnectionTimedOut));
    c.channel->stop(code(EsocketError::DecryptionError));
    EXPECT_FALSE(c.channel->started());
    EXPECT_TRUE(c.peer.waitClosed());
    ASSERT_TRUE(c.recorder.waitDisconnected());
    EXPECT_FALSE(c.recorder.waitDisconnected(2, std::chrono::milliseconds(200)));
    EXPECT_EQ(c.recorder.disconnections(), std::vector<error_code>{code(EsocketError::ConnectionTimedOut)});
}

TEST(EncryptedSocket, HandshakeOfSilentPeerTimesOut) {
    IoPool pool;
    KeyPair keys;
    RawListener listener;
    RawPeer silent;
    Recorder recorder;
    EncryptedSocket::Durations durations;
    durations.handshake = boost::posix_time::milliseconds(200);
    auto channel = EncryptedSocket::create(pool.io, keys.priv, keys.pub, durations);
    recorder.attach(*channel);
    channel->start(listener.endpoint(), bytes(), false);
    silent.accept(listener);
    EXPECT_EQ(silent.read(32), keys.pub);  // H1, then this peer says nothing
    EXPECT_TRUE(silent.waitClosed());
    EXPECT_FALSE(channel->started());
    EXPECT_EQ(recorder.connectedCount(), 0);
}

// Reconnection keeps the key learned in the first session, and a message cut short
// by a lost connection is not completed by the next session's blocks.
TEST(EncryptedSocket, ReconnectsWithLearnedKeyAndFreshReassembly) {
    IoPool pool;
    KeyPair keys, printer, other;
    RawListener listener;
    Recorder recorder;
    EncryptedSocket::Durations durations;
    durations.reconnect = boost::posix_time::milliseconds(100);
    auto channel = EncryptedSocket::create(pool.io, keys.priv, keys.pub, durations);
    recorder.attach(*channel);
    channel->start(listener.endpoint(), bytes(), true);  // any key the first time
    {
        RawPeer first(printer);
        first.accept(listener);
        first.handshake();
        ASSERT_TRUE(recorder.waitConnected(1));
        first.writePlain(RawPeer::plainBlock(first.sendCounter++, 0, 0, pattern(200)));  // a message begins
    }  // and the connection drops
    ASSERT_TRUE(recorder.waitDisconnected(1));
    {
        RawPeer impostor(other);
        impostor.accept(listener);
        EXPECT_THROW(impostor.handshake(), std::runtime_error);
    }
    {
        RawPeer again(printer);
        again.accept(listener);
        again.handshake();
        ASSERT_TRUE(recorder.waitConnected(2));
        again.writeMessage(bytes("fresh"));
        ASSERT_TRUE(recorder.waitMessages(1));
        EXPECT_EQ(recorder.received(), std::vector<bytes>{bytes("fresh")});
        channel.reset();  // the last owner lets go while connected
        EXPECT_TRUE(again.waitClosed());
    }
    EXPECT_EQ(recorder.connectedCount(), 2);
    EXPECT_EQ(recorder.disconnections().size(), 1u);
}

TEST(EncryptedSocket, ReleasedChannelLeavesPendingTimersHarmless) {
    IoPool pool;
    KeyPair keys;
    RawListener listener;
    Recorder recorder;
    EncryptedSocket::Durations durations;
    durations.reconnect = boost::posix_time::milliseconds(100);
    durations.keepAliveAnswer = boost::posix_time::milliseconds(100);
    auto channel = EncryptedSocket::create(pool.io, keys.priv, keys.pub, durations);
    recorder.attach(*channel);
    channel->start(listener.endpoint(), bytes(), true);
    {
        RawPeer peer;
        peer.accept(listener);
        peer.handshake();
        ASSERT_TRUE(recorder.waitConnected());
        peer.writeMessage(KeepAliveMessage);  // arms the answer timer
        peer.writeMessage(bytes("seen"));
        ASSERT_TRUE(recorder.waitMessages(1));
    }
    ASSERT_TRUE(recorder.waitDisconnected());  // the reconnection timer is armed now
    channel.reset();
    // Neither timer may touch the released channel, and no reconnection follows.
    pollfd pending{listener.fd, POLLIN, 0};
    EXPECT_EQ(::poll(&pending, 1, 400), 0);
}
