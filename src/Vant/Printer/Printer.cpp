#include "Vant/Printer/Printer.h"

#include <algorithm>
#include <iostream>
#include <sstream>
#include <thread>
#include <utility>

#include "Vant/Log.h"
#include "Vant/Printer/User.h"
#include "Vant/Process.h"
#include "Vant/StateMachine/StateType.h"
#include "Vant/UdpBroadcasting/Announcement.h"
#include "kel/Sodium.h"

namespace Vant {
namespace Printer {

namespace {

const unsigned ClaimLength = 32;

}  // namespace

Printer::Printer(boost::asio::io_service& io, kel::bytes privateKey, Vant::Driver::Driver& driver,
                 Vant::Driver::Lighting& lighting, Settings settings)
    : io(io),
      privateKey(privateKey.clone()),
      publicKey(kel::Sodium::publicKey(privateKey)),
      settings(std::move(settings)),
      server(io, this->settings.socketTimings),
      localSynchronizer(),
      stateKeeper(io, localSynchronizer, driver, lighting),
      udpBroadcaster(UdpPort, kel::bytes(), this->settings.broadcastDestinations),
      productionScriptRunning(std::make_shared<std::atomic<bool>>(false)) {
    if (this->settings.trustedOnly) {
        trustedAcceptor.reset(new TrustedAcceptor(io, this->privateKey, publicKey,
                                                  this->settings.trustedUsers, this->settings.socketTimings,
                                                  this->settings.attemptLimits));
    }
    udpBroadcaster.setBroadcasted(kel::bytes(announcement()));
    udpBroadcaster.setSendingInterval(this->settings.broadcastInterval);
    subscribe();
}

Printer::~Printer() {
    closeConnections();
    std::map<kel::bytes, Session> sessions;
    {
        std::lock_guard<std::mutex> lock(usersMutex);
        sessions.swap(users);
    }
    // The sessions end here, before the queue and the keeper they are wired to.
    sessions.clear();
}

std::string Printer::announcement() const {
    return Vant::UdpBroadcasting::makeAnnouncement(publicKey);
}

void Printer::subscribe() {
    localSynchronizer.pushNewTask >> [this](std::string taskId) { startTask(taskId); };
    localSynchronizer.pushNewTask >> [](std::string taskId) { logLine("NEW\u00a0TASK\u00a0: " + taskId); };
    localSynchronizer.pushDeletedTask >> [this](std::string taskId) {
        logLine("DELETED\u00a0TASK\u00a0: " + taskId);
        // A task that still runs stops as if interrupted; nobody could stop it otherwise.
        stateKeeper.taskDeleted(taskId);
    };
    localSynchronizer.pushNewState >> [this](std::string taskId, std::string instanceId) {
        logInstance("NEW\u00a0INSTANCE\u00a0: ", taskId, instanceId);
    };
    localSynchronizer.pushModifiedState >> [this](std::string taskId, std::string instanceId) {
        logInstance("MODIFIED\u00a0INSTANCE\u00a0: ", taskId, instanceId);
    };
    localSynchronizer.pushModifiedVariable >> [this](std::string taskId, std::string name) {
        const kel::var value = localSynchronizer.getVariable(taskId, name);
        logLine("MODIFIED\u00a0VARIABLE\u00a0: " + name + " = " + value.toJsonString());
        stateKeeper.variableChanged(taskId, name, value);
    };
}

void Printer::logInstance(const char* label, const std::string& taskId, const std::string& instanceId) {
    const kel::var instance = localSynchronizer.getInstance(taskId, instanceId);
    const kel::var& read = instance;
    const kel::var stateType = read.isMap() && read.has("stateType") ? read["stateType"] : kel::var();
    std::ostringstream progress;
    progress << localSynchronizer.getInstanceProgress(taskId, instanceId);
    logLine(label + taskId + ", " + instanceId + "(" + stateType.toJsonString() + ")" +
            " progress = " + progress.str());
}

void Printer::start() {
    if (trustedAcceptor) {
        trustedAcceptor->start(settings.securePort,
                               [this](std::shared_ptr<Vant::Messaging::Connection> connection,
                                      kel::bytes key) { onNewSocket(connection, key); });
        logLine("Printer::start() trusted users only (" + std::to_string(settings.trustedUsers.size()) +
                "), over the encrypted channel on port " + std::to_string(localPort()));
    } else {
        server.startServer(settings.port, [this](std::shared_ptr<Vant::Messaging::SimpleSocket> socket) {
            onNewSocket(socket);
        });
    }
    udpBroadcaster.start();
    std::vector<std::shared_ptr<User>> sessions;
    {
        std::lock_guard<std::mutex> lock(usersMutex);
        sessionsStarted = true;
        for (const auto& entry : users) sessions.push_back(entry.second.user);
    }
    for (const auto& user : sessions) user->start();
}

void Printer::stop() {
    udpBroadcaster.stop();
    std::vector<std::shared_ptr<User>> sessions;
    {
        std::lock_guard<std::mutex> lock(usersMutex);
        sessionsStarted = false;
        for (const auto& entry : users) sessions.push_back(entry.second.user);
    }
    for (const auto& user : sessions) user->stop();
}

bool Printer::started() const {
    return udpBroadcaster.started();
}

void Printer::startTask(std::string taskId) {
    std::lock_guard<std::mutex> lock(startMutex);
    if (!acceptingTasks) {
        logLine("Printer::startTask() task " + taskId + " not started : the printer is stopping.");
        return;
    }
    try {
        const kel::var task = localSynchronizer.getTask(taskId);
        const kel::var& read = task;
        if (!read.isMap() || !read.has("stateType") || !read["stateType"].isString()) {
            logLine("Printer::startTask() task " + taskId + " has no state type name; not started.");
            return;
        }
        const std::string stateType = read["stateType"].stringValue();
        const kel::var& catalogue = Vant::StateMachine::StateTypes;
        if (!catalogue.isMap() || !catalogue.has(stateType)) {
            logLine("Printer::startTask() task " + taskId + " names no known state type (" +
                    read["stateType"].toJsonString() + "); not started.");
            return;
        }
        const std::string instanceId = localSynchronizer.makeInstance(taskId, stateType);
        if (instanceId.empty()) return;  // the task is gone; the synchronizer said so
        stateKeeper.makeRunner(taskId, instanceId, false)->start();
    } catch (const std::exception& e) {
        logLine("Printer::startTask() task " + taskId + " not started : " + e.what());
    }
}

void Printer::stopAccepting() {
    {
        std::lock_guard<std::mutex> lock(startMutex);
        acceptingTasks = false;
    }
    udpBroadcaster.stop();
    server.stop();
    if (trustedAcceptor) trustedAcceptor->stop();
}

std::vector<std::string> Printer::interruptRunningTasks(const std::string& reason) {
    std::vector<std::string> interrupted;
    const kel::var queue = localSynchronizer.getQueue();
    const kel::var& read = queue;
    if (!read.isMap() || !read.has("tasks")) return interrupted;
    const kel::var& tasks = read["tasks"];
    for (unsigned i = 0; i < tasks.size(); ++i) {
        const kel::var& task = tasks[i];
        // Tombstones have no state type: nothing of theirs is left to interrupt.
        if (!task.isMap() || !task.has("stateType") || !task.has("id") || !task["id"].isString()) continue;
        const std::string taskId = task["id"].stringValue();
        if (rootStateEnded(taskId)) continue;
        localSynchronizer.setVariable(taskId, "Interrupted", kel::var(reason));
        interrupted.push_back(taskId);
    }
    return interrupted;
}

bool Printer::waitForTasks(const std::vector<std::string>& taskIds,
                           std::chrono::steady_clock::time_point deadline) {
    for (;;) {
        bool allEnded = true;
        for (const std::string& taskId : taskIds) allEnded = allEnded && rootStateEnded(taskId);
        if (allEnded) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(stateKeeper.pollInterval);
    }
}

bool Printer::rootStateEnded(const std::string& taskId) {
    const Vant::StateMachine::Task task = localSynchronizer.getTask(taskId);
    const kel::var& read = task;
    if (!read.isMap() || !read.has("stateType")) return true;
    for (const auto& instance : task.instances()) {
        const kel::var& record = instance;
        if (record.isMap() && record.has("stateType") && record["stateType"] == read["stateType"]) {
            return stateKeeper.makeRunner(taskId, record["id"].stringValue(""), false)->ended();
        }
    }
    return true;
}

void Printer::closeConnections() {
    stop();
    server.stop();
    for (const auto& socket : server.openSockets()) socket->forceClose();
    if (trustedAcceptor) {
        trustedAcceptor->stop();
        for (const auto& connection : trustedAcceptor->openConnections()) connection->forceClose();
    }
}

std::size_t Printer::setTrustedUsers(std::set<kel::bytes> keys) {
    if (!trustedAcceptor) return 0;
    const std::size_t count = keys.size();
    const std::size_t closed = trustedAcceptor->setTrusted(std::move(keys));
    logLine("Printer::setTrustedUsers() " + std::to_string(count) + " trusted users; " +
            std::to_string(closed) + " connection(s) of users no longer trusted closed");
    return closed;
}

void Printer::onNewSocket(const std::shared_ptr<Vant::Messaging::Connection>& socket,
                          const kel::bytes& provenKey) {
    logLine("Printer::start() new opened socket\u2026 socket=" + addressOf(socket.get()));
    std::weak_ptr<Vant::Messaging::Connection> weak = socket;
    socket->start([](boost::system::error_code) {},
                  [this, weak, provenKey](kel::bytes message) {
                      // Anything but a 32-byte frame leaves the connection unclaimed.
                      if (message.length() != ClaimLength) return;
                      auto claimed = weak.lock();
                      if (!claimed) return;
                      if (provenKey.length() != 0 && message != provenKey) {
                          // A trusted user may speak only for the key it proved.
                          logLine("Printer::start() refused the claim of " + message.toHex() +
                                  " on a connection of " + provenKey.toHex());
                          claimed->forceClose();
                          return;
                      }
                      claim(claimed, message.clone());
                  },
                  [](boost::system::error_code) {});
}

void Printer::claim(const std::shared_ptr<Vant::Messaging::Connection>& socket, const kel::bytes& id) {
    logLine("Printer::start() Claimed user id : " + id.toHex());
    if (trustedAcceptor && !trustedAcceptor->trusts(id)) {
        // Taken off the list since the handshake.
        logLine("Printer::start() " + id.toHex() + " is not a trusted user; its connection is closed");
        socket->forceClose();
        return;
    }
    std::shared_ptr<User> user;
    {
        std::lock_guard<std::mutex> lock(usersMutex);
        Session& session = users[id];
        if (!session.user) {
            session.user = User::create(this, id, settings.resendAfter, settings.sendingInterval);
            if (sessionsStarted) session.user->start();
        }
        // Kept while setSocket runs, so that it is not taken for idle meanwhile.
        ++session.claiming;
        user = session.user;
    }
    user->setSocket(socket);
    // Taken off the list while this claim went on, after setTrustedUsers looked at
    // the connections: closed here instead.
    if (trustedAcceptor && !trustedAcceptor->trusts(id)) socket->forceClose();
    std::vector<std::shared_ptr<User>> forgotten;
    {
        std::lock_guard<std::mutex> lock(usersMutex);
        auto found = users.find(id);
        if (found != users.end()) --found->second.claiming;
        forgetIdleSessions(forgotten);
    }
    // `forgotten` ends its sessions here, outside the lock.
}

void Printer::sessionIdle() {
    std::vector<std::shared_ptr<User>> forgotten;
    std::lock_guard<std::mutex> lock(usersMutex);
    forgetIdleSessions(forgotten);
    // The lock is released before `forgotten` (declared first) ends its sessions.
}

void Printer::forgetIdleSessions(std::vector<std::shared_ptr<User>>& forgotten) {
    std::vector<std::pair<std::uint64_t, kel::bytes>> idle;
    for (const auto& entry : users) {
        std::uint64_t since = 0;
        if (entry.second.claiming == 0 && entry.second.user->idle(since))
            idle.emplace_back(since, entry.first);
    }
    if (idle.size() <= settings.idleSessionLimit) return;
    std::sort(idle.begin(), idle.end());
    const std::size_t excess = idle.size() - settings.idleSessionLimit;
    for (std::size_t i = 0; i < excess; ++i) {
        auto found = users.find(idle[i].second);
        forgotten.push_back(found->second.user);
        users.erase(found);
        logLine("Printer::forgetIdleSessions() forgot the idle session of " + idle[i].second.toHex() + " (" +
                std::to_string(users.size()) + " sessions kept)");
    }
}

void Printer::startProductionScript() {
    if (productionScriptRunning->exchange(true)) {
        logLine("Printer::startProductionScript() the production-mode script still runs; not started again.");
        return;
    }
    const std::string path = Vant::Platform::productionScriptPath();
    auto script = std::make_shared<Vant::Process>(std::vector<std::string>{path});
    if (!script->started()) {
        logLine("Printer::startProductionScript() " + path + " not started : " + script->error());
        *productionScriptRunning = false;
        return;
    }
    // Its output is not looked at, only drained so that it never blocks on a full
    // pipe; the thread reaps it and owns everything it touches.
    auto running = productionScriptRunning;
    std::thread([script, running]() {
        std::string ignoredLine;
        while (script->readLine(ignoredLine)) {
        }
        const int status = script->wait();
        logLine("Printer::startProductionScript() the production-mode script ended with status " +
                std::to_string(status));
        *running = false;
    }).detach();
}

std::size_t Printer::userCount() const {
    std::lock_guard<std::mutex> lock(usersMutex);
    return users.size();
}

std::shared_ptr<User> Printer::findUser(const kel::bytes& id) const {
    std::lock_guard<std::mutex> lock(usersMutex);
    auto found = users.find(id);
    return found == users.end() ? nullptr : found->second.user;
}

}  // namespace Printer
}  // namespace Vant
