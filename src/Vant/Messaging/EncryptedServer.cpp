#include "Vant/Messaging/EncryptedServer.h"

#include <boost/asio/deadline_timer.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/strand.hpp>

#include <atomic>

namespace Vant {
namespace Messaging {

struct EncryptedServer::Listener : std::enable_shared_from_this<Listener> {
    Listener(boost::asio::io_service& io, kel::bytes privateKey, kel::bytes publicKey,
             EncryptedSocket::Durations durations)
        : io(io),
          acceptor(io),
          strand(io),
          retryTimer(io),
          privateKey(std::move(privateKey)),
          publicKey(std::move(publicKey)),
          durations(durations) {}

    void acceptNext(NewSocketCallback onNewEsocket) {
        std::shared_ptr<EncryptedSocket> channel =
            EncryptedSocket::create(io, privateKey, publicKey, durations);
        auto self = shared_from_this();
        acceptor.async_accept(
            channel->socket,
            strand.wrap([self, channel, onNewEsocket](const boost::system::error_code& error) {
                self->onAccepted(error, channel, onNewEsocket);
            }));
    }

    void onAccepted(const boost::system::error_code& error, std::shared_ptr<EncryptedSocket> channel,
                    NewSocketCallback onNewEsocket) {
        if (destroyed.load()) return;
        if (!error) {
            boost::system::error_code unknownPeer;  // the peer may already be gone: no address then
            const auto remote = channel->socket.remote_endpoint(unknownPeer);
            if (!unknownPeer) channel->acceptedFrom = remote.address();
            onNewEsocket(boost::system::error_code(0, messaging_error_category), channel);
            acceptNext(onNewEsocket);
            return;
        }
        onNewEsocket(error, nullptr);
        if (!acceptor.is_open()) return;  // stopped: the loop ends here
        auto self = shared_from_this();
        retryTimer.expires_from_now(boost::posix_time::milliseconds(RetryDelay));
        retryTimer.async_wait(strand.wrap([self, onNewEsocket](const boost::system::error_code&) {
            if (self->destroyed.load()) return;
            if (!self->acceptor.is_open()) {
                // Stopped during the pause: this is the one report that follows stop().
                onNewEsocket(boost::asio::error::operation_aborted, nullptr);
                return;
            }
            self->acceptNext(onNewEsocket);
        }));
    }

    void close() {
        boost::system::error_code ignored;
        acceptor.close(ignored);
        retryTimer.cancel(ignored);
    }

    boost::asio::io_service& io;
    boost::asio::ip::tcp::acceptor acceptor;
    // Serialises the accept loop with stop(): the acceptor is used on it only.
    boost::asio::io_service::strand strand;
    boost::asio::deadline_timer retryTimer;
    kel::bytes privateKey, publicKey;
    EncryptedSocket::Durations durations;
    unsigned short boundPort = 0;
    // Set by the server's destructor on the owner's thread, read by completions on
    // the pool: after it, no callback reaches the owner.
    std::atomic<bool> destroyed{false};
};

EncryptedServer::EncryptedServer(boost::asio::io_service& io, kel::bytes privateKey, kel::bytes publicKey,
                                 unsigned port, EncryptedSocket::Durations durations)
    : listener(std::make_shared<Listener>(io, std::move(privateKey), std::move(publicKey), durations)) {
    using boost::asio::ip::tcp;
    tcp::acceptor& acceptor = listener->acceptor;
    acceptor.open(tcp::v4());
    acceptor.set_option(tcp::acceptor::reuse_address(true));
    acceptor.bind(tcp::endpoint(tcp::v4(), static_cast<unsigned short>(port)));
    acceptor.listen();
    listener->boundPort = acceptor.local_endpoint().port();
}

EncryptedServer::~EncryptedServer() {
    listener->destroyed.store(true);
    stop();
}

void EncryptedServer::stop() {
    std::shared_ptr<Listener> shared = listener;
    shared->strand.dispatch([shared]() { shared->close(); });
}

void EncryptedServer::acceptConnection(NewSocketCallback onNewEsocket) {
    std::shared_ptr<Listener> shared = listener;
    shared->strand.dispatch([shared, onNewEsocket]() { shared->acceptNext(onNewEsocket); });
}

unsigned short EncryptedServer::localPort() const {
    return listener->boundPort;
}

}  // namespace Messaging
}  // namespace Vant
