// Vant::Synchronization::PeerSynchronizer: keeps the task queues at the two ends of
// one connection equal. It remembers the queue both ends last agreed on, sends the
// difference between its local synchronizer's queue and it at most once per
// interval, keeps at most one message in flight, and adds received messages to the
// agreed queue and to the local queue. Its worker thread makes the passes; onMessage
// and onNotification run on the threads that deliver the gate's events.
//
// Convergence (docs/architecture.md says more). A confirmation means the other end's
// application has the message; both ends then add it to their agreed queues. Two
// messages that cross are added in opposite orders at the two ends, which matters only
// where both set one variable of one task, or where one is a full queue:
// - the printer's value wins: no end lets a received message overwrite a variable it
//   changed and has not sent yet; otherwise the printer's order decides, and when a
//   user's message sets a variable the printer's own message may have crossed, the
//   printer sends its resulting value again and the user adopts it;
// - a full queue (the printer sends one on every new connection) is the printer's
//   state, not a change: on the user's side it replaces everything except what the
//   user has not sent yet or may not have reached the printer when the full queue
//   was taken, which is sent again. Tasks a printer that restarted no longer holds
//   go, unless they are the user's and unconfirmed.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "Vant/StateMachine/TaskQueue.h"
#include "Vant/Synchronization/LocalSynchronizer.h"
#include "kel/signal.h"
#include "kel/var.h"

namespace Vant {
namespace Synchronization {

// Least time between two messages, and the period of the worker's passes.
const std::chrono::milliseconds SendingInterval(1000);

// Actors and order (one end; the other end runs the same):
//
// clang-format off
//   worker, every interval ──▶ [sequenceMutex] nothing in flight, local counter moved?
//        │ local.changesSince (queueMutex) ──▶ changed entries − agreed entries
//        │ (the whole local queue once forceSendingFullQueue was called)
//        └─▶ sentDiff = message ──▶ pushMessage ──▶ owner: gate.sendReliably
//   gate acknowledgement ──▶ onNotification ──▶ [sequenceMutex] agreed += sentDiff,
//        then every held received message in arrival order ──▶ idle
//   gate delivery ──▶ onMessage ──▶ [sequenceMutex] in flight? hold it : apply it
//   apply: agreed += message ──▶ local.merge(what it changed) ──▶ local's events
// clang-format on
class PeerSynchronizer {
public:
    typedef Vant::StateMachine::TaskQueue TaskQueue;
    typedef Vant::StateMachine::Task Task;

    // Which end of the connection this is: the printer's values win over its users'.
    enum class Side { Printer, User };

    // Input: a synchronisation message received from the other end.
    kel::signal::pushee<kel::var> onMessage;
    // Input: the last message pushed was delivered.
    kel::signal::pushee<> onNotification;
    // Output: a synchronisation message to send reliably. Pushed with sequenceMutex
    // held: its confirmation must come later on another call path.
    kel::signal::pusher<kel::var> pushMessage;

    // `local` must outlive this synchronizer.
    PeerSynchronizer(LocalSynchronizer& local, Side side,
                     std::chrono::milliseconds sendingInterval = SendingInterval);
    PeerSynchronizer(const PeerSynchronizer&) = delete;
    PeerSynchronizer& operator=(const PeerSynchronizer&) = delete;
    ~PeerSynchronizer();  // stop()

    // Starts the worker thread (nothing happens when it runs already).
    void start();
    // Whether the worker thread runs.
    bool started() const;
    // Ends and joins the worker thread; a second call does nothing. Not to be called
    // from the worker thread itself (from a receiver of pushMessage).
    void stop();
    // The next message carries the whole local queue instead of a difference. Any thread.
    void forceSendingFullQueue();

