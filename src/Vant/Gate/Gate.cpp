#include "Vant/Gate/Gate.h"

#include <atomic>
#include <deque>
#include <mutex>
#include <utility>

#include <boost/asio/bind_executor.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>

namespace Vant {
namespace Gate {

const kel::bytes UnreliableBytes(1, Unreliable);
const kel::bytes ReliableBytes(1, Reliable);
const kel::bytes NotificationBytes(1, Notification);

namespace {
const unsigned IdLength = 4;
const unsigned HeaderLength = 1 + IdLength;
}  // namespace

struct Gate::Core : std::enable_shared_from_this<Gate::Core> {
    Core(boost::asio::io_service& io, std::chrono::milliseconds resendAfter)
        : reliableStrand(io), resendTimer(io), resendAfter(resendAfter) {}

    void startReliable(kel::bytes message, SentCallback onSent);
    void resendReliably();
    void notified(kel::bytes id);

    kel::signal::pusher<kel::bytes> pushMessageToApplication;
    kel::signal::pusher<kel::bytes, SentCallback> pushMessageToNetwork;

    boost::asio::io_service::strand reliableStrand;
    boost::asio::steady_timer resendTimer;  // reliableStrand only
    const std::chrono::milliseconds resendAfter;
    kel::bytes reliableId;        // reliableStrand only; empty when nothing is pending
    kel::bytes reliableMessage;   // reliableStrand only
    SentCallback notificationCb;  // reliableStrand only

    // True while a copy of the reliable message is with the transport: set by
    // resendReliably (strand), cleared by the transport's completion (any thread).
    std::atomic<bool> currentlySending{false};
    // Set when the gate is destroyed; strand jobs still queued then do nothing.
    std::atomic<bool> stopped{false};

    // Guards lastReceivedIds: read chains of the transport call onMessageFromNetwork,
    // and an old and a new connection may overlap for a moment.
    std::mutex receivedMutex;
    std::deque<kel::bytes> lastReceivedIds;  // newest first, at most LastReceivedIdsSize
};

void Gate::Core::startReliable(kel::bytes message, SentCallback onSent) {
    if (stopped) return;
    if (reliableId.length() != 0) {
        if (onSent) onSent(makeGateError(ReliablePending));
        return;
    }
    reliableId = kel::bytes(IdLength).randomize();
    reliableMessage = message.clone();
    notificationCb = std::move(onSent);
    resendReliably();
}

void Gate::Core::resendReliably() {
    if (stopped || reliableId.length() == 0) return;
    if (!currentlySending.exchange(true)) {
        std::weak_ptr<Core> weak = shared_from_this();
        pushMessageToNetwork(ReliableBytes + reliableId + reliableMessage, [weak](boost::system::error_code) {
            if (auto self = weak.lock()) self->currentlySending = false;
        });
    }
    auto self = shared_from_this();
    resendTimer.expires_after(resendAfter);
    resendTimer.async_wait(
        boost::asio::bind_executor(reliableStrand, [self](boost::system::error_code error) {
            // A wait that expired just before an acknowledgement cancelled it still
            // arrives without error; resendReliably then finds nothing pending.
            if (error || self->resendTimer.expiry() > boost::asio::steady_timer::clock_type::now()) return;
            self->resendReliably();
        }));
}

void Gate::Core::notified(kel::bytes id) {
    if (stopped || reliableId.length() == 0 || id != reliableId) return;
    reliableId = kel::bytes();
    reliableMessage = kel::bytes();
    resendTimer.cancel();
    SentCallback done = std::move(notificationCb);
    notificationCb = nullptr;
    if (done) done(makeGateError(GateSuccess));
}

Gate::Gate(boost::asio::io_service& io, std::chrono::milliseconds resendAfter)
    : core(std::make_shared<Core>(io, resendAfter)),
      pushMessageToApplication(core->pushMessageToApplication),
      pushMessageToNetwork(core->pushMessageToNetwork) {}

// Only the flag: the I/O service may already be stopped. A resend wait still pending
// keeps the core until it ends and then finds the gate stopped.
Gate::~Gate() {
    core->stopped = true;
}

void Gate::sendReliably(kel::bytes message, SentCallback onSent) {
    auto shared = core;
    boost::asio::post(core->reliableStrand,
                      [shared, message, onSent]() { shared->startReliable(message, onSent); });
}

void Gate::sendUnreliably(kel::bytes message, SentCallback onSent) {
    core->pushMessageToNetwork(UnreliableBytes + kel::bytes(IdLength).randomize() + message,
                               std::move(onSent));
}

void Gate::onMessageFromNetwork(kel::bytes networkMessage) {
    if (networkMessage.length() < HeaderLength) return;
    const kel::byte kind = networkMessage[0];
    const kel::bytes id = networkMessage.subBytes(1, IdLength);

    // Every copy of a reliable message is acknowledged, so a lost acknowledgement is
    // replaced by the next one. A new message is acknowledged only once the
    // application has had it: the sender sends its next reliable message after the
    // acknowledgement, so the application hears them in the order they were sent,
    // whichever threads the transport delivers them on.
    auto acknowledge = [this, kind, &id] {
        if (kind == Reliable) core->pushMessageToNetwork(NotificationBytes + id, [](boost::system::error_code) {});
    };

    bool repeated = false;
    {
        std::lock_guard<std::mutex> lock(core->receivedMutex);
        for (const kel::bytes& seen : core->lastReceivedIds) {
            if (seen == id) repeated = true;
        }
        if (!repeated) {
            core->lastReceivedIds.push_front(id.clone());
            if (core->lastReceivedIds.size() > LastReceivedIdsSize) core->lastReceivedIds.pop_back();
        }
    }
    if (repeated) {
        acknowledge();
        return;
    }

    if (kind == Notification) {
        auto shared = core;
        const kel::bytes acknowledged = id.clone();
        boost::asio::post(core->reliableStrand, [shared, acknowledged]() { shared->notified(acknowledged); });
        return;
    }
    core->pushMessageToApplication(networkMessage.subBytes(HeaderLength));
    acknowledge();
}

}  // namespace Gate
}  // namespace Vant
