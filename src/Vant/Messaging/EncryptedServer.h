// EncryptedServer: listens on a TCP port and turns each accepted connection into an
// EncryptedSocket carrying this end's long-term key pair, which it hands to its owner
// unstarted. Accepts run on a strand of the I/O pool, one outstanding at a time;
// stop() and the destructor may be called from any thread.
//
// Actors and order:
// clang-format off
//   acceptConnection(cb) -> accept -> cb(Success, channel) -> accept -> ...
//   accept error -> cb(error, null) -> (acceptor open) retryDelay -> accept
//                                   -> (acceptor closed by stop) the loop ends
// clang-format on
#pragma once

#include "Vant/Messaging/EncryptedServerErrorCode.h"
#include "Vant/Messaging/EncryptedSocket.h"
#include "kel/bytes.h"

#include <boost/asio/io_service.hpp>

#include <functional>
#include <memory>

namespace Vant {
namespace Messaging {

class EncryptedServer {
public:
    typedef std::function<void(boost::system::error_code, std::shared_ptr<EncryptedSocket>)>
        NewSocketCallback;

    // Pause before accepting again after a failed accept (for example when the
    // process is out of descriptors), so a persisting failure does not spin a thread.
    static constexpr unsigned RetryDelay = 100;  // ms

    // Opens an IPv4 acceptor on all local addresses with address reuse, listening at
    // once; throws boost::system::system_error when the port cannot be bound.
    EncryptedServer(boost::asio::io_service& io, kel::bytes privateKey, kel::bytes publicKey, unsigned port,
                    EncryptedSocket::Durations durations = EncryptedSocket::Durations());
    // Stops; a pending accept then ends without calling back.
    virtual ~EncryptedServer();

    EncryptedServer(const EncryptedServer&) = delete;
    EncryptedServer& operator=(const EncryptedServer&) = delete;

    void start() {}                         // listening began in the constructor
    bool started() const { return false; }  // kept for callers that ask
    // Closes the acceptor: the pending accept reports one error, then no more.
    void stop();
    void acceptConnection(NewSocketCallback onNewEsocket);
    // The port actually bound (differs from `port` when that was 0).
    unsigned short localPort() const;

private:
    struct Listener;

    // Acceptor, this end's key pair and the accept loop; shared with pending
    // completions so that they never touch a destroyed server.
    std::shared_ptr<Listener> listener;
};

}  // namespace Messaging
}  // namespace Vant
