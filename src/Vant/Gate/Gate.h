// Vant::Gate::Gate: gives each outgoing message a kind and a random 4-byte identifier,
// resends a reliable message until the peer acknowledges it, acknowledges reliable
// messages it receives and drops repeats. It owns no connection: network messages
// leave through pushMessageToNetwork and arrive through onMessageFromNetwork (called
// by the transport's read chain, any pool thread). Everything about the pending
// reliable message runs on reliableStrand; sendReliably and sendUnreliably may be
// called from any thread.
//
// Actors and order of one reliable message:
//
// clang-format off
//   sendReliably ──▶ [strand] one pending? ── yes ──▶ onSent("A reliable message is pending unnotified")
//                              │ no
//                              ▼
//                     resendReliably ──▶ pushMessageToNetwork(01 id message)  (skipped while a copy is in flight)
//                        ▲       │
//                        └───────┴── resendTimer (ResendAfter, 6 s)
//   onMessageFromNetwork(02 id) ──▶ [strand] id pending? ──▶ cancel resendTimer, idle, onSent(success)
// clang-format on
#pragma once

#include <chrono>
#include <functional>
#include <memory>

#include <boost/asio/io_service.hpp>
#include <boost/system/error_code.hpp>

#include "Vant/Gate/GateErrorCode.h"
#include "kel/bytes.h"
#include "kel/signal.h"

namespace Vant {
namespace Gate {

const kel::byte Unreliable = 0;
const kel::byte Reliable = 1;
const kel::byte Notification = 2;
extern const kel::bytes UnreliableBytes;
extern const kel::bytes ReliableBytes;
extern const kel::bytes NotificationBytes;
const std::chrono::milliseconds ResendAfter(6000);

class Gate {
    struct Core;

public:
    typedef std::function<void(boost::system::error_code)> SentCallback;
    static constexpr unsigned LastReceivedIdsSize = 20;

    explicit Gate(boost::asio::io_service& io, std::chrono::milliseconds resendAfter = ResendAfter);
    Gate(const Gate&) = delete;
    Gate& operator=(const Gate&) = delete;
    // A pending reliable message is dropped; jobs still queued for the gate do nothing.
    virtual ~Gate();

    // Sends `message` every resendAfter until acknowledged; onSent (required) gets
    // success on the acknowledgement, or ReliablePending at once while another
    // reliable message is pending.
    void sendReliably(kel::bytes message, SentCallback onSent);
    // Sends `message` once; onSent travels with it to the transport.
    void sendUnreliably(kel::bytes message, SentCallback onSent);
    // Entry of every network message the transport receives. Messages shorter than
    // the 5-byte header are ignored.
    void onMessageFromNetwork(kel::bytes networkMessage);

    void start() {}
    void stop() {}
    bool started() const { return false; }

private:
    // The reliable state, the window of received identifiers and the signals. Strand
    // jobs and the resend timer share it, so a late job finds it alive after the gate
    // is gone.
    std::shared_ptr<Core> core;

public:
    // Fires with each application message received (on the transport's thread).
    kel::signal::pusher<kel::bytes>& pushMessageToApplication;
    // Fires with each network message to send and the completion the transport must
    // call once, with success or an error, when it was sent or cannot be.
    kel::signal::pusher<kel::bytes, SentCallback>& pushMessageToNetwork;
};

}  // namespace Gate
}  // namespace Vant
