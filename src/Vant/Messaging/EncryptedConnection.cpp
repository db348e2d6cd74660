#include "Vant/Messaging/EncryptedConnection.h"

#include <exception>
#include <utility>

#include "Vant/Log.h"
#include "Vant/Variables.h"

namespace Vant {
namespace Messaging {

namespace {

boost::posix_time::time_duration posixDuration(std::chrono::milliseconds duration) {
    return boost::posix_time::milliseconds(duration.count());
}

}  // namespace

EncryptedSocket::Durations EncryptedConnection::durations(const SimpleTimings& timings) {
    EncryptedSocket::Durations durations;
    durations.keepAliveAnswer = posixDuration(timings.keepAliveAfter);
    durations.silence = posixDuration(timings.timeOut);
    durations.handshake = posixDuration(timings.timeOut);
    return durations;
}

std::shared_ptr<EncryptedConnection> EncryptedConnection::create(boost::asio::io_service& io,
                                                                 kel::bytes localPrivateKey,
                                                                 kel::bytes localPublicKey,
                                                                 boost::asio::ip::tcp::endpoint endpoint,
                                                                 kel::bytes peerKey, SimpleTimings timings) {
    auto channel = EncryptedSocket::create(io, std::move(localPrivateKey), std::move(localPublicKey),
                                           durations(timings));
    channel->setLongestMessage(TcpMaxMessageLength);
    auto connection =
        std::make_shared<EncryptedConnection>(Key(), channel, endpoint, std::move(peerKey), true);
    connection->subscribe();
    return connection;
}

std::shared_ptr<EncryptedConnection> EncryptedConnection::accepted(std::shared_ptr<EncryptedSocket> channel) {
    channel->setLongestMessage(TcpMaxMessageLength);
    auto connection = std::make_shared<EncryptedConnection>(Key(), channel, boost::asio::ip::tcp::endpoint(),
                                                            kel::bytes(), false);
    connection->subscribe();
    channel->start();
    return connection;
}

EncryptedConnection::EncryptedConnection(Key, std::shared_ptr<EncryptedSocket> channel,
                                         boost::asio::ip::tcp::endpoint endpoint, kel::bytes peerKey,
                                         bool connecting)
    : channel(std::move(channel)), endpoint(endpoint), peerKey(std::move(peerKey)), connecting(connecting) {}

EncryptedConnection::~EncryptedConnection() {
    // Other owners of the channel (none but its acceptor) must not keep it open.
    if (channel->started()) channel->stop(boost::asio::error::operation_aborted);
}

void EncryptedConnection::subscribe() {
    // The channel's handlers reach this connection only while it exists.
    std::weak_ptr<EncryptedConnection> weak = shared_from_this();
    channel->pushConnected >> std::function<void()>([weak]() {
        if (auto self = weak.lock()) self->channelConnected();
    });
    channel->pushHandshakeFailed >>
        std::function<void(boost::system::error_code)>([weak](boost::system::error_code reason) {
            if (auto self = weak.lock()) self->channelFailed(reason);
        });
    channel->pushMessage >> std::function<void(kel::bytes)>([weak](kel::bytes message) {
        if (auto self = weak.lock()) self->channelMessage(std::move(message));
    });
    channel->pushDisconnected >>
        std::function<void(boost::system::error_code)>([weak](boost::system::error_code reason) {
            if (auto self = weak.lock()) self->channelDisconnected(reason);
        });
}

void EncryptedConnection::start(ErrorCallback onConnected, MessageCallback onMessage,
                                ErrorCallback onDisconnected) {
    bool connectedAlready = false;
    {
        std::lock_guard<std::mutex> lock(callbacksMutex);
        if (!closing) {
            this->onMessage = std::move(onMessage);
            this->onDisconnected = std::move(onDisconnected);
        }
        connectedAlready = handshakeDone;
        if (!connectedAlready) this->onConnected = onConnected;
    }
    if (connectedAlready) {
        if (onConnected)
            onConnected(closing ? boost::asio::error::operation_aborted
                                : make_error_code(EsocketError::Success));
        return;
    }
    if (connecting) channel->start(endpoint, peerKey, false);
}

void EncryptedConnection::channelConnected() {
    ErrorCallback connected;
    {
        std::lock_guard<std::mutex> lock(callbacksMutex);
        handshakeDone = true;
        connected.swap(onConnected);
    }
    // A close that raced with the handshake wins: the caller already heard of it.
    if (connected)
        connected(closing ? boost::asio::error::operation_aborted : make_error_code(EsocketError::Success));
}

void EncryptedConnection::channelFailed(boost::system::error_code reason) {
    ErrorCallback connected;
    {
        std::lock_guard<std::mutex> lock(callbacksMutex);
        connected.swap(onConnected);
        onMessage = nullptr;
        onDisconnected = nullptr;
        closing = true;
    }
    if (connected) connected(reason);
}

void EncryptedConnection::channelMessage(kel::bytes message) {
    MessageCallback handler;
    {
        std::lock_guard<std::mutex> lock(callbacksMutex);
        if (closing) return;
        handler = onMessage;
    }
    handOn(handler, std::move(message), "EncryptedConnection::channelMessage()",
           boost::asio::error::operation_aborted);
}

void EncryptedConnection::channelDisconnected(boost::system::error_code reason) {
    ErrorCallback disconnected;
    {
        std::lock_guard<std::mutex> lock(callbacksMutex);
        if (closing.exchange(true)) return;  // closed from this side: already reported
        disconnected.swap(onDisconnected);
        onMessage = nullptr;
    }
    if (disconnected) disconnected(reason);
}

void EncryptedConnection::updateCallbacks(MessageCallback onMessage, ErrorCallback onDisconnected) {
    std::lock_guard<std::mutex> lock(callbacksMutex);
    if (closing) return;
    this->onMessage = std::move(onMessage);
    this->onDisconnected = std::move(onDisconnected);
}

void EncryptedConnection::send(kel::bytes message, ErrorCallback onSent) {
    channel->send(std::move(message), [onSent](const boost::system::error_code& result) {
        if (onSent) onSent(result);
    });
}

void EncryptedConnection::forceClose() {
    forceClose(boost::asio::error::operation_aborted);
}

void EncryptedConnection::forceClose(boost::system::error_code reason) {
    ErrorCallback disconnected;
    {
        std::lock_guard<std::mutex> lock(callbacksMutex);
        if (closing.exchange(true)) return;
        disconnected.swap(onDisconnected);
        onMessage = nullptr;
        onConnected = nullptr;
    }
    try {
        if (disconnected) disconnected(reason);
    } catch (...) {
        channel->stop(reason);
        throw;
    }
    channel->stop(reason);
}

boost::asio::ip::address EncryptedConnection::getAddress() const {
    return channel->peerAddress();
}

}  // namespace Messaging
}  // namespace Vant
