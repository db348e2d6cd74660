#include "Vant/Printer/TrustedAcceptor.h"

#include <map>
#include <mutex>
#include <utility>

#include "Vant/KeyList.h"
#include "Vant/Log.h"
#include "Vant/Messaging/EncryptedConnection.h"
#include "Vant/Messaging/EncryptedServer.h"

namespace Vant {
namespace Printer {

using Vant::Messaging::EncryptedConnection;
using Vant::Messaging::EncryptedSocket;

bool readTrustedUsers(const std::string& path, std::set<kel::bytes>& keys, std::string& error) {
    return readKeyList(path, "trusted-users", keys, error);
}

struct TrustedAcceptor::Shared : std::enable_shared_from_this<TrustedAcceptor::Shared> {
    struct Entry {
        std::shared_ptr<EncryptedSocket> channel;
        std::shared_ptr<EncryptedConnection> connection;
        boost::asio::ip::address address;
        kel::bytes key;  // the proven key, once handed on
        bool handedOn = false;
    };

    Shared(std::set<kel::bytes> trusted, AttemptLimits limits)
        : trusted(std::move(trusted)), limiter(limits) {}

    void accepted(const std::shared_ptr<EncryptedSocket>& channel);
    void handshakeDone(const EncryptedSocket* channel);
    void handshakeFailed(const EncryptedSocket* channel, boost::system::error_code reason);
    void ended(const EncryptedSocket* channel);
    void refusingLogged(const boost::asio::ip::address& address);

