// Vant::Messaging::EncryptedConnection: a Connection carried by an encrypted channel
// (EncryptedSocket), so that the sessions and the client's proxies use it exactly as
// they use a framed connection. It owns the channel and turns the channel's signals
// (delivered one at a time on its signal strand, a pool thread) into the
// Connection's callbacks; every operation may be called from any thread.
//
// Actors and order:
// clang-format off
//   connecting end: start() -> channel handshake -> onConnected(success), or (key not
//                   the expected one, time-out, ...) onConnected(error) and nothing more
//   accepting end:  accepted() begins the handshake; start() sets the callbacks, and
//                   onConnected runs once both have happened
//   channel message -> onMessage (not after a close began)
//   forceClose (any thread) -> onDisconnected(reason) on the caller's thread -> channel stop
//   channel ends by itself -> onDisconnected(its reason), once
// clang-format on
#pragma once

#include <atomic>
#include <memory>
#include <mutex>

#include <boost/asio/io_service.hpp>
#include <boost/asio/ip/tcp.hpp>

#include "Vant/Messaging/Connection.h"
#include "Vant/Messaging/EncryptedSocket.h"
#include "Vant/Messaging/SimpleSocket.h"
#include "kel/bytes.h"

namespace Vant {
namespace Messaging {

class EncryptedConnection : public Connection, public std::enable_shared_from_this<EncryptedConnection> {
    // Only the two makers construct it, so that it always has a shared owner.
    class Key {
        Key() = default;
        friend class EncryptedConnection;
    };

public:
    // The channel's durations for a connection with these timings: keep-alives answered
    // after keepAliveAfter, a peer silent for timeOut closed, a handshake bounded by it.
    static EncryptedSocket::Durations durations(const SimpleTimings& timings);

    // Connecting end: reaches `endpoint` when started and accepts only a peer that
    // proves `peerKey`.
    static std::shared_ptr<EncryptedConnection> create(boost::asio::io_service& io,
                                                       kel::bytes localPrivateKey, kel::bytes localPublicKey,
                                                       boost::asio::ip::tcp::endpoint endpoint,
                                                       kel::bytes peerKey,
                                                       SimpleTimings timings = SimpleTimings());
    // Accepting end: wraps a channel an EncryptedServer handed out, not started yet, and
    // begins its handshake. Whoever watches the channel's own signals subscribes before.
    static std::shared_ptr<EncryptedConnection> accepted(std::shared_ptr<EncryptedSocket> channel);

    EncryptedConnection(Key, std::shared_ptr<EncryptedSocket> channel,
                        boost::asio::ip::tcp::endpoint endpoint, kel::bytes peerKey, bool connecting);
    EncryptedConnection(const EncryptedConnection&) = delete;
    EncryptedConnection& operator=(const EncryptedConnection&) = delete;
    ~EncryptedConnection() override;

    void start(ErrorCallback onConnected, MessageCallback onMessage, ErrorCallback onDisconnected) override;
    void updateCallbacks(MessageCallback onMessage, ErrorCallback onDisconnected) override;
    void send(kel::bytes message, ErrorCallback onSent = ErrorCallback()) override;
    void forceClose() override;
    void forceClose(boost::system::error_code reason) override;
    boost::asio::ip::address getAddress() const override;
    bool isClosing() const override { return closing.load(); }

private:
    void subscribe();
    void channelConnected();
    void channelFailed(boost::system::error_code reason);
    void channelMessage(kel::bytes message);
    void channelDisconnected(boost::system::error_code reason);

    const std::shared_ptr<EncryptedSocket> channel;
    const boost::asio::ip::tcp::endpoint endpoint;  // where a connecting end goes
    const kel::bytes peerKey;                       // the key a connecting end expects
    const bool connecting;

    // Guards the callbacks and handshakeDone: the channel's signals (its signal
    // strand), start, updateCallbacks and forceClose (any thread) contend. Never held
    // while a callback runs.
    std::mutex callbacksMutex;
    ErrorCallback onConnected;
    MessageCallback onMessage;
    ErrorCallback onDisconnected;
    bool handshakeDone = false;

    // Set by the first close (forceClose, the channel's end or a failed handshake).
    std::atomic<bool> closing{false};
};

}  // namespace Messaging
}  // namespace Vant
