// A well-behaved user of the printer for tests: a framed connection to the printer
// (or an encrypted one, for a printer that lets trusted users in only), the 32-byte
// claim, a message gate, and a peer synchronizer that keeps a local copy of the
// printer's task queue. connect and disconnect are called from the test
// thread (a client socket opens in the caller's network namespace); the connection's
// handlers run on the given I/O service's threads, the synchronizer on its worker.
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

// The ids of the tasks of `stateType` in a queue.
std::vector<std::string> tasksOf(Vant::Synchronization::LocalSynchronizer& queue,
                                 const std::string& stateType);
// Whether task `taskId` of a queue holds an instance of `stateType`.
bool hasInstanceOf(Vant::Synchronization::LocalSynchronizer& queue, const std::string& taskId,
                   const std::string& stateType);

class TestUser {
public:
    // `id` is the user's 32-byte key (random when empty); the user reaches the printer
    // at host:port.
    TestUser(boost::asio::io_service& io, unsigned short port, kel::bytes id = kel::bytes(),
             std::string host = "127.0.0.1",
             std::chrono::milliseconds resendAfter = std::chrono::milliseconds(300),
             std::chrono::milliseconds sendingInterval = std::chrono::milliseconds(50));
    // A user over the encrypted channel: it proves the key pair of `privateKey` (its id
    // is that public key) and accepts only a printer that proves `printerKey`.
    TestUser(boost::asio::io_service& io, unsigned short port, kel::bytes privateKey, kel::bytes printerKey,
             std::string host = "127.0.0.1");
    ~TestUser();
    TestUser(const TestUser&) = delete;
    TestUser& operator=(const TestUser&) = delete;

    // Opens a new connection and claims the id on it; false when it cannot connect (or,
    // encrypted, when the handshake fails).
    bool connect(std::chrono::milliseconds deadline = std::chrono::milliseconds(5000));
    // Closes the current connection (the printer sees it end).
    void disconnect();
    bool isConnected() const;

    // Sends `message` as a reliable gate body; true once the printer acknowledged it.
    bool sendReliably(const kel::var& message,
                      std::chrono::milliseconds deadline = std::chrono::milliseconds(5000));
    // Sends one raw frame on the current connection.
    void sendFrame(const kel::bytes& payload);

    // Adds a task of `stateType` to the user's copy; the synchronizer carries it over.
    std::string addTask(const std::string& stateType);
    // Whether the user's copy holds an instance of `stateType` in task `taskId`.
    bool hasInstanceOf(const std::string& taskId, const std::string& stateType);
    // Waits until hasInstanceOf holds.
    bool waitForInstanceOf(const std::string& taskId, const std::string& stateType,
                           std::chrono::milliseconds deadline = std::chrono::milliseconds(10000));

    const kel::bytes id;
    // The user's copy of the printer's queue.
    Vant::Synchronization::LocalSynchronizer& queue();
    // Every synchronisation message received from the printer, in order.
    Collector<kel::var>& received();
    // The reasons of the connections' ends, in order.
    Collector<boost::system::error_code>& disconnections();
    // Synchronisation messages handed to the gate and not acknowledged yet (0 or 1).
    int unacknowledged() const;

private:
    // Everything the handlers reach; they hold weak references, so a late completion
    // finds it alive or gone, never freed memory.
    struct Core;
    boost::asio::io_service& io;
    const unsigned short port;
    const std::string host;
    kel::bytes privateKey, printerKey;  // encrypted channel (set by its constructor); empty: framed
    std::shared_ptr<Core> core;
};

}  // namespace testsupport
