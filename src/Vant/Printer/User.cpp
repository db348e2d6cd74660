#include "Vant/Printer/User.h"

#include <iostream>
#include <sstream>
#include <utility>

#include "Vant/Log.h"
#include "Vant/Messaging/SimpleErrorCode.h"
#include "Vant/Printer/Printer.h"

namespace Vant {
namespace Printer {

namespace {

// The start of a received text for a log line; a hostile body may be a megabyte.
std::string excerpt(const std::string& text) {
    const std::size_t shown = 200;
    return text.size() <= shown ? text : text.substr(0, shown) + "\u2026";
}

}  // namespace

std::shared_ptr<User> User::create(Printer* printer, kel::bytes publicKey,
                                   std::chrono::milliseconds resendAfter,
                                   std::chrono::milliseconds sendingInterval) {
    auto user = std::make_shared<User>(Key(), printer, publicKey, resendAfter, sendingInterval);
    user->wire();
    return user;
}

User::User(Key, Printer* printer, kel::bytes publicKey, std::chrono::milliseconds resendAfter,
           std::chrono::milliseconds sendingInterval)
    : printer(printer),
      publicKey(publicKey.clone()),
      peerSynchronizer(printer->localSynchronizer, Vant::Synchronization::PeerSynchronizer::Side::Printer,
                       sendingInterval),
      gate(printer->io, resendAfter) {}

User::~User() {
    stop();
}

void User::wire() {
    std::weak_ptr<User> weak = shared_from_this();

    // A reliable message waits in the gate, resent every period, until a connection exists.
    gate.pushMessageToNetwork >> [weak](kel::bytes message, Vant::Gate::Gate::SentCallback done) {
        if (auto self = weak.lock()) {
            self->sendToNetwork(message, done);
        } else if (done) {
            done(Vant::Messaging::makeSimpleError(Vant::Messaging::NotConnected));
        }
    };
    gate.pushMessageToApplication >> [weak](kel::bytes body) {
        if (auto self = weak.lock()) self->onApplicationMessage(body);
    };
    peerSynchronizer.pushMessage >> [weak](kel::var message) {
        auto self = weak.lock();
        if (!self) return;
        self->gate.sendReliably(kel::bytes(message), [weak](boost::system::error_code error) {
            // An error ("A reliable message is pending unnotified") leaves the
            // synchronizer waiting for the pending one.
            if (error) return;
            if (auto owner = weak.lock()) owner->peerSynchronizer.onNotification();
        });
    };
}

void User::start() {
    enabled = true;
    updateWorker();
    gate.start();
}

void User::stop() {
    enabled = false;
    updateWorker();
    gate.stop();
}

bool User::connected() const {
    std::lock_guard<std::mutex> lock(socketMutex);
    return socket != nullptr;
}

bool User::idle(std::uint64_t& since) const {
    std::lock_guard<std::mutex> lock(socketMutex);
    since = changed;
    return socket == nullptr;
}

bool User::synchronizing() const {
    std::lock_guard<std::mutex> lock(workerMutex);
    return workerRunning;
}

void User::sendToNetwork(kel::bytes message, Vant::Gate::Gate::SentCallback done) {
    Socket current;
    {
        std::lock_guard<std::mutex> lock(socketMutex);
        current = socket;
    }
    if (current) {
        current->send(message, done);
    } else if (done) {
        done(Vant::Messaging::makeSimpleError(Vant::Messaging::NotConnected));
    }
}

void User::setSocket(Socket newSocket) {
    if (!newSocket) return;
    std::weak_ptr<User> weak = shared_from_this();
    std::weak_ptr<Vant::Messaging::Connection> weakSocket = newSocket;
    newSocket->updateCallbacks(
        [weak](kel::bytes message) {
            if (auto self = weak.lock()) self->gate.onMessageFromNetwork(message);
        },
        [weak, weakSocket](boost::system::error_code reason) {
            auto self = weak.lock();
            auto closed = weakSocket.lock();
            if (self && closed) self->disconnected(closed, reason);
        });

    // The new connection is current before the old one closes: the old one's
    // disconnection then leaves the session connected.
    Socket old;
    {
        std::lock_guard<std::mutex> lock(socketMutex);
        old = socket;
        socket = newSocket;
        changed = printer->nextStamp();
    }
    if (old && old != newSocket) {
        logLine("User::setSocket() force closing");
        old->forceClose();
    }
    peerSynchronizer.forceSendingFullQueue();

    // The connection may have ended before its disconnection reached this session.
    if (newSocket->isClosing()) {
        std::lock_guard<std::mutex> lock(socketMutex);
        if (socket == newSocket) {
            socket.reset();
            changed = printer->nextStamp();
        }
    }
    updateWorker();
}

void User::disconnected(const Socket& closed, boost::system::error_code reason) {
    logLine("User::setSocket() [pubKey=" + publicKey.toHex() + "] [socket=" + addressOf(closed.get()) +
            "] disconnected (reason : " + reason.message() + ")");
    {
        std::lock_guard<std::mutex> lock(socketMutex);
        // A connection replaced by a newer one leaves the newer one in place.
        if (socket != closed) return;
        socket.reset();
        changed = printer->nextStamp();
    }
    updateWorker();
    printer->sessionIdle();
}

void User::updateWorker() {
    std::lock_guard<std::mutex> lock(workerMutex);
    const bool wanted = enabled && connected();
    if (wanted == workerRunning) return;
    if (wanted) {
        peerSynchronizer.start();
    } else {
        peerSynchronizer.stop();
    }
    workerRunning = wanted;
}

void User::onApplicationMessage(const kel::bytes& body) {
    kel::var message;
    try {
        message = kel::var(body);
    } catch (const std::exception& e) {
        logLine("User::User() dropped a body that is not JSON text (" + std::string(e.what()) +
                ") : " + excerpt(std::string(body)));
        return;
    }
    if (!message.isMap()) {
        logLine("User::User() dropped a body that is not a map : " + excerpt(message.toJsonString()));
        return;
    }
    const kel::var& received = message;
    try {
        if (received.has("calibrationAction")) {
            logLine("User::User() received calibrationAction : " + excerpt(received.toJsonString()));
            const kel::var& action = received["calibrationAction"];
            printer->stateKeeper.pushCalibrationAction(action.isString() ? action.stringValue() : "up");
        } else if (received.has("turnToProductionMode")) {
            logLine("User::User() received turnToProductionMode");
            printer->startProductionScript();
            printer->startTask(printer->localSynchronizer.makeTask("Packaging"));
        } else {
            peerSynchronizer.onMessage(message);
        }
    } catch (const std::exception& e) {
        logLine("User::User() message not handled : " + std::string(e.what()));
    }
}

}  // namespace Printer
}  // namespace Vant
