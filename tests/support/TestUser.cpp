#include "support/TestUser.h"

#include <atomic>
#include <mutex>

#include "kel/Sodium.h"

#include "Vant/Gate/Gate.h"
#include "Vant/Messaging/EncryptedConnection.h"
#include "Vant/Messaging/SimpleErrorCode.h"
#include "Vant/Messaging/SimpleSocket.h"
#include "Vant/StateMachine/TaskQueue.h"
#include "Vant/Synchronization/PeerSynchronizer.h"

namespace testsupport {

using Vant::Messaging::Connection;
using Vant::Messaging::SimpleSocket;

struct TestUser::Core {
    explicit Core(boost::asio::io_service& io)
        : gate(io, std::chrono::milliseconds(300)),
          peer(queue, Vant::Synchronization::PeerSynchronizer::Side::User, std::chrono::milliseconds(50)) {}
    ~Core() { peer.stop(); }

    void sendToNetwork(kel::bytes message, Vant::Gate::Gate::SentCallback done) {
        if (auto current = connection()) return current->send(message, done);
        if (done) done(Vant::Messaging::makeSimpleError(Vant::Messaging::NotConnected));
    }

    std::shared_ptr<Connection> connection() {
        std::lock_guard<std::mutex> lock(socketMutex);
        return socket;
    }

    Vant::Synchronization::LocalSynchronizer queue;
    Collector<kel::var> received;
    Collector<boost::system::error_code> disconnections;
    std::atomic<int> unacknowledged{0};  // the worker adds, the gate's completion takes away
    Vant::Gate::Gate gate;
    Vant::Synchronization::PeerSynchronizer peer;
    std::mutex socketMutex;  // guards socket: the gate's sends, connect, disconnect, the end handler
    std::shared_ptr<Connection> socket;
};

std::vector<std::string> tasksOf(Vant::Synchronization::LocalSynchronizer& queue,
                                 const std::string& stateType) {
    std::vector<std::string> ids;
    const kel::var all = queue.getQueue();
    for (unsigned i = 0; all.isMap() && all.has("tasks") && i < all["tasks"].size(); ++i)
        if (all["tasks"][i].has("stateType") && all["tasks"][i]["stateType"] == kel::var(stateType))
            ids.push_back(all["tasks"][i]["id"]);
    return ids;
}

bool hasInstanceOf(Vant::Synchronization::LocalSynchronizer& queue, const std::string& taskId,
                   const std::string& stateType) {
    for (const auto& instance : queue.getTask(taskId).instances())
        if (instance.isMap() && instance.has("stateType") && instance["stateType"] == kel::var(stateType))
            return true;
    return false;
}

TestUser::TestUser(boost::asio::io_service& io, unsigned short port, kel::bytes id, std::string host)
    : id(id.length() == 32 ? id.clone() : kel::bytes(32).randomize()),
      io(io),
      port(port),
      host(host),
      core(std::make_shared<Core>(io)) {
    std::weak_ptr<Core> weak = core;
    core->gate.pushMessageToNetwork >> [weak](kel::bytes message, Vant::Gate::Gate::SentCallback done) {
        if (auto self = weak.lock()) return self->sendToNetwork(message, done);
        if (done) done(Vant::Messaging::makeSimpleError(Vant::Messaging::NotConnected));
    };
    core->gate.pushMessageToApplication >> [weak](kel::bytes body) {
        auto self = weak.lock();
        if (!self) return;
        const kel::var message(body);
        self->received.add(message.clone());
        self->peer.onMessage(message);
    };
    core->peer.pushMessage >> [weak](kel::var message) {
        auto self = weak.lock();
        if (!self) return;
        ++self->unacknowledged;
        self->gate.sendReliably(kel::bytes(message), [weak](boost::system::error_code error) {
            auto owner = weak.lock();
            if (!owner) return;
            --owner->unacknowledged;
            if (!error) owner->peer.onNotification();
        });
    };
    core->peer.start();
}

TestUser::TestUser(boost::asio::io_service& io, unsigned short port, kel::bytes privateKey,
                   kel::bytes printerKey, std::string host)
    : TestUser(io, port, kel::Sodium::publicKey(privateKey), host) {
    this->privateKey = privateKey.clone();
    this->printerKey = printerKey.clone();
}

TestUser::~TestUser() {
    disconnect();
    core->peer.stop();
}

bool TestUser::connect(std::chrono::milliseconds deadline) {
    disconnect();
    const boost::asio::ip::tcp::endpoint endpoint(boost::asio::ip::address::from_string(host), port);
    std::shared_ptr<Connection> socket =
        privateKey.length() != 0
            ? Vant::Messaging::EncryptedConnection::create(io, privateKey, id, endpoint, printerKey)
            : std::shared_ptr<Connection>(SimpleSocket::create(io, nullptr, endpoint));
    std::weak_ptr<Core> weak = core;
    std::weak_ptr<Connection> weakSocket = socket;
    auto outcome = std::make_shared<Collector<boost::system::error_code>>();
    socket->start([outcome](boost::system::error_code error) { outcome->add(error); },
                  [weak](kel::bytes message) {
                      if (auto self = weak.lock()) self->gate.onMessageFromNetwork(message);
                  },
                  [weak, weakSocket](boost::system::error_code reason) {
                      auto self = weak.lock();
                      if (!self) return;
                      self->disconnections.add(reason);
                      std::lock_guard<std::mutex> lock(self->socketMutex);
                      if (self->socket == weakSocket.lock()) self->socket.reset();
                  });
    if (!outcome->waitFor(1, deadline) || outcome->snapshot()[0]) {
        socket->forceClose();
        return false;
    }
    // The claim goes first, before any gate message can use the connection.
    socket->send(id);
    std::lock_guard<std::mutex> lock(core->socketMutex);
    core->socket = socket;
    return true;
}

void TestUser::disconnect() {
    std::shared_ptr<Connection> current;
    {
        std::lock_guard<std::mutex> lock(core->socketMutex);
        current.swap(core->socket);
    }
    if (current) current->forceClose();
}

bool TestUser::isConnected() const {
    return core->connection() != nullptr;
}

bool TestUser::sendReliably(const kel::var& message, std::chrono::milliseconds deadline) {
    auto outcome = std::make_shared<Collector<boost::system::error_code>>();
    core->gate.sendReliably(kel::bytes(message),
                            [outcome](boost::system::error_code error) { outcome->add(error); });
    return outcome->waitFor(1, deadline) && !outcome->snapshot()[0];
}

Vant::Synchronization::LocalSynchronizer& TestUser::queue() {
    return core->queue;
}

Collector<kel::var>& TestUser::received() {
    return core->received;
}

Collector<boost::system::error_code>& TestUser::disconnections() {
    return core->disconnections;
}

int TestUser::unacknowledged() const {
    return core->unacknowledged.load();
}

}  // namespace testsupport
