// Vant::User::ReliableQueue: lines reliable messages up in front of a gate, which
// holds one reliable message at a time and refuses the others. The proxy's
// synchronisation messages and its commands share one gate; through this queue each
// waits its turn instead of being refused. send() is called from any thread (the
// peer synchronizer's worker, the caller of a command, gate completions); the
// gate's completions run on its strand.
//
// Actors and order:
//
// clang-format off
//   send ──▶ [mutex] waiting.push_back ── nothing with the gate? ──▶ gate.sendReliably(front)
//   gate completion ──▶ [mutex] pop front, hand the next one to the gate ──▶ onSent(result)
// clang-format on
#pragma once

#include <deque>
#include <memory>
#include <mutex>

#include "Vant/Gate/Gate.h"
#include "kel/bytes.h"

namespace Vant {
namespace User {

class ReliableQueue {
public:
    typedef Vant::Gate::Gate::SentCallback SentCallback;

    // `gate` must outlive the queue; the queue lets go of it when destroyed.
    explicit ReliableQueue(Vant::Gate::Gate& gate);
    ReliableQueue(const ReliableQueue&) = delete;
    ReliableQueue& operator=(const ReliableQueue&) = delete;
    // Completions still to come find no gate and hand nothing on; messages still
    // waiting are dropped.
    ~ReliableQueue();

    // Queues `message`; onSent (may be empty) gets the gate's result once the
    // message's turn has come and the gate has answered.
    void send(kel::bytes message, SentCallback onSent);
    // Messages queued or with the gate.
    std::size_t size() const;

private:
    struct Entry {
        kel::bytes message;
        SentCallback onSent;
    };
    // The line and the gate; the gate's completions share it, so a late completion
    // finds it alive after the queue is gone.
    struct Line {
        // Guards gate, waiting and busy: senders on any thread against the gate's
        // completions. Nothing else is locked while it is held but the gate's post.
        std::mutex mutex;
        Vant::Gate::Gate* gate;     // null once the queue is destroyed
        std::deque<Entry> waiting;  // front is with the gate while `busy`
        bool busy = false;
    };

    // Hands the front message to the gate. Called with line->mutex held.
    static void handFront(const std::shared_ptr<Line>& line);

    std::shared_ptr<Line> line;
};

}  // namespace User
}  // namespace Vant
