// A printer's network side as a client meets it: a loopback acceptor taking a connection's
// first 32-byte frame as the claim, then a gate and a peer synchronizer over it, with a queue
// the test changes directly. Commands are collected; raw frames play a misbehaving printer.
#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>

#include "Vant/Gate/Gate.h"
#include "Vant/Messaging/SimpleContainer.h"
#include "Vant/Messaging/SimpleSocket.h"
#include "Vant/Synchronization/LocalSynchronizer.h"
#include "Vant/Synchronization/PeerSynchronizer.h"
#include "kel/Sodium.h"
#include "kel/bytes.h"
#include "kel/var.h"
#include "support/AsyncTest.h"

namespace testsupport {

class FakePrinter {
public:
    explicit FakePrinter(boost::asio::io_service& io)
        : publicKey(kel::Sodium::publicKey(kel::bytes(32).randomize())),
          server(io),
          gate(io, std::chrono::milliseconds(200)),
          peer(queue, Vant::Synchronization::PeerSynchronizer::Side::Printer, std::chrono::milliseconds(50)) {
        gate.pushMessageToNetwork >> [this](kel::bytes message, Vant::Gate::Gate::SentCallback done) {
            if (auto current = connection()) return current->send(message, done);
            done(Vant::Messaging::makeSimpleError(Vant::Messaging::NotConnected));
        };
        gate.pushMessageToApplication >> [this](kel::bytes body) {
            kel::var message(body);
            if (message.has("calibrationAction") || message.has("turnToProductionMode"))
                return commands.add(message);
            peer.onMessage(message);
        };
        peer.pushMessage >> [this](kel::var message) {
            gate.sendReliably(kel::bytes(message.toJsonString()), [this](boost::system::error_code error) {
                if (!error) peer.onNotification();
            });
        };
        server.startServer(0, [this](std::shared_ptr<Vant::Messaging::SimpleSocket> socket) {
            ++accepted;
            std::weak_ptr<Vant::Messaging::SimpleSocket> weak = socket;
            socket->start(
                nullptr, [this, weak](kel::bytes message) { claim(message, weak.lock()); }, nullptr);
        });
        peer.start();
    }
    ~FakePrinter() {
        peer.stop();
        server.stop();
        dropConnection();
    }

    unsigned short port() const { return server.localPort(); }

    void dropConnection() {  // as a printer that restarts would
        if (auto current = connection()) current->forceClose();
    }
    // One frame with this payload on the current connection, outside the gate.
    bool sendRaw(const kel::bytes& payload) {
        auto current = connection();
        if (current) current->send(payload);
        return current != nullptr;
    }
    bool connected() { return connection() != nullptr; }

    const kel::bytes publicKey;
    Vant::Synchronization::LocalSynchronizer queue;
    Collector<kel::bytes> claims;  // every 32-byte claim, in arrival order
    Collector<kel::var> commands;  // calibration and production-mode messages
    std::atomic<int> accepted{0};  // connections accepted

private:
    void claim(const kel::bytes& message, const std::shared_ptr<Vant::Messaging::SimpleSocket>& socket) {
        if (!socket || message.length() != 32) return;
        std::weak_ptr<Vant::Messaging::SimpleSocket> weak = socket;
        socket->updateCallbacks([this](kel::bytes m) { gate.onMessageFromNetwork(m); },
                                [this, weak](boost::system::error_code) {
                                    std::lock_guard<std::mutex> lock(mutex);
                                    if (current == weak.lock()) current.reset();
                                });
        std::shared_ptr<Vant::Messaging::SimpleSocket> previous;
        {
            std::lock_guard<std::mutex> lock(mutex);
            previous = current;
            current = socket;
        }
        if (previous) previous->forceClose();
        peer.forceSendingFullQueue();
        claims.add(message.clone());
    }
    std::shared_ptr<Vant::Messaging::SimpleSocket> connection() {
        std::lock_guard<std::mutex> lock(mutex);
        return current;
    }

    Vant::Messaging::SimpleContainer server;
    Vant::Gate::Gate gate;
    Vant::Synchronization::PeerSynchronizer peer;
    std::mutex mutex;  // guards current: the claim and disconnection handlers against the gate's sends
    std::shared_ptr<Vant::Messaging::SimpleSocket> current;
};

}  // namespace testsupport
