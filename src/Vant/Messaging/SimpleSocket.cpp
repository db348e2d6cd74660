#include "Vant/Messaging/SimpleSocket.h"

#include <iostream>
#include <sstream>
#include <utility>

#include <boost/asio/bind_executor.hpp>
#include <boost/asio/connect.hpp>
#include <boost/asio/dispatch.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>

#include "Vant/Log.h"
#include "Vant/Messaging/SimpleContainer.h"
#include "Vant/Variables.h"

namespace Vant {
namespace Messaging {

namespace {

// A timer's wait that ended without error may still have been overtaken: it expired,
// and the socket re-armed it before the handler ran on the strand.
bool rearmedSince(const boost::asio::steady_timer& timer) {
    return timer.expiry() > boost::asio::steady_timer::clock_type::now();
}

}  // namespace

std::shared_ptr<SimpleSocket> SimpleSocket::create(boost::asio::io_service& io, Timings timings) {
    return std::make_shared<SimpleSocket>(Key(), io, boost::asio::ip::tcp::endpoint(), false, timings);
}

std::shared_ptr<SimpleSocket> SimpleSocket::create(boost::asio::io_service& io, SimpleContainer* container,
                                                   boost::asio::ip::tcp::endpoint endpoint, Timings timings) {
    auto socket = std::make_shared<SimpleSocket>(Key(), io, endpoint, true, timings);
    boost::system::error_code ignoredOpenError;  // async_connect reports a socket that cannot open
    socket->socket.open(endpoint.protocol(), ignoredOpenError);
    if (container != nullptr) container->addSocket(socket);
    return socket;
}

SimpleSocket::SimpleSocket(Key, boost::asio::io_service& io, boost::asio::ip::tcp::endpoint endpoint,
                           bool client, Timings timings)
    : io(io),
      strand(io),
      socket(io),
      endpoint(endpoint),
      client(client),
      timings(timings),
      timeOutTimer(io),
      keepAliveTimer(io) {}

SimpleSocket::~SimpleSocket() {
    unregisterFromContainer();
}

void SimpleSocket::start(ErrorCallback onConnected, MessageCallback onMessage, ErrorCallback onDisconnected) {
    {
        std::lock_guard<std::mutex> lock(callbacksMutex);
        if (!closing) {
            this->onMessage = std::move(onMessage);
            this->onDisconnected = std::move(onDisconnected);
        }
    }
    auto self = shared_from_this();
    boost::asio::dispatch(strand, [self, onConnected]() { self->begin(onConnected); });
}

void SimpleSocket::begin(ErrorCallback onConnected) {
    if (closing) {
        // Closed before it started: nothing to connect or read.
        if (onConnected) onConnected(boost::asio::error::operation_aborted);
        return;
    }
    boost::system::error_code ignoredOptionError;  // no-delay is an optimisation only
    socket.set_option(boost::asio::ip::tcp::no_delay(true), ignoredOptionError);
    auto self = shared_from_this();
    if (!client) {
        connected(boost::system::error_code(), onConnected);
        return;
    }
    // The time-out also bounds the connect: an unreachable peer fails after it
    // instead of after the system's much longer connect time-out.
    std::weak_ptr<SimpleSocket> weak = self;
    timeOutTimer.expires_after(timings.timeOut);
    timeOutTimer.async_wait(boost::asio::bind_executor(strand, [weak](boost::system::error_code error) {
        auto self = weak.lock();
        if (error || !self || rearmedSince(self->timeOutTimer)) return;
        self->connectTimedOut = true;
        boost::system::error_code ignoredCancelError;  // the connect completes with an error either way
        self->socket.cancel(ignoredCancelError);
    }));
    socket.async_connect(
        endpoint, boost::asio::bind_executor(strand, [self, onConnected](boost::system::error_code error) {
            self->connected(error, onConnected);
        }));
}

void SimpleSocket::connected(boost::system::error_code error, ErrorCallback onConnected) {
    if (client) {
        timeOutTimer.cancel();  // the connect's own time-out
        if (connectTimedOut) error = makeSimpleError(TimedOut);
        // A close that raced with the connect wins: the caller already heard of it.
        if (!error && closing) error = boost::asio::error::operation_aborted;
    }
    if (!error) {
        boost::system::error_code endpointError;
        const auto remote = socket.remote_endpoint(endpointError);
        if (!endpointError) setPeerAddress(remote.address());
    }
    if (error) {
        // A connect that failed leaves the socket inert: no disconnection is reported.
        {
            std::lock_guard<std::mutex> lock(callbacksMutex);
            onMessage = nullptr;
            onDisconnected = nullptr;
            closing = true;
        }
        releaseSocket();
        if (onConnected) onConnected(error);
        return;
    }
    if (onConnected) onConnected(makeSimpleError(SimpleSuccess));
    if (closing) return;
    readMessages();
    if (client) sendKeepAlive();
    armTimeOut();
}

void SimpleSocket::readMessages() {
    const SimpleFrameReader::Space space = reader.nextBuffer();
    auto self = shared_from_this();
    boost::asio::async_read(
        socket, boost::asio::buffer(space.data, space.size),
        boost::asio::bind_executor(
            strand, [self](boost::system::error_code error, std::size_t n) { self->onRead(error, n); }));
}

void SimpleSocket::onRead(boost::system::error_code error, std::size_t n) {
    if (error) {
        forceClose(error);
        return;
    }
    switch (reader.consumed(n)) {
        case SimpleFrameReader::Event::None:
            break;
        case SimpleFrameReader::Event::Header:
            armTimeOut();
            break;
        case SimpleFrameReader::Event::KeepAlive:
            armTimeOut();
            sendKeepAlive();
            break;
        case SimpleFrameReader::Event::TooLong:
            forceClose(makeSimpleError(LengthReceivedInvalid));
            return;
        case SimpleFrameReader::Event::Message:
            deliver(reader.takeMessage());
            break;
    }
    if (!closing) readMessages();
}

void SimpleSocket::deliver(kel::bytes message) {
    MessageCallback handler;
    {
        std::lock_guard<std::mutex> lock(callbacksMutex);
        if (closing) return;
        handler = onMessage;
    }
    handOn(handler, std::move(message), "SimpleSocket::readMessages()", makeSimpleError(UnknownReason));
}

void SimpleSocket::armTimeOut() {
    std::weak_ptr<SimpleSocket> weak = shared_from_this();
    timeOutTimer.expires_after(timings.timeOut);
    timeOutTimer.async_wait(boost::asio::bind_executor(strand, [weak](boost::system::error_code error) {
        auto self = weak.lock();
        if (error || !self || rearmedSince(self->timeOutTimer)) return;
        self->forceClose(makeSimpleError(TimedOut));
    }));
}

void SimpleSocket::sendKeepAlive() {
    std::weak_ptr<SimpleSocket> weak = shared_from_this();
    keepAliveTimer.expires_after(timings.keepAliveAfter);
    keepAliveTimer.async_wait(boost::asio::bind_executor(strand, [weak](boost::system::error_code error) {
        auto self = weak.lock();
        if (error || !self || self->closing || rearmedSince(self->keepAliveTimer)) return;
        self->queueFrame(PendingFrame{kel::bytes(4, 0), ErrorCallback()});
    }));
}

void SimpleSocket::send(kel::bytes message, ErrorCallback onSent) {
    if (message.length() > TcpMaxMessageLength) {
        if (onSent) onSent(makeSimpleError(LengthSentInvalid));
        return;
    }
    PendingFrame pending{kel::bytes::fromUint(message.length()) + message, std::move(onSent)};
    auto self = shared_from_this();
    boost::asio::post(strand, [self, pending]() { self->queueFrame(pending); });
}

void SimpleSocket::queueFrame(PendingFrame frame) {
    writeQueue.push_back(std::move(frame));
    if (!writing) writeNext();
}

void SimpleSocket::writeNext() {
    writing = true;
    const kel::bytes& frame = writeQueue.front().frame;
    auto self = shared_from_this();
    // The frame stays in the queue (and so alive) until its write completes.
    boost::asio::async_write(
        socket, boost::asio::buffer(frame.begin(), frame.length()),
        boost::asio::bind_executor(strand, [self](boost::system::error_code error, std::size_t) {
            PendingFrame done = std::move(self->writeQueue.front());
            self->writeQueue.pop_front();
            self->writing = false;
            if (!self->writeQueue.empty()) self->writeNext();
            if (done.onSent) done.onSent(error ? error : makeSimpleError(SimpleSuccess));
        }));
}

void SimpleSocket::updateCallbacks(MessageCallback onMessage, ErrorCallback onDisconnected) {
    std::lock_guard<std::mutex> lock(callbacksMutex);
    if (closing) return;
    this->onMessage = std::move(onMessage);
    this->onDisconnected = std::move(onDisconnected);
}

void SimpleSocket::forceClose() {
    forceClose(makeSimpleError(UnknownReason));
}

void SimpleSocket::forceClose(boost::system::error_code reason) {
    ErrorCallback disconnected;
    bool alreadyClosing;
    {
        std::lock_guard<std::mutex> lock(callbacksMutex);
        disconnected = std::move(onDisconnected);
        onMessage = nullptr;
        onDisconnected = nullptr;
        alreadyClosing = closing.exchange(true);
    }
    logLine("SimpleSocket::forceClose() socket = " + addressOf(this) + ", error = " + reason.message() +
            " _onDisconnected=" + (disconnected ? "1" : "0"));
    if (alreadyClosing) {
        logLine("SimpleSocket::forceClose() SKIPPING thanks to atomic bool.");
        return;
    }
    auto self = shared_from_this();
    auto closeSocket = [self]() { boost::asio::dispatch(self->strand, [self]() { self->closeOnStrand(); }); };
    try {
        if (disconnected) disconnected(reason);
    } catch (...) {
        closeSocket();
        throw;
    }
    closeSocket();
}

void SimpleSocket::closeOnStrand() {
    logLine("SimpleSocket::forceClose() socket.close();");
    const boost::system::error_code closeError = releaseSocket();
    if (closeError) {
        logLine("SimpleSocket::forceClose() socket.close(); exception : " + closeError.message());
    } else {
        logLine("SimpleSocket::forceClose() socket.close();//");
    }
}

boost::system::error_code SimpleSocket::releaseSocket() {
    // Cancelling the timers ends their waits now instead of at their deadlines; closing
    // the socket ends the pending read and writes. Their handlers then drop the last
    // references that keep this socket alive.
    timeOutTimer.cancel();
    keepAliveTimer.cancel();
    boost::system::error_code closeError;
    socket.close(closeError);
    unregisterFromContainer();
    return closeError;
}

boost::asio::ip::address SimpleSocket::getAddress() const {
    std::lock_guard<std::mutex> lock(addressMutex);
    return peerKnown ? peerAddress : endpoint.address();
}

void SimpleSocket::setPeerAddress(const boost::asio::ip::address& address) {
    std::lock_guard<std::mutex> lock(addressMutex);
    peerAddress = address;
    peerKnown = true;
}

void SimpleSocket::setUnregister(std::function<void()> remove) {
    std::lock_guard<std::mutex> lock(callbacksMutex);
    unregister = std::move(remove);
}

void SimpleSocket::unregisterFromContainer() {
    std::function<void()> remove;
    {
        std::lock_guard<std::mutex> lock(callbacksMutex);
        remove.swap(unregister);
    }
    if (remove) remove();
}

}  // namespace Messaging
}  // namespace Vant
