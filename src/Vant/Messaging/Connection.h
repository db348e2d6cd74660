// Vant::Messaging::Connection: what the sessions and the client's proxies need of a
// user connection, whichever transport carries it: a framed TCP connection
// (SimpleSocket) or an encrypted channel (EncryptedConnection). Both carry whole
// messages up to TcpMaxMessageLength bytes, keep themselves alive and report their
// end once. Every operation may be called from any thread; callbacks run on the I/O
// pool, one connection's messages in order.
#pragma once

#include <exception>
#include <functional>
#include <string>

#include <boost/asio/ip/address.hpp>
#include <boost/system/error_code.hpp>

#include "Vant/Log.h"
#include "kel/bytes.h"

namespace Vant {
namespace Messaging {

class Connection {
public:
    typedef std::function<void(boost::system::error_code)> ErrorCallback;
    typedef std::function<void(kel::bytes)> MessageCallback;

    virtual ~Connection() = default;

    // Starts the connection: a connecting end reports the outcome through
    // onConnected before any message (a failure there, and nothing else).
    virtual void start(ErrorCallback onConnected, MessageCallback onMessage,
                       ErrorCallback onDisconnected) = 0;
    // Replaces both callbacks, also from inside onMessage; no effect once closing.
    virtual void updateCallbacks(MessageCallback onMessage, ErrorCallback onDisconnected) = 0;
    // Sends one message; onSent (may be empty) gets the outcome.
    virtual void send(kel::bytes message, ErrorCallback onSent = ErrorCallback()) = 0;
    // Closes the connection: the first call hands the reason to onDisconnected on the
    // caller's thread and no message is delivered after it; later calls add nothing.
    virtual void forceClose() = 0;
    virtual void forceClose(boost::system::error_code reason) = 0;
    virtual boost::asio::ip::address getAddress() const = 0;
    virtual bool isClosing() const = 0;

protected:
    // Hands a received message to the owner's handler (taken while the connection was
    // not closing). A handler that throws closes the connection with `closeWith`, after
    // a line naming `where`: a read chain must not end silently.
    void handOn(const MessageCallback& handler, kel::bytes message, const char* where,
                boost::system::error_code closeWith) {
        if (!handler) return;
        try {
            handler(std::move(message));
        } catch (const std::exception& e) {
            logLine(std::string(where) + " onMessage failed: " + e.what());
            forceClose(closeWith);
        }
    }
};

}  // namespace Messaging
}  // namespace Vant
