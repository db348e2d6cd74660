// Vant::Printer::TrustedAcceptor: the printer's door when only trusted users may come
// in. It listens on the encrypted port, runs each connection's handshake and hands on
// only the connections whose proven key is in the trusted list; the others are closed
// right after their handshake with one log line naming the key. An AttemptLimiter
// bounds what each address may cost, and a key taken off the list has its open
// connections closed. Accepts and the channels' signals run on I/O pool threads;
// start, stop, setTrusted and the accessors may be called from any thread.
//
// Actors and order of one connection:
// clang-format off
//   accept ──▶ limiter: refused or busy ──▶ closed at once, no handshake
//          └─▶ admitted ──▶ handshake ──▶ failed ──▶ a failure for its address, forgotten
//                                    └──▶ done ──▶ key listed ──▶ onTrusted(connection, key)
//                                              └─▶ not listed ──▶ log line, a failure, closed
//   setTrusted(keys) ──▶ open connections of keys no longer listed closed
//   connection ends ──▶ forgotten
// clang-format on
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include <boost/asio/io_service.hpp>

#include "Vant/Messaging/Connection.h"
#include "Vant/Messaging/SimpleSocket.h"
#include "Vant/Printer/AttemptLimiter.h"
#include "kel/bytes.h"

namespace Vant {
namespace Messaging {
class EncryptedServer;
}

namespace Printer {

// Reads a trusted-users file: one user's public key a line (64 hexadecimal digits),
// blank lines and "#" comments (whole lines, or after the key) allowed. False, with
// `error` naming the file and the line, when the file cannot be read or a line is
// anything else.
bool readTrustedUsers(const std::string& path, std::set<kel::bytes>& keys, std::string& error);

class TrustedAcceptor {
public:
    // A connection whose peer proved a listed key, with that key; the receiver starts it.
    typedef std::function<void(std::shared_ptr<Vant::Messaging::Connection>, kel::bytes)> TrustedCallback;

    // Connections get `timings` (keep-alive, silence and handshake time-outs).
    TrustedAcceptor(boost::asio::io_service& io, kel::bytes privateKey, kel::bytes publicKey,
                    std::set<kel::bytes> trusted, Vant::Messaging::SimpleTimings timings,
                    AttemptLimits limits = AttemptLimits());
    // Stops listening; no callback comes afterwards. Open connections close with their
    // last owner.
    ~TrustedAcceptor();
    TrustedAcceptor(const TrustedAcceptor&) = delete;
    TrustedAcceptor& operator=(const TrustedAcceptor&) = delete;

    // Listens on all IPv4 addresses on `port` (0: any free port); throws
    // boost::system::system_error when it cannot.
    void start(unsigned port, TrustedCallback onTrusted);
    // Closes the listening socket; open connections stay.
    void stop();
    // Replaces the list; the open connections of keys no longer in it are closed.
    // Returns how many were.
    std::size_t setTrusted(std::set<kel::bytes> keys);
    bool trusts(const kel::bytes& key) const;
    // Every connection open now, in its handshake or handed on.
    std::vector<std::shared_ptr<Vant::Messaging::Connection>> openConnections() const;
    unsigned short localPort() const;

private:
    struct Shared;
    std::shared_ptr<Shared> shared;  // what the handlers reach, through weak references
    boost::asio::io_service& io;
    const kel::bytes privateKey, publicKey;
    const Vant::Messaging::SimpleTimings timings;
    // Made by start() (the owner's thread) before any other use.
    std::unique_ptr<Vant::Messaging::EncryptedServer> server;
};

}  // namespace Printer
}  // namespace Vant
