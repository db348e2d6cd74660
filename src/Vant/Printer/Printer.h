// Vant::Printer::Printer: the printer's network face and the hub that joins the
// runtime to its users. It owns the task queue, the state keeper that runs its tasks,
// the acceptor of user connections, the announcer and one session per user id, and
// starts every task a user adds. Claims arrive on I/O pool threads (a connection's
// read chain), queue events on the threads that apply received differences;
// start, stop, startTask and the accessors may be called from any thread.
// Owned by printer mode (or a test); the driver and lighting controller it is given
// outlive it. Before it is destroyed the I/O service runs no more handlers (the pool
// is stopped and joined, or was idle); its destructor closes the connections, ends
// the sessions and, through the state keeper, joins the runner threads.
//
// Actors and order of one user:
//
// clang-format off
//   acceptor ──▶ new connection ──▶ claim handler (frames not 32 bytes long are ignored)
//      (trusted users only: the trusted acceptor hands on encrypted connections whose
//       proven key is listed, and the claim must be that key)
//      32-byte frame ──▶ [usersMutex] find or make the session, forget idle ones beyond the limit
//                    ──▶ session.setSocket ──▶ the connection's frames go to the session
//   connection ends ──▶ session idle ──▶ [usersMutex] forget the idle sessions beyond the limit
//   user adds a task ──▶ local synchronizer's pushNewTask ──▶ startTask ──▶ state keeper's runner
// clang-format on
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include <boost/asio/io_service.hpp>

#include "Vant/Driver/Driver.h"
#include "Vant/Driver/Lighting.h"
#include "Vant/Gate/Gate.h"
#include "Vant/Messaging/Connection.h"
#include "Vant/Messaging/SimpleContainer.h"
#include "Vant/Platform.h"
#include "Vant/Printer/TrustedAcceptor.h"
#include "Vant/Runtime/StateKeeper.h"
#include "Vant/Synchronization/LocalSynchronizer.h"
#include "Vant/Synchronization/PeerSynchronizer.h"
#include "Vant/UdpBroadcasting/UdpBroadcaster.h"
#include "Vant/Variables.h"
#include "kel/bytes.h"

namespace Vant {
namespace Printer {

class User;

// The service's ports, periods and limits: the system's values unless a test
// changes them.
struct PrinterSettings {
    unsigned port = SimpleTcpPort;  // 0: any free port (see Printer::localPort)
    Vant::Messaging::SimpleTimings socketTimings;
    std::chrono::milliseconds resendAfter = Vant::Gate::ResendAfter;
    std::chrono::milliseconds sendingInterval = Vant::Synchronization::SendingInterval;
    unsigned broadcastInterval = UdpBroacastInterval;  // ms
    std::vector<std::string> broadcastDestinations = Vant::Platform::broadcastAddresses();
    // Sessions without a connection kept beyond the most recently used; older
    // ones are forgotten (their user gets a new session and the whole queue).
    std::size_t idleSessionLimit = 64;
    // Trusted users only: the plain port stays closed; users come in over the encrypted
    // channel on `securePort`, and only those whose key is in `trustedUsers`.
    bool trustedOnly = false;
    std::set<kel::bytes> trustedUsers;
    unsigned securePort = EncryptedTcpPort;  // 0: any free port (see Printer::localPort)
    AttemptLimits attemptLimits;             // what one address may cost the encrypted port
};

class Printer {
public:
    typedef PrinterSettings Settings;

    // Builds everything; nothing listens or broadcasts yet.
    Printer(boost::asio::io_service& io, kel::bytes privateKey, Vant::Driver::Driver& driver,
            Vant::Driver::Lighting& lighting, Settings settings = Settings());
    Printer(const Printer&) = delete;
    Printer& operator=(const Printer&) = delete;
    // stop(), closes the open connections and ends the sessions. Handlers of `io`
    // must no longer run (the pool is stopped) or the service must have been idle.
    virtual ~Printer();

    // Starts accepting users, broadcasting and every known session. Throws
    // boost::system::system_error when the port cannot be bound.
    void start();
    // Stops broadcasting and every session; the acceptor keeps accepting.
    void stop();
    bool started() const;

