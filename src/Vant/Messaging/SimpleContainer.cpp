#include "Vant/Messaging/SimpleContainer.h"
#include "Vant/Log.h"

#include <cerrno>
#include <iostream>
#include <map>
#include <mutex>
#include <utility>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>

namespace Vant {
namespace Messaging {

namespace {

// Errors after which the listening socket is still fine and a later accept may
// succeed: the process or system ran out of descriptors or memory for a moment, or
// the peer gave up before its connection was taken.
bool isTransient(const boost::system::error_code& error) {
    if (error.category() != boost::system::system_category()) return false;
    switch (error.value()) {
        case EMFILE:
        case ENFILE:
        case ENOBUFS:
        case ENOMEM:
        case ECONNABORTED:
        case EPROTO:
            return true;
        default:
            return false;
    }
}

}  // namespace

struct SimpleContainer::Shared : std::enable_shared_from_this<SimpleContainer::Shared> {
    Shared(boost::asio::io_service& io, SimpleSocket::Timings timings, std::chrono::milliseconds retryDelay)
        : io(io), timings(timings), retryDelay(retryDelay), acceptor(io), retryTimer(io) {}

    void acceptNext(NewSocketCallback onNewEsocket);
    void accepted(boost::system::error_code error, std::shared_ptr<SimpleSocket> socket,
                  NewSocketCallback onNewEsocket);
    void add(const std::shared_ptr<SimpleSocket>& socket);

    boost::asio::io_service& io;
    const SimpleSocket::Timings timings;
    const std::chrono::milliseconds retryDelay;

    // Guards acceptor, retryTimer and stopped: the accept loop (pool threads) contends
    // with startServer, stop and the destructor (the owner's thread).
    mutable std::mutex acceptorMutex;
    boost::asio::ip::tcp::acceptor acceptor;
    boost::asio::steady_timer retryTimer;
    bool stopped = false;

    // Guards sockets: accept completions and client sockets add entries, closing or
    // destroyed sockets remove their own (any thread).
    mutable std::mutex socketsMutex;
    std::map<SimpleSocket*, std::weak_ptr<SimpleSocket>> sockets;
};

void SimpleContainer::Shared::acceptNext(NewSocketCallback onNewEsocket) {
    logLine("SimpleContainer::acceptConnections() waiting for next connection\u2026");
    auto socket = SimpleSocket::create(io, timings);
    auto self = shared_from_this();
    {
        std::lock_guard<std::mutex> lock(acceptorMutex);
        if (!stopped) {
            acceptor.async_accept(socket->socket,
                                  [self, socket, onNewEsocket](boost::system::error_code error) {
                                      self->accepted(error, socket, onNewEsocket);
                                  });
            return;
        }
    }
    // Stopped between two passes: the loop ends as if the pending accept was cancelled.
    accepted(boost::asio::error::operation_aborted, socket, onNewEsocket);
}

void SimpleContainer::Shared::accepted(boost::system::error_code error, std::shared_ptr<SimpleSocket> socket,
                                       NewSocketCallback onNewEsocket) {
    if (error) {
        logLine("Error listening for connection : " + error.message());
        logLine("Ending server.");
        if (!isTransient(error)) return;
        // Descriptors or buffers run out in a burst of connections and come back when
        // some close: wait a moment, then listen again.
        std::lock_guard<std::mutex> lock(acceptorMutex);
        if (stopped) return;
        auto self = shared_from_this();
        retryTimer.expires_after(retryDelay);
        retryTimer.async_wait([self, onNewEsocket](boost::system::error_code waitError) {
            if (!waitError) self->acceptNext(onNewEsocket);
        });
        return;
    }
    logLine("SimpleContainer::acceptConnections() connection received");
    boost::system::error_code endpointError;
    const auto remote = socket->socket.remote_endpoint(endpointError);
    if (!endpointError) socket->setPeerAddress(remote.address());
    add(socket);
    try {
        if (onNewEsocket) onNewEsocket(socket);
    } catch (const std::exception& e) {
        // The loop goes on: one connection's failure must not end the server.
        logLine(std::string("SimpleContainer::acceptConnections() new connection handler failed: ") +
                e.what());
    }
    acceptNext(onNewEsocket);
}

void SimpleContainer::Shared::add(const std::shared_ptr<SimpleSocket>& socket) {
    SimpleSocket* key = socket.get();
    {
        std::lock_guard<std::mutex> lock(socketsMutex);
        sockets[key] = socket;
    }
    std::weak_ptr<Shared> weakShared = shared_from_this();
    socket->setUnregister([weakShared, key]() {
        if (auto shared = weakShared.lock()) {
            std::lock_guard<std::mutex> lock(shared->socketsMutex);
            shared->sockets.erase(key);
        }
    });
}

SimpleContainer::SimpleContainer(boost::asio::io_service& io, SimpleSocket::Timings timings,
                                 std::chrono::milliseconds acceptRetryDelay)
    : shared(std::make_shared<Shared>(io, timings, acceptRetryDelay)) {}

SimpleContainer::~SimpleContainer() {
    stop();
}

void SimpleContainer::startServer(unsigned port, NewSocketCallback onNewEsocket) {
    {
        std::lock_guard<std::mutex> lock(shared->acceptorMutex);
        const boost::asio::ip::tcp::endpoint endpoint(boost::asio::ip::tcp::v4(),
                                                      static_cast<unsigned short>(port));
        shared->acceptor.open(endpoint.protocol());
        shared->acceptor.set_option(boost::asio::ip::tcp::acceptor::reuse_address(true));
        shared->acceptor.bind(endpoint);
        shared->acceptor.listen(boost::asio::socket_base::max_listen_connections);
        shared->stopped = false;
    }
    acceptConnections(std::move(onNewEsocket));
}

void SimpleContainer::acceptConnections(NewSocketCallback onNewEsocket) {
    shared->acceptNext(std::move(onNewEsocket));
}

void SimpleContainer::addSocket(const std::shared_ptr<SimpleSocket>& socket) {
    shared->add(socket);
}

void SimpleContainer::stop() {
    std::lock_guard<std::mutex> lock(shared->acceptorMutex);
    shared->stopped = true;
    shared->retryTimer.cancel();
    boost::system::error_code ignoredCloseError;  // an acceptor that never opened has nothing to close
    shared->acceptor.close(ignoredCloseError);
}

unsigned short SimpleContainer::localPort() const {
    std::lock_guard<std::mutex> lock(shared->acceptorMutex);
    boost::system::error_code error;
    const auto endpoint = shared->acceptor.local_endpoint(error);
    return error ? 0 : endpoint.port();
}

std::vector<std::shared_ptr<SimpleSocket>> SimpleContainer::openSockets() const {
    // The references are taken under the lock but dropped outside it: dropping the
    // last one destroys the socket, which removes itself from the registry.
    std::vector<std::shared_ptr<SimpleSocket>> registered;
    {
        std::lock_guard<std::mutex> lock(shared->socketsMutex);
        for (const auto& entry : shared->sockets) {
            if (auto socket = entry.second.lock()) registered.push_back(std::move(socket));
        }
    }
    std::vector<std::shared_ptr<SimpleSocket>> open;
    for (auto& socket : registered) {
        if (!socket->isClosing()) open.push_back(socket);
    }
    return open;
}

}  // namespace Messaging
}  // namespace Vant
