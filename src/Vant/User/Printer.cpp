#include "Vant/User/Printer.h"

#include <exception>
#include <set>
#include <utility>

#include <boost/asio/ip/tcp.hpp>

#include "Vant/Log.h"
#include "Vant/Messaging/SimpleErrorCode.h"
#include "Vant/User/User.h"
#include "kel/var.h"

namespace Vant {
namespace User {

using Vant::Messaging::Connection;

namespace {

// State types whose tasks the client deletes by itself once they are done: service
// operations that leave nothing for the user to look at.
const std::set<std::string> AutoDeletedTypes = {"LoadingFilament", "EjectingFilament", "NozzleCalibration",
                                                "WifiSetup",       "Packaging",        "StartingUp"};

}  // namespace

template <typename Work>
void Printer::whileAlive(const std::shared_ptr<Life>& life, Work work) {
    Life::whileAlive(life, [&]() {
        try {
            work();
        } catch (const std::exception& e) {
            // Nothing a printer sends may end the client: the handler's work is dropped.
            LOGE("Printer::Printer() handler failed : %s", e.what());
        }
    });
}

Printer::Printer(User* user, kel::bytes publicKey, unsigned version, unsigned revision)
    : user(user),
      publicKey(publicKey),
      peerSynchronizer(localSynchronizer, Vant::Synchronization::PeerSynchronizer::Side::User,
                       user->getSettings().sendingInterval),
      gate(user->getIoService(), user->getSettings().resendAfter),
      reliableLine(gate),
      version(version),
      revision(revision),
      calibrationDelayTimer(user->getIoService()),
      life(std::make_shared<Life>()) {
    std::shared_ptr<Life> life = this->life;

    gate.pushMessageToNetwork >> [this, life](kel::bytes message, Vant::Gate::Gate::SentCallback done) {
        bool handed = false;
        whileAlive(life, [&]() {
            handed = true;
            toNetwork(message, done);
        });
        if (!handed && done) done(Vant::Messaging::makeSimpleError(Vant::Messaging::NotConnected));
    };
    gate.pushMessageToApplication >>
        [this, life](kel::bytes body) { whileAlive(life, [&]() { toApplication(body); }); };

    // Called on the worker with the synchronizer's lock held; the confirmation comes
    // later, from the gate's strand.
    peerSynchronizer.pushMessage >> [this, life](kel::var message) {
        reliableLine.send(kel::bytes(message.toJsonString()),
                          [this, life, message](boost::system::error_code result) {
                              if (result) return;
                              whileAlive(life, [&]() {
                                  peerSynchronizer.onNotification();
                                  pushDelivered(message);
                              });
                          });
    };

    localSynchronizer.pushNewTask >> [](std::string taskId) { LOGI("NEW TASK : %s", taskId.c_str()); };
    localSynchronizer.pushDeletedTask >>
        [](std::string taskId) { LOGI("DELETED TASK : %s", taskId.c_str()); };
    localSynchronizer.pushNewState >> [this](std::string taskId, std::string instanceId) {
        logInstance("NEW INSTANCE : %s, %s(%s) progress = %f", taskId, instanceId);
        delayedDeletion(taskId, instanceId);
    };
    localSynchronizer.pushModifiedState >> [this](std::string taskId, std::string instanceId) {
        logInstance("MODIFIED INSTANCE : %s, %s(%s) progress = %f", taskId, instanceId);
        delayedDeletion(taskId, instanceId);
    };
    localSynchronizer.pushModifiedVariable >> [this](std::string taskId, std::string name) {
        const std::string value = localSynchronizer.getVariable(taskId, name).toJsonString();
        LOGI("MODIFIED VARIABLE : %s = %s", name.c_str(), value.c_str());
    };
}

Printer::~Printer() {
    std::shared_ptr<Connection> open;
    life->end();
    stop();
    {
        std::lock_guard<std::mutex> lock(socketMutex);
        open = attempt;
        socket.reset();
        attempt.reset();
    }
    if (open) open->forceClose();
    boost::system::error_code ignoredCancelError;  // the timers are destroyed next
    calibrationDelayTimer.cancel(ignoredCancelError);
    std::lock_guard<std::mutex> lock(deletionMutex);
    for (auto& entry : deletionTimers) entry.second->cancel(ignoredCancelError);
}

void Printer::start() {
    peerSynchronizer.start();
    gate.start();
}

void Printer::stop() {
    peerSynchronizer.stop();
    gate.stop();
}

bool Printer::started() const {
    return peerSynchronizer.started();
}

bool Printer::connected() const {
    return currentSocket() != nullptr;
}

std::shared_ptr<Connection> Printer::currentSocket() const {
    std::lock_guard<std::mutex> lock(socketMutex);
    return socket;
}

std::string Printer::getAvailabeAddress() const {
    std::shared_ptr<Connection> current = currentSocket();
    return current ? current->getAddress().to_string() : std::string();
}

std::string Printer::getAnnouncedAddress() const {
    std::lock_guard<std::mutex> lock(socketMutex);
    return announcedAddress;
}

void Printer::addAddress(boost::asio::ip::address address) {
    if (address.is_unspecified()) return;
    {
        std::lock_guard<std::mutex> lock(socketMutex);
        announcedAddress = address.to_string();
    }
    if (connected()) return;
    bool expected = true;
    if (!noConnection.compare_exchange_strong(expected, false)) return;

    std::shared_ptr<Connection> s = user->connectionTo(publicKey, address);
    {
        std::lock_guard<std::mutex> lock(socketMutex);
        attempt = s;
    }
    std::shared_ptr<Life> life = this->life;
    std::weak_ptr<Connection> weak = s;
    s->start(
        [this, life, weak](boost::system::error_code error) {
            whileAlive(life, [&]() { connectedTo(error, weak.lock()); });
        },
        [this, life, weak](kel::bytes message) { whileAlive(life, [&]() { received(message, weak); }); },
        [this, life, weak](boost::system::error_code reason) {
            whileAlive(life, [&]() { disconnected(reason, weak); });
        });
}

void Printer::connectedTo(boost::system::error_code error, const std::shared_ptr<Connection>& s) {
    if (error || !s) {
        LOGI("Printer::addAddress() failed connecting (reason : %s)", error.message().c_str());
        {
            std::lock_guard<std::mutex> lock(socketMutex);
            if (attempt == s) attempt.reset();
        }
        noConnection = true;
        return;
    }
    std::shared_ptr<Life> life = this->life;
    std::weak_ptr<Connection> weak = s;
    s->send(user->getPublicKey(), [this, life, weak](boost::system::error_code sent) {
        whileAlive(life, [&]() { claimSent(sent, weak.lock()); });
    });
}

void Printer::claimSent(boost::system::error_code error, const std::shared_ptr<Connection>& s) {
    if (!s) return;
    if (error) {
        LOGI("Printer::addAddress() failed sending public key (reason : %s)", error.message().c_str());
        {
            std::lock_guard<std::mutex> lock(socketMutex);
            if (attempt == s) attempt.reset();
        }
        noConnection = true;
        // A connection that could not carry the claim carries nothing else either.
        s->forceClose(error);
        return;
    }
    {
        std::lock_guard<std::mutex> lock(socketMutex);
        // Closed meanwhile (the disconnection already ran), or replaced.
        if (attempt != s || s->isClosing()) return;
        socket = s;
    }
    pushConnected();
}

void Printer::received(kel::bytes message, const std::weak_ptr<Connection>& from) {
    {
        std::lock_guard<std::mutex> lock(socketMutex);
        // Before the claim was sent, or on an older connection: dropped.
        if (!socket || socket != from.lock()) return;
    }
    gate.onMessageFromNetwork(message);
}

void Printer::disconnected(boost::system::error_code reason, const std::weak_ptr<Connection>& from) {
    LOGI("Printer::addAddress() socket disconnected (reason : %s)", reason.message().c_str());
    const std::shared_ptr<Connection> ended = from.lock();
    bool wasConnected = false;
    {
        std::lock_guard<std::mutex> lock(socketMutex);
        // A lingering older connection ending says nothing about the current one.
        if (!ended || attempt != ended) return;
        wasConnected = socket == ended;
        socket.reset();
        attempt.reset();
    }
    noConnection = true;
    if (wasConnected) pushDisconnected();
}

void Printer::toNetwork(kel::bytes message, Vant::Gate::Gate::SentCallback done) {
    std::shared_ptr<Connection> current = currentSocket();
    if (current) {
        current->send(message, done);
    } else if (done) {
        done(Vant::Messaging::makeSimpleError(Vant::Messaging::NotConnected));
    }
}

void Printer::toApplication(kel::bytes body) {
    kel::var message;
    try {
        message = kel::var(body);
    } catch (const std::exception& e) {
        LOGE("Printer::Printer() dropped a message that is not JSON text (%u bytes) : %s", body.length(),
             e.what());
        return;
    }
    peerSynchronizer.onMessage(message);
    ++receivedCount;
}

void Printer::logInstance(const char* format, const std::string& taskId, const std::string& instanceId) {
    const std::string type = localSynchronizer.getInstanceStateType(taskId, instanceId);
    const double progress = localSynchronizer.getInstanceProgress(taskId, instanceId);
    LOGI(format, taskId.c_str(), instanceId.c_str(), type.c_str(), progress);
}

void Printer::delayedDeletion(const std::string& taskId, const std::string& instanceId) {
    const std::string type = localSynchronizer.getInstanceStateType(taskId, instanceId);
    const double progress = localSynchronizer.getInstanceProgress(taskId, instanceId);
    if (progress != 1.0 || AutoDeletedTypes.count(type) == 0) return;

    std::lock_guard<std::mutex> lock(deletionMutex);
    // A finished instance modified again keeps the deletion already planned.
    if (deletionTimers.count(taskId) != 0) return;
    std::unique_ptr<boost::asio::steady_timer> timer(new boost::asio::steady_timer(user->getIoService()));
    timer->expires_after(user->getSettings().autoDeletionDelay);
    std::shared_ptr<Life> life = this->life;
    timer->async_wait([this, life, taskId, instanceId, type](boost::system::error_code error) {
        if (error) return;
        whileAlive(life, [&]() {
            LOGI("AUTO-DELETING INSTANCE : %s, %s(%s)", taskId.c_str(), instanceId.c_str(), type.c_str());
            localSynchronizer.deleteTask(taskId);
            std::lock_guard<std::mutex> lock(deletionMutex);
            deletionTimers.erase(taskId);
        });
    });
    deletionTimers[taskId] = std::move(timer);
}

void Printer::startCalibrationMovement(std::string direction) {
    std::shared_ptr<const std::string> copy = std::make_shared<const std::string>(std::move(direction));
    {
        std::lock_guard<std::mutex> lock(calibrationMutex);
        lastCalibrationDirection = copy;
    }
    sendCalibrationActions(copy, true);
}

void Printer::stopCalibrationMovement() {
    std::lock_guard<std::mutex> lock(calibrationMutex);
    lastCalibrationDirection.reset();
}

void Printer::sendCalibrationActions(std::shared_ptr<const std::string> direction, bool withDelay) {
    {
        std::lock_guard<std::mutex> lock(calibrationMutex);
        // The movement was stopped or replaced.
        if (lastCalibrationDirection != direction) return;
    }
    kel::var action;
    action["calibrationAction"] = *direction;
    std::shared_ptr<Life> life = this->life;
    reliableLine.send(
        kel::bytes(action.toJsonString()), [this, life, direction, withDelay](boost::system::error_code) {
            whileAlive(life, [&]() {
                if (!withDelay) {
                    sendCalibrationActions(direction, false);
                    return;
                }
                std::lock_guard<std::mutex> lock(calibrationMutex);
                calibrationDelayTimer.expires_after(user->getSettings().calibrationPause);
                calibrationDelayTimer.async_wait([this, life, direction](boost::system::error_code) {
                    whileAlive(life, [&]() { sendCalibrationActions(direction, false); });
                });
            });
        });
}

void Printer::turnToProductionMode() {
    kel::var command;
    command["turnToProductionMode"] = true;
    reliableLine.send(kel::bytes(command.toJsonString()), nullptr);
}

}  // namespace User
}  // namespace Vant
