// EncryptedSocket: one TCP connection that authenticates both ends by their
// long-term Curve25519 keys, agrees a fresh session key with temporary keys, and
// carries messages as numbered 243-byte encrypted blocks. Every use of the socket,
// the timers, the counters and the reassembly buffer runs on `sendingStrand`; the
// three signals are delivered one at a time, in order, on `signalStrand`. The
// public operations may be called from any thread.
//
// Actors and order (each arrow is an asynchronous step on `sendingStrand`):
// clang-format off
//   start() -> connect -> write H1, read H1 -> write H2, read H2 -> write H3, read H3
//           -> connected: pushConnected, then the read chain
//   timeOutTimer: handshake still running after `handshake` -> stop(Connection timed out)
//           (with a `silence` time-out, then: no block for `silence` -> stop(Connection timed out))
//   read chain: block -> decrypt -> number -> padding -> reassemble
//           -> pushMessage, or (keep-alive) keepAliveTimer -> `keepAliveAnswer` -> send(KeepAliveMessage)
//   send(): outgoing queue -> all blocks of one message in one write -> onSent -> next message
//   stop(): close socket, cancel timers -> pushDisconnected (if connected), else pushHandshakeFailed
//           -> (autoreconnect) reconnectTimer -> `reconnect` -> start()
//   With a `silence` time-out the connecting end sends the first keep-alive once
//   connected; each end answers the other's, so a live pair exchanges one every
//   `keepAliveAnswer` and a silent peer is noticed within `silence`.
// clang-format on
#pragma once

#include "Vant/Messaging/EncryptedErrorCode.h"
#include "kel/bytes.h"
#include "kel/signal.h"

#include <boost/asio/deadline_timer.hpp>
#include <boost/asio/io_service.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/strand.hpp>
#include <boost/date_time/posix_time/posix_time_types.hpp>

#include <atomic>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>

namespace Vant {
namespace Messaging {

// The 129-byte keep-alive message: answered, never delivered.
extern const kel::bytes KeepAliveMessage;
constexpr unsigned SendKeepAliveEvery = 1000;  // ms before a keep-alive is answered

class EncryptedServer;

class EncryptedSocket : public std::enable_shared_from_this<EncryptedSocket> {
public:
    typedef std::function<void(const boost::system::error_code&)> SentCallback;

    static constexpr unsigned ReconnectDelay = 2000;           // ms from a stop to the next start
    static constexpr unsigned InitialTimeOutDuration = 30000;  // ms a handshake may take

    static constexpr unsigned BlockDataLength = 200;
    static constexpr unsigned PlainBlockLength = 3 + BlockDataLength;  // number (2), state (1), data
    static constexpr unsigned BlockLength = 40 + PlainBlockLength;     // as sent: nonce, MAC, ciphertext
    static constexpr unsigned ReceiveBufferLength = 100000;            // longest message

    // The system's durations; tests shorten them.
    struct Durations {
        Durations();                                       // the system's values
        boost::posix_time::time_duration keepAliveAnswer;  // keep-alive received -> answer sent
        boost::posix_time::time_duration reconnect;        // stop -> next start (autoreconnect)
        boost::posix_time::time_duration handshake;        // start -> handshake must be done
        // Longest time without a received block once connected; zero (the default):
        // none, and no keep-alive is sent unasked.
        boost::posix_time::time_duration silence;
    };

    static std::shared_ptr<EncryptedSocket> create(boost::asio::io_service& io, kel::bytes localPrivateKey,
                                                   kel::bytes localPublicKey,
                                                   Durations durations = Durations());
    virtual ~EncryptedSocket();

    EncryptedSocket(const EncryptedSocket&) = delete;
    EncryptedSocket& operator=(const EncryptedSocket&) = delete;

    // Client side: opens the socket (on the caller's thread) and connects to `endpoint`;
    // an empty `peerPubKey` accepts any peer. On an idle channel.
    void start(boost::asio::ip::tcp::endpoint endpoint, kel::bytes peerPubKey, bool autoreconnect);
    // Runs connection and handshake; an accepted socket goes straight to the handshake.
    void start();
    bool started() const { return _started.load(); }
    void stop(const boost::system::error_code& reason);
    // `onSent` is called exactly once: success, "Not connected", "Buffer overflow"
    // (longer than the peer can reassemble) or the write's error.
    void send(kel::bytes message, SentCallback onSent);
    // The longest message either end may send (ReceiveBufferLength unless set; both
    // ends must agree). The reassembly buffer grows to it only as a message needs.
    // Before start().
    void setLongestMessage(unsigned length) { longestMessage = length; }

