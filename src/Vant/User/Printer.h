// Vant::User::Printer: the client's proxy of one printer. It owns a copy of the
// printer's task queue, kept equal to the printer's by a peer synchronizer over a
// message gate and one connection (framed, or encrypted where the client's settings
// say so), logs every change that arrives, deletes finished service tasks a while
// after they complete, and sends the calibration and production-mode commands.
// addAddress runs on the client's listener thread; the connection's and the gate's
// handlers on pool threads; the synchronizer pushes from its worker.
//
// Actors and order:
//
// clang-format off
//   addAddress ──▶ connect ──▶ send claim (client key) ──▶ socket set, pushConnected
//   frames ──▶ gate ──▶ JSON body ──▶ peer synchronizer ──▶ local queue ──▶ events ──▶ log lines
//                                                                         └─▶ finished service task:
//                                                                             deletion timer (autoDeletionDelay) ──▶ deleteTask
//   worker: local queue differs ──▶ pushMessage ──▶ reliable line ──▶ gate ──▶ connection
//   calibration: action ──▶ acknowledged ──▶ 500 ms pause ──▶ action ──▶ acknowledged ──▶ action … until stopped
//   disconnection ──▶ socket cleared, pushDisconnected; the next announcement connects again
// clang-format on
#pragma once

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include <boost/asio/ip/address.hpp>
#include <boost/asio/steady_timer.hpp>

#include "Vant/Gate/Gate.h"
#include "Vant/Liveness.h"
#include "Vant/Messaging/Connection.h"
#include "Vant/Synchronization/LocalSynchronizer.h"
#include "Vant/Synchronization/PeerSynchronizer.h"
#include "Vant/User/ReliableQueue.h"
#include "kel/bytes.h"
#include "kel/signal.h"

namespace Vant {
namespace User {

class User;

class Printer {
public:
    // The connection is up (claim sent) / went down; on a pool thread.
    kel::signal::pusher<> pushConnected;
    kel::signal::pusher<> pushDisconnected;
    // A synchronisation message of this end reached the printer (its acknowledgement
    // came back); carries the message. On a pool thread.
    kel::signal::pusher<kel::var> pushDelivered;

    // Builds and wires the proxy; it connects when an address is offered.
    Printer(User* user, kel::bytes publicKey, unsigned version, unsigned revision);
    Printer(const Printer&) = delete;
    Printer& operator=(const Printer&) = delete;
    // Waits for handlers under way, closes the connection and stops; completions
    // that arrive later do nothing.
    virtual ~Printer();

    // The client's copy of the printer's task queue; tasks made here reach the printer.
    Vant::Synchronization::LocalSynchronizer& taskQueue() { return localSynchronizer; }

    void start();
    void stop();
    bool started() const;
    bool connected() const;
    const kel::bytes& getPublicKey() const { return publicKey; }
    unsigned getVersion() const { return version; }
    unsigned getRevision() const { return revision; }
    // The connected printer's address as text, "" without a connection.
    std::string getAvailabeAddress() const;
    // The address the printer last announced itself from, "" before any.
    std::string getAnnouncedAddress() const;
    // Synchronisation messages received from the printer on this proxy's connections;
    // the first one after a claim carries the whole queue.
    unsigned long receivedMessages() const { return receivedCount.load(); }

    // Connects to that address unless a connection exists or an attempt is under way.
    void addAddress(boost::asio::ip::address address);

    // Sends calibration actions in that direction, one after the other, until stopped.
    void startCalibrationMovement(std::string direction);
    void stopCalibrationMovement();
    void turnToProductionMode();

private:
    // Lets late completions find out whether the proxy still exists, and makes the
    // destructor wait for the handlers under way: every handler that a connection,
    // timer or gate may run after the proxy is gone runs under it (whileAlive). Its
    // lock is recursive (the gate acknowledges from inside the connection's message
    // handler) and always taken before the synchronizers' locks and socketMutex.
    typedef Vant::Liveness Life;
    // Static: a completion that comes after the proxy is gone must not call a member
    // function on it, not even one that touches nothing.
    template <typename Work>
    static void whileAlive(const std::shared_ptr<Life>& life, Work work);

    void connectedTo(boost::system::error_code error, const std::shared_ptr<Vant::Messaging::Connection>& s);
    void claimSent(boost::system::error_code error, const std::shared_ptr<Vant::Messaging::Connection>& s);
    void received(kel::bytes message, const std::weak_ptr<Vant::Messaging::Connection>& from);
    void disconnected(boost::system::error_code reason,
                      const std::weak_ptr<Vant::Messaging::Connection>& from);
    void toNetwork(kel::bytes message, Vant::Gate::Gate::SentCallback done);
    void toApplication(kel::bytes body);
    void logInstance(const char* label, const std::string& taskId, const std::string& instanceId);
    void delayedDeletion(const std::string& taskId, const std::string& instanceId);
    void sendCalibrationActions(std::shared_ptr<const std::string> direction, bool withDelay);
    std::shared_ptr<Vant::Messaging::Connection> currentSocket() const;

    User* user;
    kel::bytes publicKey;
    Vant::Synchronization::LocalSynchronizer localSynchronizer;
    Vant::Synchronization::PeerSynchronizer peerSynchronizer;
    Vant::Gate::Gate gate;
    // Synchronisation messages and commands take their turn at the gate here.
    ReliableQueue reliableLine;

    // Guards socket and attempt: the gate's sends, the connection's handlers (pool
    // threads) and addAddress (listener thread). A leaf: nothing is called with it held.
    mutable std::mutex socketMutex;
    std::shared_ptr<Vant::Messaging::Connection> socket;   // established and claimed; null when none
    std::shared_ptr<Vant::Messaging::Connection> attempt;  // the connection being set up or up
    std::string announcedAddress;                          // the last address offered
    // Counts the printer's synchronisation messages handed to the synchronizer.
    std::atomic<unsigned long> receivedCount{0};
    // True when no connection exists and no attempt is under way; exchanged by
    // addAddress so that one attempt starts at a time.
    std::atomic<bool> noConnection{true};
    const unsigned version;
    const unsigned revision;

    // Guards lastCalibrationDirection: the caller's thread against the actions'
    // completions on the gate's strand.
    std::mutex calibrationMutex;
    std::shared_ptr<const std::string> lastCalibrationDirection;  // null when no movement runs
    boost::asio::steady_timer calibrationDelayTimer;              // set by the first action's completion only

    // Guards deletionTimers: the local queue's events (pool threads) against the
    // timers' completions. A leaf.
    std::mutex deletionMutex;
    // One pending deletion per task id.
    std::map<std::string, std::unique_ptr<boost::asio::steady_timer>> deletionTimers;

    std::shared_ptr<Life> life;
};

}  // namespace User
}  // namespace Vant