    Vant::Synchronization::LocalSynchronizer& taskQueue() { return localSynchronizer; }
    Vant::Runtime::StateKeeper& getStateKeeper() { return stateKeeper; }
    // Starts the first state instance of a task. A task without a state type name,
    // or whose name is not in the catalogue, is logged and left alone, and so is
    // every task once stopAccepting has run.
    void startTask(std::string taskId);

    // The daemon's orderly stop, in this order. stopAccepting: no more announcements,
    // new connections or started tasks; connected users stay and watch the stop.
    void stopAccepting();
    // Sets the variable "Interrupted" to `reason` in every task whose root state has
    // not ended, as a user's interruption does, so that the tasks' own resetting
    // states run. Returns their ids.
    std::vector<std::string> interruptRunningTasks(const std::string& reason);
    // Polls (as the runners do) until the root state of each task has ended; false
    // when some still runs at `deadline`.
    bool waitForTasks(const std::vector<std::string>& taskIds,
                      std::chrono::steady_clock::time_point deadline);
    // stop(), closes the acceptor and every open connection.
    void closeConnections();
    // Trusted users only: replaces the list of trusted keys and closes the connections
    // of the users no longer in it. Returns how many were closed (0 in the other mode).
    std::size_t setTrustedUsers(std::set<kel::bytes> keys);
    void acceptConnection() {}

    const kel::bytes& getPublicKey() const { return publicKey; }
    // "tolvane-v5-" + the public key in hexadecimal.
    std::string announcement() const;
    // The port users connect to: the encrypted one with trusted users only.
    unsigned short localPort() const {
        return trustedAcceptor ? trustedAcceptor->localPort() : server.localPort();
    }
    // Sessions kept now, with and without a connection.
    std::size_t userCount() const;
    std::shared_ptr<User> findUser(const kel::bytes& id) const;

private:
    friend class User;

    struct Session {
        std::shared_ptr<User> user;
        unsigned claiming = 0;  // claims between the lookup and setSocket
    };

    void subscribe();
    // Waits for the connection's claim; with a proven key (encrypted connections) the
    // claim must be that key.
    void onNewSocket(const std::shared_ptr<Vant::Messaging::Connection>& socket,
                     const kel::bytes& provenKey = kel::bytes());
    void claim(const std::shared_ptr<Vant::Messaging::Connection>& socket, const kel::bytes& id);
    // A session lost its connection: the idle ones beyond the limit go.
    void sessionIdle();
    // Orders the connection changes of all sessions.
    std::uint64_t nextStamp() { return ++stamps; }
    // Takes the idle sessions beyond the limit out of `users`; the caller releases
    // them after usersMutex.
    void forgetIdleSessions(std::vector<std::shared_ptr<User>>& forgotten);
    // Starts the production-mode script without a shell and reaps it on a thread of
    // its own; one at a time.
    void startProductionScript();
    void logInstance(const char* label, const std::string& taskId, const std::string& instanceId);
    // Whether the task's root state (its first instance of the task's own state type)
    // has ended; true when it never started.
    bool rootStateEnded(const std::string& taskId);

    boost::asio::io_service& io;
    const kel::bytes privateKey;
    const kel::bytes publicKey;
    const Settings settings;
    Vant::Messaging::SimpleContainer server;
    std::unique_ptr<TrustedAcceptor> trustedAcceptor;  // trusted users only, in place of `server`
    Vant::Synchronization::LocalSynchronizer localSynchronizer;
    Vant::Runtime::StateKeeper stateKeeper;
    Vant::UdpBroadcasting::UdpBroadcaster udpBroadcaster;

    // Set while a production-mode script runs; sessions (pool threads) and the
    // reaping thread contend.
    std::shared_ptr<std::atomic<bool>> productionScriptRunning;

    std::atomic<std::uint64_t> stamps{0};

    // Guards acceptingTasks and is held while startTask starts a task, so that no
    // task starts after stopAccepting returns: the synchronizers' threads and
    // session handlers (startTask) and the stopping main thread contend.
    std::mutex startMutex;
    bool acceptingTasks = true;

    // Guards users and sessionsStarted: claim handlers and disconnection
    // handlers (pool threads), start, stop and the accessors contend. Taken before a
    // session's socketMutex; never held while a connection is closed.
    mutable std::mutex usersMutex;
    std::map<kel::bytes, Session> users;
    bool sessionsStarted = false;
};

}  // namespace Printer
}  // namespace Vant
