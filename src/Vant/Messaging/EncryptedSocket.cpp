#include "Vant/Messaging/EncryptedSocket.h"

#include "kel/Sodium.h"
#include "Vant/Log.h"

#include <boost/asio/connect.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>

#include <algorithm>
#include <exception>
#include <iostream>
#include <string>

namespace Vant {
namespace Messaging {

const kel::bytes KeepAliveMessage(
    std::string("EncryptedSocket.keepalive EncryptedSocket.keepalive EncryptedSocket.keepalive "
                "EncryptedSocket.keepalive EncryptedSocket.keepalive"));

namespace {

const unsigned KeyLength = 32;
// The reassembly buffer's first size; it doubles from there as a message needs.
const unsigned FirstReceiveBufferLength = 4096;

// Runs a caller's callback; an exception must not escape into the I/O pool.
template <typename F>
void guarded(F&& f) {
    try {
        f();
    } catch (const std::exception& e) {
        logLine(std::string("EncryptedSocket: a callback failed: ") + e.what());
    }
}

boost::system::error_code code(EsocketError e) {
    return make_error_code(e);
}

}  // namespace

EncryptedSocket::Durations::Durations()
    : keepAliveAnswer(boost::posix_time::milliseconds(SendKeepAliveEvery)),
      reconnect(boost::posix_time::milliseconds(ReconnectDelay)),
      handshake(boost::posix_time::milliseconds(InitialTimeOutDuration)) {}

std::shared_ptr<EncryptedSocket> EncryptedSocket::create(boost::asio::io_service& io,
                                                         kel::bytes localPrivateKey,
                                                         kel::bytes localPublicKey, Durations durations) {
    return std::shared_ptr<EncryptedSocket>(
        new EncryptedSocket(io, std::move(localPrivateKey), std::move(localPublicKey), durations));
}

EncryptedSocket::EncryptedSocket(boost::asio::io_service& io, kel::bytes localPrivateKey,
                                 kel::bytes localPublicKey, Durations durations)
    : io(io),
      socket(io),
      localPrivKey(std::move(localPrivateKey)),
      localPubKey(std::move(localPublicKey)),
      sendingStrand(io),
      signalStrand(io),
      timeOutTimer(io),
      keepAliveTimer(io),
      reconnectTimer(io),
      durations(durations) {
    logLine("EncryptedSocket::EncryptedSocket()");
    pushConnected >>
        std::function<void()>([]() { logLine("EncryptedSocket::EncryptedSocket() pushConnected()"); });
    pushDisconnected >> std::function<void(boost::system::error_code)>([](boost::system::error_code reason) {
        logLine("EncryptedSocket::EncryptedSocket() pushDisconnected() : " + reason.message());
    });
    pushMessage >> std::function<void(kel::bytes)>([](kel::bytes) {});
}

EncryptedSocket::~EncryptedSocket() {
    logLine("EncryptedSocket::~EncryptedSocket()");
    // Messages still queued behind a write that can no longer complete here.
    for (Outgoing& message : outgoing) {
        SentCallback onSent = message.onSent;
        io.post([onSent]() { guarded([&]() { onSent(code(EsocketError::NotConnected)); }); });
    }
}

void EncryptedSocket::start(boost::asio::ip::tcp::endpoint endpoint, kel::bytes peerPubKey,
                            bool autoreconnect) {
    this->endpoint = endpoint;
    {
        std::lock_guard<std::mutex> lock(keyMutex);
        this->peerPubKey = peerPubKey;
    }
    this->autoreconnect = autoreconnect;
    connecting = true;
    // Opened here, on the caller's thread, so the socket belongs to the caller's network
    // namespace (a test's), not to that of whichever pool thread connects.
    boost::system::error_code ignoredOpenError;  // the connect reports a socket that cannot open
    if (!_started.load() && !socket.is_open()) socket.open(endpoint.protocol(), ignoredOpenError);
    start();
}

void EncryptedSocket::start() {
    if (_started.exchange(true)) return;  // already running
    std::weak_ptr<EncryptedSocket> weak = weak_from_this();
    sendingStrand.post([weak]() {
        if (auto self = weak.lock()) self->beginSession();
    });
}

bool EncryptedSocket::current(unsigned forSession) const {
    return forSession == session && _started.load();
}

void EncryptedSocket::beginSession() {
    if (!_started.load()) return;  // stopped before this job ran
    const unsigned thisSession = ++session;
    // A message cut short by the end of the previous session must not be completed
    // by the blocks of this one.
    received = 0;

    std::weak_ptr<EncryptedSocket> weak = weak_from_this();
    timeOutTimer.expires_from_now(durations.handshake);
    timeOutTimer.async_wait(sendingStrand.wrap([weak, thisSession](const boost::system::error_code& error) {
        auto self = weak.lock();
        if (error || !self || !self->current(thisSession) || self->connected.load()) return;
        self->stop(code(EsocketError::ConnectionTimedOut));
    }));

    // An accepted socket is already connected: the connect then fails with
    // "already connected", and the handshake begins at once.
    socket.async_connect(endpoint,
                         sendingStrand.wrap([weak, thisSession](const boost::system::error_code& error) {
                             if (auto self = weak.lock()) self->onTcpConnected(thisSession, error);
                         }));
}

void EncryptedSocket::onTcpConnected(unsigned forSession, const boost::system::error_code& error) {
    if (!current(forSession)) return;
    if (error && error != boost::asio::error::already_connected) {
        stop(error);
        return;
    }
    boost::system::error_code ignored;
    socket.set_option(boost::asio::ip::tcp::no_delay(true), ignored);

    writeRaw(localPubKey, [this]() { receiveRaw(KeyLength, [this](kel::bytes key) { onPeerKey(key); }); });
}

void EncryptedSocket::onPeerKey(kel::bytes key) {
    bool expected = true;
    {
        std::lock_guard<std::mutex> lock(keyMutex);
        expected = peerPubKey.length() != KeyLength || peerPubKey == key;
        if (expected) peerPubKey = key;
    }
    if (!expected) {
        stop(code(EsocketError::UnexpectedPublicKey));
        return;
    }
    kel::bytes sharedKey = kel::Sodium::sharedKey(key, localPrivKey);
    kel::bytes tempPrivateKey = kel::bytes(KeyLength).randomize();
    kel::bytes tempPubKey = kel::Sodium::publicKey(tempPrivateKey);
    sendBlockCounter = tempPubKey.readUshort();

    writeRaw(kel::Sodium::encrypt(sharedKey, tempPubKey), [this, sharedKey, tempPrivateKey, tempPubKey]() {
        receiveRaw(kel::Sodium::encryptHeaderLength + KeyLength,
                   [this, sharedKey, tempPrivateKey, tempPubKey](kel::bytes encrypted) {
                       onPeerTemporaryKey(sharedKey, tempPrivateKey, tempPubKey, encrypted);
                   });
    });
}

void EncryptedSocket::onPeerTemporaryKey(kel::bytes sharedKey, kel::bytes tempPrivateKey,
                                         kel::bytes tempPubKey, kel::bytes encrypted) {
    kel::bytes peerTempKey;
    try {
        peerTempKey = kel::Sodium::decrypt(sharedKey, encrypted);
    } catch (const std::exception&) {
        stop(code(EsocketError::DecryptionError));
        return;
    }
    receiveBlockCounter = peerTempKey.readUshort();
    sessionKey = kel::Sodium::sharedKey(peerTempKey, tempPrivateKey);

    writeRaw(kel::Sodium::authenticate(sessionKey, peerTempKey), [this, tempPubKey]() {
        receiveRaw(kel::Sodium::authenticatorLength, [this, tempPubKey](kel::bytes authenticator) {
            onPeerAuthenticator(tempPubKey, authenticator);
        });
    });
}

void EncryptedSocket::onPeerAuthenticator(kel::bytes tempPubKey, kel::bytes authenticator) {
    if (!kel::Sodium::verifyAuthentication(sessionKey, tempPubKey, authenticator)) {
        stop(code(EsocketError::AuthenticationError));
        return;
    }
    boost::system::error_code ignored;
    timeOutTimer.cancel(ignored);
    connected.store(true);
    deliver([](EncryptedSocket& self) { self.pushConnected(); });
    if (watchesSilence()) {
        armSilenceTimeOut();
        if (connecting) sendKeepAlive();
    }
    listenForMessages();
}

void EncryptedSocket::armSilenceTimeOut() {
    std::weak_ptr<EncryptedSocket> weak = weak_from_this();
    const unsigned thisSession = session;
    timeOutTimer.expires_from_now(durations.silence);
    timeOutTimer.async_wait(sendingStrand.wrap([weak, thisSession](const boost::system::error_code& error) {
        auto self = weak.lock();
        if (error || !self || !self->current(thisSession)) return;
        // Expired, but a block re-armed it before this handler ran.
        if (self->timeOutTimer.expires_at() > boost::asio::deadline_timer::traits_type::now()) return;
        self->stop(code(EsocketError::ConnectionTimedOut));
    }));
}

void EncryptedSocket::stop(const boost::system::error_code& reason) {
    logLine("EncryptedSocket::stop() reason : " + reason.message());
    if (!_started.exchange(false)) return;
    if (connected.exchange(false)) {
        deliver([reason](EncryptedSocket& self) { self.pushDisconnected(reason); });
    } else {
        deliver([reason](EncryptedSocket& self) { self.pushHandshakeFailed(reason); });
    }
    std::weak_ptr<EncryptedSocket> weak = weak_from_this();
    sendingStrand.dispatch([weak]() {
        if (auto self = weak.lock()) self->closeSession();
    });
}

void EncryptedSocket::closeSession() {
    boost::system::error_code ignored;
    socket.shutdown(boost::asio::ip::tcp::socket::shutdown_both, ignored);
    socket.close(ignored);
    timeOutTimer.cancel(ignored);
    keepAliveTimer.cancel(ignored);
    if (!autoreconnect) return;

    std::weak_ptr<EncryptedSocket> weak = weak_from_this();
    reconnectTimer.expires_from_now(durations.reconnect);
    reconnectTimer.async_wait(sendingStrand.wrap([weak](const boost::system::error_code& error) {
        auto self = weak.lock();
        if (error || !self || self->_started.load()) return;  // cancelled, gone, or started again meanwhile
        logLine("EncryptedSocket::stop() reconnecting\u2026");
        self->start();
    }));
}

void EncryptedSocket::send(kel::bytes message, SentCallback onSent) {
    if (!connected.load()) {
        guarded([&]() { onSent(code(EsocketError::NotConnected)); });
        return;
    }
    if (message.length() > longestMessage) {
        // The peer could not reassemble it and would end the channel.
        guarded([&]() { onSent(code(EsocketError::BufferOverflow)); });
        return;
    }
    std::weak_ptr<EncryptedSocket> weak = weak_from_this();
    sendingStrand.post([weak, message, onSent]() {
        auto self = weak.lock();
        if (!self) {
            guarded([&]() { onSent(code(EsocketError::NotConnected)); });
            return;
        }
        self->outgoing.push_back(Outgoing{message, onSent});
        if (!self->writing) self->writeNext();
    });
}

void EncryptedSocket::writeNext() {
    while (!outgoing.empty()) {
        Outgoing next = outgoing.front();
        outgoing.pop_front();
        if (!connected.load()) {
            guarded([&]() { next.onSent(code(EsocketError::NotConnected)); });
            continue;
        }
        if (next.message.length() == 0) {
            guarded([&]() { next.onSent(code(EsocketError::Success)); });
            continue;
        }
        kel::bytes blocks = encodeBlocks(next.message);
        writing = true;
        std::weak_ptr<EncryptedSocket> weak = weak_from_this();
        const unsigned thisSession = session;
        SentCallback onSent = next.onSent;
        boost::asio::async_write(socket, boost::asio::buffer(blocks.begin(), blocks.length()),
                                 sendingStrand.wrap([weak, thisSession, blocks, onSent](
                                                        const boost::system::error_code& error, size_t) {
                                     auto self = weak.lock();
                                     guarded([&]() { onSent(error ? error : code(EsocketError::Success)); });
                                     if (!self) return;
                                     self->writing = false;
                                     if (error && self->current(thisSession)) self->stop(error);
                                     self->writeNext();
                                 }));
        return;
    }
}

kel::bytes EncryptedSocket::encodeBlocks(const kel::bytes& message) {
    const unsigned count = (message.length() + BlockDataLength - 1) / BlockDataLength;
    kel::bytes blocks(count * BlockLength);
    kel::bytes plain(PlainBlockLength);
    kel::bytes left = message;
    for (unsigned i = 0; i < count; ++i) {
        plain.writeUshort(sendBlockCounter++);
        const int padding = int(BlockDataLength) - int(left.length());
        kel::byte state = padding < 0 ? 0 : padding > 3 ? 255 : kel::byte(padding + 1);
        plain[2] = state;
        if (padding > 0) {
            plain.subBytes(3, padding).nullify();
            if (state == 255) plain.subBytes(3).writeUint(unsigned(padding));
        }
        const unsigned dataLength = padding < 0 ? BlockDataLength : left.length();
        plain.write(3 + (padding > 0 ? padding : 0), left.subBytes(0, dataLength));
        left = left.subBytes(dataLength);
        blocks.write(i * BlockLength, kel::Sodium::encrypt(sessionKey, plain));
    }
    return blocks;
}

void EncryptedSocket::listenForMessages() {
    receiveRaw(BlockLength, [this](kel::bytes block) { onBlock(block); });
}

void EncryptedSocket::onBlock(kel::bytes block) {
    kel::bytes plain;
    try {
        plain = kel::Sodium::decrypt(sessionKey, block);
    } catch (const std::exception&) {
        stop(code(EsocketError::DecryptionError));
        return;
    }
    if (watchesSilence()) armSilenceTimeOut();
    if (plain.readUshort() != receiveBlockCounter++) {
        stop(code(EsocketError::BlockCounterMismatch));
        return;
    }
    const kel::byte state = plain[2];
    unsigned padding = state == 0 ? 0 : state <= 4 ? state - 1u : plain.subBytes(3).readUint();
    // A padding that states its own length holds at least those 4 bytes; less would
    // hand the length field out as data.
    if (padding > BlockDataLength || (state > 4 && padding < 4)) {
        stop(code(EsocketError::IncorrectPaddingLength));
        return;
    }
    kel::bytes data = plain.subBytes(3 + padding);
    if (data.length() > longestMessage - received) {
        stop(code(EsocketError::BufferOverflow));
        return;
    }
    if (received + data.length() > receiveBuffer.length()) {
        unsigned length = std::max(FirstReceiveBufferLength, 2 * receiveBuffer.length());
        length = std::max(received + data.length(), std::min(length, longestMessage));
        kel::bytes larger(length);
        if (received > 0) larger.write(0, receiveBuffer.subBytes(0, received));
        receiveBuffer = larger;
    }
    receiveBuffer.write(int(received), data);
    received += data.length();

    if (state != 0) {
        kel::bytes message = receiveBuffer.subBytes(0, received);
        received = 0;
        if (message == KeepAliveMessage) {
            sendKeepAlive();
        } else if (receiveBuffer.length() > ReceiveBufferLength) {
            // A buffer this long is not kept for the next message: the message takes it.
            receiveBuffer = kel::bytes();
            deliver([message](EncryptedSocket& self) { self.pushMessage(message); });
        } else {
            kel::bytes copy = message.clone();
            deliver([copy](EncryptedSocket& self) { self.pushMessage(copy); });
        }
    }
    listenForMessages();
}

void EncryptedSocket::sendKeepAlive() {
    std::weak_ptr<EncryptedSocket> weak = weak_from_this();
    keepAliveTimer.expires_from_now(durations.keepAliveAnswer);
    keepAliveTimer.async_wait(sendingStrand.wrap([weak](const boost::system::error_code& error) {
        auto self = weak.lock();
        if (error || !self) return;
        self->send(KeepAliveMessage, [](const boost::system::error_code&) {});
    }));
}

kel::bytes EncryptedSocket::peerPublicKey() const {
    std::lock_guard<std::mutex> lock(keyMutex);
    return peerPubKey;
}

boost::asio::ip::address EncryptedSocket::peerAddress() const {
    return connecting ? endpoint.address() : acceptedFrom;
}

void EncryptedSocket::receiveRaw(unsigned length, std::function<void(kel::bytes)> cb) {
    kel::bytes buffer(length);
    boost::asio::async_read(socket, boost::asio::buffer(buffer.begin(), buffer.length()),
                            sendingStrand.wrap(sessionStep([buffer, cb]() { cb(buffer); })));
}

void EncryptedSocket::writeRaw(kel::bytes data, std::function<void()> next) {
    boost::asio::async_write(socket, boost::asio::buffer(data.begin(), data.length()),
                             sendingStrand.wrap(sessionStep([data, next]() { next(); })));
}

std::function<void(const boost::system::error_code&, size_t)> EncryptedSocket::sessionStep(
    std::function<void()> next) {
    std::weak_ptr<EncryptedSocket> weak = weak_from_this();
    const unsigned thisSession = session;
    // `next` holds the operation's buffer until the completion has run.
    return [weak, thisSession, next](const boost::system::error_code& error, size_t) {
        auto self = weak.lock();
        if (!self || !self->current(thisSession)) return;
        if (error) {
            self->stop(error);
            return;
        }
        next();
    };
}

void EncryptedSocket::deliver(std::function<void(EncryptedSocket&)> event) {
    std::weak_ptr<EncryptedSocket> weak = weak_from_this();
    signalStrand.post([weak, event]() {
        if (auto self = weak.lock()) guarded([&]() { event(*self); });
    });
}

}  // namespace Messaging
}  // namespace Vant
