// Vant::Messaging::SimpleContainer: the listening side of framed connections. It owns
// the acceptor and a registry of the open sockets it accepted or that registered
// with it. The registry holds weak references: a socket leaves it when it closes,
// and is freed by its last owner. Accept completions run on any pool thread;
// startServer, stop and the destructor may be called from any thread.
//
// Actors and order of the accept loop:
//
// clang-format off
//   startServer ──▶ acceptConnections ──▶ async_accept ──┬─ ok ──▶ register, onNewEsocket(socket) ──▶ next pass
//                        ▲                               ├─ transient (descriptors, buffers, aborted)
//                        └──── retryTimer (100 ms) ◀─────┘      ──▶ two log lines, retry
//                                                        └─ acceptor closed or broken ──▶ two log lines, end
// clang-format on
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <vector>

#include <boost/asio/io_service.hpp>

#include "Vant/Messaging/SimpleSocket.h"

namespace Vant {
namespace Messaging {

class SimpleContainer {
public:
    typedef std::function<void(std::shared_ptr<SimpleSocket>)> NewSocketCallback;

    // Accepted sockets get `timings`; an accept that fails for want of descriptors or
    // buffers is tried again after `acceptRetryDelay`.
    explicit SimpleContainer(boost::asio::io_service& io,
                             SimpleSocket::Timings timings = SimpleSocket::Timings(),
                             std::chrono::milliseconds acceptRetryDelay = std::chrono::milliseconds(100));
    SimpleContainer(const SimpleContainer&) = delete;
    SimpleContainer& operator=(const SimpleContainer&) = delete;
    // Stops accepting; open sockets stay open with their owners.
    virtual ~SimpleContainer();

    // Listens on all IPv4 addresses on `port` (0: any free port, see localPort()) with
    // address reuse and starts the accept loop. onNewEsocket receives each connected,
    // not yet started socket and must start it. Throws boost::system::system_error
    // when the port cannot be bound.
    void startServer(unsigned port, NewSocketCallback onNewEsocket);
    // One pass of the accept loop; each accept starts the next pass.
    void acceptConnections(NewSocketCallback onNewEsocket);
    // Records an open socket in the registry until it closes.
    void addSocket(const std::shared_ptr<SimpleSocket>& socket);
    // Closes the acceptor: the loop ends, open sockets are not touched.
    void stop();

    unsigned short localPort() const;
    // The registered sockets that are still open.
    std::vector<std::shared_ptr<SimpleSocket>> openSockets() const;

private:
    struct Shared;
    // The acceptor, retry timer and registry; pending completions share it, so it
    // outlives the container until they have ended.
    std::shared_ptr<Shared> shared;
};

}  // namespace Messaging
}  // namespace Vant
