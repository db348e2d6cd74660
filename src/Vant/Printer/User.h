// Vant::Printer::User: what the printer keeps for one user id: a peer synchronizer
// that keeps the user's copy of the task queue equal to the printer's, a message gate,
// and the user's current connection. The printer service makes one per claimed id and
// hands it every connection that claims the same id. Connection events and gate
// bodies arrive on I/O pool threads, synchronisation messages on the synchronizer's
// own worker; setSocket, start and stop may be called from any thread.
//
// Actors and order:
//
// clang-format off
//   setSocket(new) ──▶ new connection's frames ──▶ gate ──▶ application handler
//        │                                                   ├ "calibrationAction"    ──▶ state keeper
//        │                                                   ├ "turnToProductionMode" ──▶ script, "Packaging" task
//        │                                                   └ anything else ──▶ peer synchronizer
//        ├─▶ old connection force-closed
//        └─▶ full queue next, worker running
//   worker, every interval ──▶ difference ──▶ gate.sendReliably ──▶ current connection (or "not connected")
//   connection ends ──▶ worker stopped ──▶ service told that the session is idle
// clang-format on
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>

#include "Vant/Gate/Gate.h"
#include "Vant/Messaging/Connection.h"
#include "Vant/Synchronization/PeerSynchronizer.h"
#include "kel/bytes.h"
#include "kel/var.h"

namespace Vant {
namespace Printer {

class Printer;

class User : public std::enable_shared_from_this<User> {
    // Only create() constructs sessions: their handlers hold weak references.
    class Key {
        Key() = default;
        friend class User;
    };

public:
    typedef std::shared_ptr<Vant::Messaging::Connection> Socket;

    // A wired session without a connection. `resendAfter` and `sendingInterval` are
    // the gate's and the synchronizer's periods.
    static std::shared_ptr<User> create(
        Printer* printer, kel::bytes publicKey,
        std::chrono::milliseconds resendAfter = Vant::Gate::ResendAfter,
        std::chrono::milliseconds sendingInterval = Vant::Synchronization::SendingInterval);

    User(Key, Printer* printer, kel::bytes publicKey, std::chrono::milliseconds resendAfter,
         std::chrono::milliseconds sendingInterval);
    User(const User&) = delete;
    User& operator=(const User&) = delete;
    virtual ~User();

    // Lets the session synchronise; its worker runs while it also has a connection.
    void start();
    // Stops the worker until the next start().
    void stop();
    bool started() const { return enabled.load(); }
    const kel::bytes& getPublicKey() const { return publicKey; }

    // Makes `newSocket` the session's connection: the current one (if any) is
    // force-closed, the user gets the whole queue first, and the worker runs.
    void setSocket(Socket newSocket);
    bool connected() const;
    // True when the session has no connection; `since` then tells when it lost it, in
    // the service's order of connection changes.
    bool idle(std::uint64_t& since) const;
    // Whether the synchronizer's worker runs now.
    bool synchronizing() const;

private:
    void wire();
    void onApplicationMessage(const kel::bytes& body);
    void sendToNetwork(kel::bytes message, Vant::Gate::Gate::SentCallback done);
    void disconnected(const Socket& socket, boost::system::error_code reason);
    // Runs the worker exactly while the session is started and connected.
    void updateWorker();

    Printer* const printer;
    const kel::bytes publicKey;
    Vant::Synchronization::PeerSynchronizer peerSynchronizer;
    Vant::Gate::Gate gate;

    // Guards socket and changed: the gate's sends (strand jobs, the worker), setSocket,
    // the disconnection handler (pool threads) and the service's idle scan contend.
    // Never held while a socket is closed or the worker is started or stopped.
    mutable std::mutex socketMutex;
    Socket socket;
    std::uint64_t changed = 0;  // the service's stamp of the latest change of socket

    // Serialises the starts and stops of the worker (peerSynchronizer's thread):
    // setSocket, the disconnection handler, start and stop contend. Taken before
    // socketMutex; the worker thread never takes it.
    mutable std::mutex workerMutex;
    bool workerRunning = false;  // workerMutex

    // Set by start(), cleared by stop(); read by updateWorker.
    std::atomic<bool> enabled{false};
};

}  // namespace Printer
}  // namespace Vant
