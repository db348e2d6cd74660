// A well-behaved user of the printer: a framed (or encrypted) connection, the 32-byte claim,
// a gate and a peer synchronizer keeping a copy of the printer's queue. connect() opens its
// socket in the calling thread's network namespace.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include <boost/asio/io_service.hpp>
#include <boost/system/error_code.hpp>

#include "Vant/Synchronization/LocalSynchronizer.h"
#include "kel/bytes.h"
#include "kel/var.h"
#include "support/AsyncTest.h"

namespace testsupport {

std::vector<std::string> tasksOf(Vant::Synchronization::LocalSynchronizer& queue,
                                 const std::string& stateType);
bool hasInstanceOf(Vant::Synchronization::LocalSynchronizer& queue, const std::string& taskId,
                   const std::string& stateType);

class TestUser {
public:
    // `id` is the user's 32-byte key (random when empty).
    TestUser(boost::asio::io_service& io, unsigned short port, kel::bytes id = kel::bytes(),
             std::string host = "127.0.0.1");
    // Encrypted: proves `privateKey` (its id is that public key), accepts only `printerKey`.
    TestUser(boost::asio::io_service& io, unsigned short port, kel::bytes privateKey, kel::bytes printerKey,
             std::string host = "127.0.0.1");
    ~TestUser();
    TestUser(const TestUser&) = delete;
    TestUser& operator=(const TestUser&) = delete;

    // Opens a new connection and claims the id on it; false when it (or the handshake) fails.
    bool connect(std::chrono::milliseconds deadline = std::chrono::milliseconds(5000));
    void disconnect();
    bool isConnected() const;

    // Sends `message` as a reliable gate body; true once the printer acknowledged it.
    bool sendReliably(const kel::var& message,
                      std::chrono::milliseconds deadline = std::chrono::milliseconds(5000));
    std::string addTask(const std::string& stateType) { return queue().makeTask(stateType); }
    bool waitForInstanceOf(const std::string& taskId, const std::string& stateType,
                           std::chrono::milliseconds deadline = std::chrono::milliseconds(10000)) {
        return waitUntil([&] { return hasInstanceOf(queue(), taskId, stateType); }, deadline);
    }

    const kel::bytes id;
    Vant::Synchronization::LocalSynchronizer& queue();
    Collector<kel::var>& received();  // every synchronisation message from the printer
    Collector<boost::system::error_code>& disconnections();
    // Synchronisation messages handed to the gate and not acknowledged yet (0 or 1).
    int unacknowledged() const;

private:
    struct Core;  // reached by the handlers through weak references: a late completion finds it gone
    boost::asio::io_service& io;
    const unsigned short port;
    const std::string host;
    kel::bytes privateKey, printerKey;  // encrypted channel (set by its constructor); empty: framed
    std::shared_ptr<Core> core;
};

}  // namespace testsupport