    // The worker loop: a pass per interval until stopped. Nothing thrown by a
    // receiver or a record ends it.
    void run();
    // One pass of the worker: sends the local queue's difference from the agreed
    // queue when the interval has passed and nothing is in flight. Returns whether a
    // message was pushed. A pass that finds the local queue unchanged since the last
    // one costs a lock and a counter read. Exceptions of receivers reach the caller.
    bool synchronizeOnce();

private:
    // What our messages carried that a received message may lack: the other end may
    // have taken it before ours arrived there.
    struct Risk {
        std::map<std::string, std::map<std::string, kel::var>> variables;  // task -> name -> value sent
        std::set<std::string> ownEntries;                                  // tasks sent whole, and deletions
        std::set<std::string> unconfirmedEntries;                          // those of them not confirmed yet
        void add(const Risk& other);
    };
    struct Held {
        TaskQueue message;
        Risk risk;
    };
    typedef std::unordered_map<std::string, Task> Entries;
    typedef LocalSynchronizer::Variables Variables;

    void receive(kel::var message);
    void confirm();
    // Adds a received message to the agreed queue and merges what it changed into the
    // local queue. `risk` is what our messages carried that it may lack. Called with
    // sequenceMutex held. A message the algebra cannot read is logged.
    void applyReceived(const TaskQueue& message, const Risk& risk);
    void applyDifference(const TaskQueue& difference, const Risk& risk);
    void applyFullQueue(const TaskQueue& full, const Risk& risk);
    // Adds one entry of a difference to the agreed queue; returns what it changed
    // there (undefined for nothing).
    Task addToAgreed(const Task& entry);
    // The message that brings the other end from the agreed entries to `changed`, with
    // the variables of `written` (set here and not sent yet) whatever their value.
    TaskQueue differenceOf(const std::vector<Task>& changed, const Variables& written) const;
    static Risk riskOf(const TaskQueue& sent);
    // A user's variables of that task it sends again with its next message.
    std::set<std::string> pendingOf(const std::string& taskId) const;
    // Sets the agreed value of a variable (the entry is replaced, never written
    // into: its old value may still be shared).
    void setAgreedVariable(const std::string& taskId, const std::string& name, const kel::var& value);

    LocalSynchronizer& local;
    const Side side;

    // Serialises the worker's pass, onMessage and onNotification; guards everything
    // below up to lastSent. Always taken before the local synchronizer's queueMutex
    // (inside changesSince, getQueue and merge).
    std::mutex sequenceMutex;
    // The agreed queue, by task id: what both ends are known to hold. Its entries
    // are replaced, never written into.
    Entries agreed;
    // The local change counter up to which the local queue was compared with the
    // agreed queue; 0 makes the next pass compare every entry.
    std::uint64_t seen = 0;
    // The local change counter our latest message was taken at: variables set here
    // after it are not sent yet.
    std::uint64_t sentUpTo = 0;
    // Variables whose agreed value is uncertain: the next message carries them
    // whatever the agreed queue says.
    Variables unsure;
    // The message sent and not yet confirmed; undefined when nothing is in flight.
    TaskQueue sentDiff;
    // Messages received while sentDiff is in flight, in arrival order, each with what
    // our messages carried that it may lack; applied after sentDiff's confirmation.
    std::deque<Held> held;
    // What our messages confirmed since the last message arrived carried. The other
    // end may have taken its message in flight before it received ours and hand it to
    // its connection after the acknowledgement of ours (or send it again on a new
    // connection): the first message to arrive after a confirmation may lack what was
    // confirmed. Those that follow include it.
    Risk unheard;
    // When the last message was pushed; a steady clock, so that setting the wall
    // clock (the board starts in 1970) cannot stall the sending.
    std::chrono::steady_clock::time_point lastSent;
    const std::chrono::milliseconds sendingInterval;

    // The worker, null when not started. Only start() and stop() touch it, from the
    // owner's thread.
    std::unique_ptr<std::thread> _thread;
    // Set from any thread by forceSendingFullQueue; cleared by the pass that sends it.
    std::atomic<bool> forceFullQueue;
    // Tells the worker to end; written by start() and stop(), read by the worker.
    std::atomic<bool> stopped;
    // Lets stop() wake the worker from its wait between passes; guards nothing else.
    std::mutex wakeMutex;
    std::condition_variable wake;
};

}  // namespace Synchronization
}  // namespace Vant