    // Guards trusted, limiter, entries and onTrusted: accept completions, the channels'
    // signals (pool threads), setTrusted and the accessors contend. Never held while a
    // connection is closed or released, nor while a callback runs.
    mutable std::mutex mutex;
    std::set<kel::bytes> trusted;
    AttemptLimiter limiter;
    std::map<const EncryptedSocket*, Entry> entries;
    TrustedCallback onTrusted;
};

void TrustedAcceptor::Shared::accepted(const std::shared_ptr<EncryptedSocket>& channel) {
    const boost::asio::ip::address address = channel->peerAddress();
    const EncryptedSocket* key = channel.get();
    std::weak_ptr<Shared> weak = shared_from_this();
    std::lock_guard<std::mutex> lock(mutex);
    // Not admitted: the channel, never started, closes its socket as it goes.
    if (limiter.admit(address, std::chrono::steady_clock::now()) != AttemptLimiter::Admitted) return;

    // Subscribed before the connection's own handlers, so they run first.
    channel->pushConnected >> std::function<void()>([weak, key]() {
        if (auto self = weak.lock()) self->handshakeDone(key);
    });
    channel->pushHandshakeFailed >>
        std::function<void(boost::system::error_code)>([weak, key](boost::system::error_code reason) {
            if (auto self = weak.lock()) self->handshakeFailed(key, reason);
        });
    channel->pushDisconnected >>
        std::function<void(boost::system::error_code)>([weak, key](boost::system::error_code) {
            if (auto self = weak.lock()) self->ended(key);
        });
    Entry& entry = entries[key];
    entry.channel = channel;
    entry.address = address;
    // Starts the handshake; its signals come on the channel's strand, after this lock.
    entry.connection = EncryptedConnection::accepted(channel);
}

void TrustedAcceptor::Shared::handshakeDone(const EncryptedSocket* channel) {
    std::shared_ptr<EncryptedConnection> connection;
    kel::bytes proven;
    bool trustedKey = false, refusingNow = false;
    boost::asio::ip::address address;
    TrustedCallback handOn;
    {
        std::lock_guard<std::mutex> lock(mutex);
        auto found = entries.find(channel);
        if (found == entries.end()) return;
        Entry& entry = found->second;
        connection = entry.connection;
        address = entry.address;
        proven = entry.channel->peerPublicKey();
        trustedKey = trusted.count(proven) != 0;
        refusingNow = limiter.finished(address, !trustedKey, std::chrono::steady_clock::now());
        if (trustedKey) {
            entry.key = proven;
            entry.handedOn = true;
            handOn = onTrusted;
        }
    }
    if (!trustedKey) {
        logLine("TrustedAcceptor::handshakeDone() refused user key " + proven.toHex() + " from " +
                address.to_string() + " : not a trusted user");
        if (refusingNow) refusingLogged(address);
        connection->forceClose(
            Vant::Messaging::make_error_code(Vant::Messaging::EsocketError::UnexpectedPublicKey));
        return;
    }
    if (handOn) handOn(connection, proven);
}

void TrustedAcceptor::Shared::handshakeFailed(const EncryptedSocket* channel,
                                              boost::system::error_code reason) {
    Entry gone;
    bool refusingNow = false;
    {
        std::lock_guard<std::mutex> lock(mutex);
        auto found = entries.find(channel);
        if (found == entries.end()) return;
        gone = std::move(found->second);
        entries.erase(found);
        refusingNow = limiter.finished(gone.address, true, std::chrono::steady_clock::now());
    }
    if (refusingNow) refusingLogged(gone.address);
    (void)reason;  // the channel has logged it
    // `gone` releases the connection here, outside the lock.
}

void TrustedAcceptor::Shared::ended(const EncryptedSocket* channel) {
    Entry gone;
    std::lock_guard<std::mutex> lock(mutex);
    auto found = entries.find(channel);
    if (found == entries.end()) return;
    gone = std::move(found->second);
    entries.erase(found);
    // The lock is released before `gone` (declared first) lets the connection go.
}

void TrustedAcceptor::Shared::refusingLogged(const boost::asio::ip::address& address) {
    logLine("TrustedAcceptor::accepted() too many failed handshakes from " + address.to_string() +
            " : its connections are closed unheard for a while");
}

TrustedAcceptor::TrustedAcceptor(boost::asio::io_service& io, kel::bytes privateKey, kel::bytes publicKey,
                                 std::set<kel::bytes> trusted, Vant::Messaging::SimpleTimings timings,
                                 AttemptLimits limits)
    : shared(std::make_shared<Shared>(std::move(trusted), limits)),
      io(io),
      privateKey(std::move(privateKey)),
      publicKey(std::move(publicKey)),
      timings(timings) {}

TrustedAcceptor::~TrustedAcceptor() {
    server.reset();
}

void TrustedAcceptor::start(unsigned port, TrustedCallback onTrusted) {
    {
        std::lock_guard<std::mutex> lock(shared->mutex);
        shared->onTrusted = std::move(onTrusted);
    }
    server.reset(new Vant::Messaging::EncryptedServer(io, privateKey, publicKey, port,
                                                      EncryptedConnection::durations(timings)));
    std::weak_ptr<Shared> weak = shared;
    server->acceptConnection(
        [weak](boost::system::error_code error, std::shared_ptr<EncryptedSocket> channel) {
            auto self = weak.lock();
            if (!self) return;
            if (error || !channel) {
                logLine("TrustedAcceptor::start() accepting failed : " + error.message());
                return;
            }
            self->accepted(channel);
        });
}

void TrustedAcceptor::stop() {
    if (server) server->stop();
}

std::size_t TrustedAcceptor::setTrusted(std::set<kel::bytes> keys) {
    std::vector<std::pair<kel::bytes, std::shared_ptr<EncryptedConnection>>> removed;
    {
        std::lock_guard<std::mutex> lock(shared->mutex);
        shared->trusted = std::move(keys);
        for (const auto& entry : shared->entries) {
            if (entry.second.handedOn && shared->trusted.count(entry.second.key) == 0)
                removed.emplace_back(entry.second.key, entry.second.connection);
        }
    }
    for (const auto& user : removed) {
        logLine("TrustedAcceptor::setTrusted() " + user.first.toHex() +
                " is no longer a trusted user : its connection is closed");
        user.second->forceClose(
            Vant::Messaging::make_error_code(Vant::Messaging::EsocketError::UnexpectedPublicKey));
    }
    return removed.size();
}

bool TrustedAcceptor::trusts(const kel::bytes& key) const {
    std::lock_guard<std::mutex> lock(shared->mutex);
    return shared->trusted.count(key) != 0;
}

std::vector<std::shared_ptr<Vant::Messaging::Connection>> TrustedAcceptor::openConnections() const {
    std::vector<std::shared_ptr<Vant::Messaging::Connection>> open;
    std::lock_guard<std::mutex> lock(shared->mutex);
    for (const auto& entry : shared->entries) open.push_back(entry.second.connection);
    return open;
}

unsigned short TrustedAcceptor::localPort() const {
    return server ? server->localPort() : 0;
}

}  // namespace Printer
}  // namespace Vant