    // The long-term key the peer proved in the handshake (any thread; complete from
    // pushConnected on), or the expected one before.
    kel::bytes peerPublicKey() const;
    // The peer's address: where an accepted connection came from, or the endpoint a
    // connecting channel was given.
    boost::asio::ip::address peerAddress() const;

    // Subscribe before start(); delivered on `signalStrand`.
    kel::signal::pusher<kel::bytes> pushMessage;
    kel::signal::pusher<> pushConnected;
    kel::signal::pusher<boost::system::error_code> pushDisconnected;
    // A start that ended before its handshake completed, with the reason (a failed
    // connect, a refused or broken handshake, its time-out, a stop meanwhile).
    kel::signal::pusher<boost::system::error_code> pushHandshakeFailed;

private:
    friend class EncryptedServer;

    struct Outgoing {
        kel::bytes message;
        SentCallback onSent;
    };

    EncryptedSocket(boost::asio::io_service& io, kel::bytes localPrivateKey, kel::bytes localPublicKey,
                    Durations durations);

    void beginSession();
    void onTcpConnected(unsigned forSession, const boost::system::error_code& error);
    void onPeerKey(kel::bytes key);
    void onPeerTemporaryKey(kel::bytes sharedKey, kel::bytes tempPrivateKey, kel::bytes tempPubKey,
                            kel::bytes encrypted);
    void onPeerAuthenticator(kel::bytes tempPubKey, kel::bytes authenticator);
    void closeSession();
    void armSilenceTimeOut();
    bool watchesSilence() const { return !durations.silence.is_special() && durations.silence.ticks() > 0; }
    void sendKeepAlive();
    void listenForMessages();
    void onBlock(kel::bytes block);
    void writeNext();
    kel::bytes encodeBlocks(const kel::bytes& message);
    void receiveRaw(unsigned length, std::function<void(kel::bytes)> cb);
    void writeRaw(kel::bytes data, std::function<void()> next);
    // Completion of a read or write of the current session: does nothing once that
    // session has ended, stops the channel on an error, otherwise runs `next`.
    std::function<void(const boost::system::error_code&, size_t)> sessionStep(std::function<void()> next);
    bool current(unsigned forSession) const;
    void deliver(std::function<void(EncryptedSocket&)> event);

    boost::asio::io_service& io;
    boost::asio::ip::tcp::socket socket;
    // True from start() until stop(); exchanged so that one of several racing stops
    // closes the channel. Set by callers of start/stop and by the reconnection timer.
    std::atomic<bool> _started{false};
    // True from the end of a handshake until stop(); read by send() on any thread,
    // exchanged so that pushDisconnected fires once.
    std::atomic<bool> connected{false};
    boost::asio::ip::tcp::endpoint endpoint;
    boost::asio::ip::address acceptedFrom;  // set by the server before the channel is handed out
    bool autoreconnect = false;
    bool connecting = false;  // started with an endpoint: this end sends the first keep-alive
    kel::bytes localPrivKey, localPubKey;
    // Guards peerPubKey: written by the handshake on the strand, read by
    // peerPublicKey() on any thread.
    mutable std::mutex keyMutex;
    kel::bytes peerPubKey;
    kel::bytes sessionKey;
    // Serialises whole outgoing messages, and with them every other use of the
    // socket, timers, counters and buffers below, so none is touched by two threads.
    boost::asio::io_service::strand sendingStrand;
    // Delivers the signals one at a time and in the order they happened.
    boost::asio::io_service::strand signalStrand;
    unsigned short sendBlockCounter = 0, receiveBlockCounter = 0;
    unsigned longestMessage = ReceiveBufferLength;
    kel::bytes receiveBuffer;  // made at the first block, grown up to longestMessage as needed
    unsigned received = 0;     // bytes of the message being reassembled
    boost::asio::deadline_timer timeOutTimer, keepAliveTimer, reconnectTimer;
    Durations durations;
    unsigned session = 0;           // numbers the sessions, so a late completion of an ended one does nothing
    std::deque<Outgoing> outgoing;  // messages waiting for the write in progress
    bool writing = false;           // a message's blocks are being written
};

}  // namespace Messaging
}  // namespace Vant
