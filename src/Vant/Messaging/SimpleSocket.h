// Vant::Messaging::SimpleSocket: one TCP connection that carries whole messages in
// length-prefixed frames, keeps itself alive with empty frames and closes itself
// after a silence. Its socket, timers, frame reader and write queue are touched only
// on its strand (any pool thread); send(), forceClose() and updateCallbacks() may be
// called from any thread, also from inside the socket's own callbacks.
//
// A socket is always owned by std::shared_ptr (made by create()). Every pending read,
// write and connect holds a reference, the timers hold weak ones; once the socket is
// closed its completions end and the last owner's release frees it.
//
// Actors and order of one connection:
//
// clang-format off
//   start ──▶ [client: async_connect ──▶ onConnected] ──▶ read chain ◀──────────────────────┐
//                                                          │ header     ──▶ re-arm timeOutTimer
//                                                          │ keep-alive ──▶ keepAliveTimer ──▶ write 00 00
//                                                          │ payload    ──▶ onMessage ──────┘
//                                                          └ read error ──▶ forceClose(error)
//   timeOutTimer (no header for timeOut) ──▶ forceClose(timed out)
//   forceClose ──▶ onDisconnected (once) ──▶ on the strand: cancel timers, close the socket
//   send (any thread) ──▶ write queue on the strand, one frame on the wire at a time
// clang-format on
#pragma once

#include <atomic>
#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>

#include <boost/asio/io_service.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/system/error_code.hpp>

#include "Vant/Messaging/Connection.h"
#include "Vant/Messaging/SimpleErrorCode.h"
#include "Vant/Messaging/SimpleFrameReader.h"
#include "kel/bytes.h"

namespace Vant {
namespace Messaging {

const std::chrono::milliseconds TimeOutDuration(10000);    // silence after which a connection closes
const std::chrono::milliseconds SendKeepAliveAfter(1000);  // delay before a keep-alive frame is written

class SimpleContainer;

// A connection's durations; the system's values unless a test shortens them.
struct SimpleTimings {
    std::chrono::milliseconds timeOut = TimeOutDuration;
    std::chrono::milliseconds keepAliveAfter = SendKeepAliveAfter;
};

class SimpleSocket : public Connection, public std::enable_shared_from_this<SimpleSocket> {
    // Only create() constructs sockets, so that every socket has a shared owner.
    class Key {
        Key() = default;
        friend class SimpleSocket;
    };

public:
    typedef SimpleTimings Timings;

    // Server side: the container accepts a connection into it.
    static std::shared_ptr<SimpleSocket> create(boost::asio::io_service& io, Timings timings = Timings());
    // Client side: connects to `endpoint` when started; registered with `container`
    // (which may be null) for as long as it is open.
    static std::shared_ptr<SimpleSocket> create(boost::asio::io_service& io, SimpleContainer* container,
                                                boost::asio::ip::tcp::endpoint endpoint,
                                                Timings timings = Timings());

    SimpleSocket(Key, boost::asio::io_service& io, boost::asio::ip::tcp::endpoint endpoint, bool client,
                 Timings timings);
    SimpleSocket(const SimpleSocket&) = delete;
    SimpleSocket& operator=(const SimpleSocket&) = delete;
    virtual ~SimpleSocket();

    // Starts the connection. A client connects first (asynchronously, bounded by the
    // time-out) and reports the outcome through onConnected before any message; a
    // failed connect reports its error there and nothing else. Callbacks run on the
    // socket's strand.
    void start(ErrorCallback onConnected, MessageCallback onMessage, ErrorCallback onDisconnected) override;
    // Replaces both callbacks; safe from any thread and from inside onMessage. Has no
    // effect once the socket is closing.
    void updateCallbacks(MessageCallback onMessage, ErrorCallback onDisconnected) override;
    // Frames and writes one message; onSent (may be empty) gets the outcome. A message
    // longer than TcpMaxMessageLength is refused at once with LengthSentInvalid.
    void send(kel::bytes message, ErrorCallback onSent = ErrorCallback()) override;
    // Closes with "Unknown reason".
    void forceClose() override;
    // Closes the connection: the first call hands `reason` to onDisconnected (before
    // the socket is closed) and no message is delivered after it began; later calls
    // only log.
    void forceClose(boost::system::error_code reason) override;

    // The peer's address: the connected peer, else the endpoint it was told to reach.
    boost::asio::ip::address getAddress() const override;
    bool isClosing() const override { return closing.load(); }

private:
    friend class SimpleContainer;

    struct PendingFrame {
        kel::bytes frame;
        ErrorCallback onSent;
    };

    void begin(ErrorCallback onConnected);
    void connected(boost::system::error_code error, ErrorCallback onConnected);
    void readMessages();
    void onRead(boost::system::error_code error, std::size_t n);
    void deliver(kel::bytes message);
    void armTimeOut();
    void sendKeepAlive();
    void queueFrame(PendingFrame frame);
    void writeNext();
    void closeOnStrand();
    boost::system::error_code releaseSocket();
    void setPeerAddress(const boost::asio::ip::address& address);
    void setUnregister(std::function<void()> unregister);
    void unregisterFromContainer();

    boost::asio::io_service& io;
    boost::asio::io_service::strand strand;
    boost::asio::ip::tcp::socket socket;            // strand only
    const boost::asio::ip::tcp::endpoint endpoint;  // the peer a client connects to
    const bool client;
    const Timings timings;

    // Guards onMessage, onDisconnected and unregister, and orders the setting of
    // `closing` against delivery: the read chain, forceClose and updateCallbacks
    // (any thread) contend for it. Never held while a callback runs.
    mutable std::mutex callbacksMutex;
    MessageCallback onMessage;
    ErrorCallback onDisconnected;
    std::function<void()> unregister;  // removes the socket from its container's registry

    // Set by the first forceClose (or a failed connect); read by every handler.
    std::atomic<bool> closing{false};

    boost::asio::steady_timer timeOutTimer;    // strand only
    boost::asio::steady_timer keepAliveTimer;  // strand only
    bool connectTimedOut = false;              // strand only
    SimpleFrameReader reader;                  // strand only
    std::deque<PendingFrame> writeQueue;       // strand only; front is on the wire while `writing`
    bool writing = false;                      // strand only

    // Guards peerAddress/peerKnown: written once connected, read by getAddress() from any thread.
    mutable std::mutex addressMutex;
    boost::asio::ip::address peerAddress;
    bool peerKnown = false;
};

}  // namespace Messaging
}  // namespace Vant
