// Vant::Synchronization::PeerSynchronizer: keeps the task queues at the two ends of
// one connection equal. It remembers the queue both ends last agreed on, sends the
// difference between the local queue and it at most once per interval, keeps at most
// one message in flight, and adds received messages to the agreed queue and, through
// pushDifference, to the local queue. Its worker thread makes the passes; onMessage
// and onNotification run on the threads that deliver the gate's events.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "Vant/StateMachine/TaskQueue.h"
#include "kel/signal.h"
#include "kel/var.h"

namespace Vant {
namespace Synchronization {

// Least time between two messages, and the period of the worker's passes.
const std::chrono::milliseconds SendingInterval(1000);

// Actors and order (one end; the other end runs the same):
//
//   worker, every interval ──▶ [sequenceMutex] nothing in flight?
//        │ pullLocalQueue (local synchronizer, queueMutex) ──▶ local − agreed
//        │ (the whole local queue once forceSendingFullQueue was called)
//        └─▶ sentDiff = message ──▶ pushMessage ──▶ owner: gate.sendReliably
//   gate acknowledgement ──▶ onNotification ──▶ [sequenceMutex] agreed += sentDiff,
//        then every held received message in arrival order ──▶ idle
//   gate delivery ──▶ onMessage ──▶ [sequenceMutex] in flight? hold it : apply it
//   apply: agreed += message, pushDifference(what it changed) ──▶ local synchronizer
class PeerSynchronizer {
public:
    typedef Vant::StateMachine::TaskQueue TaskQueue;

    // Input: a synchronisation message received from the other end.
    kel::signal::pushee<kel::var> onMessage;
    // Input: the last message pushed was delivered.
    kel::signal::pushee<> onNotification;
    // Output: a synchronisation message to send reliably. Pushed with sequenceMutex
    // held: its confirmation must come later on another call path.
    kel::signal::pusher<kel::var> pushMessage;
    // Request: a light copy of the local queue (LocalSynchronizer::giveQueue).
    kel::signal::puller<TaskQueue()> pullLocalQueue;
    // Output: what a received message changed (LocalSynchronizer::onDifference).
    kel::signal::pusher<TaskQueue> pushDifference;

    explicit PeerSynchronizer(std::chrono::milliseconds sendingInterval = SendingInterval);
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
    // message was pushed. Exceptions of receivers reach the caller.
    bool synchronizeOnce();

private:
    // Adds a received message to the agreed queue and pushes what it changed; `held`
    // when it waited for our own message's confirmation. Called with sequenceMutex
    // held. A message the algebra cannot read is logged and leaves the agreed queue
    // as it was.
    void applyDiff(TaskQueue d, bool held);
    void receive(kel::var message);
    void confirm();
    // Notes the variables an own confirmed difference set.
    void rememberOwnVariables(const TaskQueue& sent);
    // Takes out of a change the variables noted by rememberOwnVariables.
    void keepOwnVariables(TaskQueue& change) const;

    // The agreed queue: what both ends are known to hold.
    TaskQueue taskQueue;
    // Serialises the worker's pass, onMessage and onNotification; guards taskQueue,
    // sentDiff, receivedDiff, laterReceived and lastSent. Always taken before the
    // local synchronizer's queueMutex (inside pullLocalQueue and pushDifference).
    std::mutex sequenceMutex;
    // The message sent and not yet confirmed; undefined when nothing is in flight.
    TaskQueue sentDiff;
    // The first message received while sentDiff is in flight, held until its
    // confirmation; undefined otherwise.
    TaskQueue receivedDiff;
    // Further messages received while one is held, in arrival order: a peer whose
    // acknowledgement of our message is lost goes on sending one each interval.
    std::deque<TaskQueue> laterReceived;
    // Task id -> names of the variables that own confirmed differences set since the
    // last full queue received. A full queue is the other end's queue as it was when
    // it was sent, which may be before our latest messages reached it: it must not
    // take back what this end wrote (the other end applies those messages after it).
    std::map<std::string, std::set<std::string>> ownVariables;
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
