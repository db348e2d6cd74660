// Two ends change their queues at random over a link that delays, repeats and breaks;
// once the changes stop, both queues must agree and keep every last write. Each seed is
// one schedule on virtual time. TOLVANE_SYNC_SEEDS=first:count, TOLVANE_SYNC_THREADS=n.
#include "Vant/Synchronization/PeerSynchronizer.h"

#include <gtest/gtest.h>
#include <sodium.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "Vant/Synchronization/LocalSynchronizer.h"
#include "support/QueueContent.h"

using kel::var;
using Vant::StateMachine::StateInstance;
using Vant::StateMachine::Task;
using Vant::StateMachine::TaskQueue;
using Vant::Synchronization::LocalSynchronizer;
using Vant::Synchronization::PeerSynchronizer;

namespace {

// Ids come from libsodium's random bytes: a per-thread generator that each run seeds.
thread_local std::mt19937_64 idSource{std::random_device{}()};
randombytes_implementation reproducible = {[]() -> const char* { return "reproducible"; },
                                           [] { return static_cast<uint32_t>(idSource()); },
                                           [] {},
                                           nullptr,
                                           [](void* const buffer, const size_t size) {
                                               for (size_t i = 0; i < size; ++i)
                                                   static_cast<unsigned char*>(buffer)[i] = idSource();
                                           },
                                           [] { return 0; }};
[[maybe_unused]] const int installed = randombytes_set_implementation(&reproducible);

#if defined(__SANITIZE_THREAD__)
const unsigned DefaultSeeds = 20;  // ThreadSanitizer slows these runs some fortyfold
#else
const unsigned DefaultSeeds = 200;
#endif

typedef std::uint64_t Micros;

// Virtual time, its events, and the weather (delays and rates) each seed draws.
class Schedule {
public:
    explicit Schedule(unsigned seed) : random(seed) {
        weather = {between(200, 5000),   between(0, 100) / 1000.0, between(0, 100) / 1000.0,
                   between(50, 3000),    between(1000, 5000),      between(100, 2000),
                   between(5000, 50000), between(1000, 40000)};
    }

    struct Weather {
        Micros delay;         // longest usual delay on the link
        double stallChance;   // chance of a delay up to 30 ms
        double repeatChance;  // chance that a packet arrives twice
        Micros pool;          // longest wait of a job posted to the I/O pool
        Micros pass;          // mean time between two passes of a worker
        Micros change;        // mean time between two changes at one end
        Micros up, down;      // longest time the link stays up, down
    } weather;
    Micros around(Micros mean) { return between(mean / 2, mean * 3 / 2); }

    Micros now() const { return clock; }
    void after(Micros delay, std::function<void()> event) {
        events.emplace(std::make_pair(clock + delay, order++), std::move(event));
    }
    void runUntil(Micros until) {
        while (!events.empty() && events.begin()->first.first <= until) {
            clock = events.begin()->first.first;
            const std::function<void()> next = std::move(events.begin()->second);
            events.erase(events.begin());
            next();
        }
        clock = std::max(clock, until);
    }
    Micros between(Micros low, Micros high) {
        return std::uniform_int_distribution<Micros>(low, high)(random);
    }
    bool chance(double p) { return std::uniform_real_distribution<double>(0.0, 1.0)(random) < p; }

private:
    std::map<std::pair<Micros, std::uint64_t>, std::function<void()>> events;  // by time, then order
    Micros clock = 0;
    std::uint64_t order = 0;
    std::mt19937 random;
};

// A TCP-like link: in order after a delay, sometimes twice; a break loses what is on its way.
class Link {
public:
    explicit Link(Schedule& schedule) : schedule(schedule) {}

    void send(int from, const std::string& packet) {
        if (!up) return;
        const Schedule::Weather& weather = schedule.weather;
        const Micros delay = schedule.chance(weather.stallChance) ? schedule.between(weather.delay, 30000)
                                                                  : schedule.between(0, weather.delay);
        lastArrival[from] = std::max(schedule.now() + delay, lastArrival[from]);
        const unsigned connection = connections;
        const int copies = schedule.chance(weather.repeatChance) ? 2 : 1;
        for (int copy = 0; copy < copies; ++copy) {
            schedule.after(lastArrival[from] - schedule.now(), [this, connection, from, packet] {
                if (connection == connections) receiver[1 - from](packet);
            });
        }
    }
    void breakDown() {
        up = false;
        ++connections;
    }
    void reconnect() {
        up = true;
        lastArrival[0] = lastArrival[1] = 0;
    }
    bool isUp() const { return up; }

    std::function<void(std::string)> receiver[2];

private:
    Schedule& schedule;
    bool up = true;
    unsigned connections = 0;
    Micros lastArrival[2] = {0, 0};
};

// The message gate: one reliable message pending, resent until acknowledged, repeats
// among the last 20 ids dropped. Sends and acknowledgements wait in the I/O pool while
// it acknowledges at once, so messages and confirmations cross as with the real gate.
class Gate {
public:
    Gate(Schedule& schedule, Link& link, int side) : schedule(schedule), link(link), side(side) {}

    void sendReliably(const std::string& message, std::function<void()> delivered) {
        schedule.after(poolDelay(), [this, message, delivered] {
            if (pendingId != 0) return;  // the synchronizer keeps one message in flight
            pendingId = ++lastId;
            pending = message;
            onDelivered = delivered;
            transmit();
        });
    }
    void fromNetwork(const std::string& packet) {
        const size_t colon = packet.find(':');
        const unsigned long id = std::stoul(packet.substr(1, colon - 1));
        if (packet[0] == 'A') {
            schedule.after(poolDelay(), [this, id] {
                if (id != pendingId) return;
                pendingId = 0;
                ++resends;
                std::exchange(onDelivered, nullptr)();
            });
            return;
        }
        if (std::find(recent.begin(), recent.end(), id) == recent.end()) {
            recent.push_front(id);
            if (recent.size() > 20) recent.pop_back();
            toApplication(packet.substr(colon + 1));
        }
        link.send(side, "A" + std::to_string(id) + ":");
    }

    std::function<void(std::string)> toApplication;

private:
    Micros poolDelay() { return schedule.between(0, schedule.weather.pool); }
    void transmit() {
        link.send(side, "R" + std::to_string(pendingId) + ":" + pending);
        const unsigned resend = ++resends;
        schedule.after(20000, [this, resend] {
            if (resend == resends && pendingId != 0) transmit();
        });
    }

    Schedule& schedule;
    Link& link;
    const int side;
    unsigned long pendingId = 0, lastId = 0;
    std::string pending;
    std::function<void()> onDelivered;
    unsigned resends = 0;
    std::deque<unsigned long> recent;
};

struct End {
    End(Schedule& schedule, Link& link, int index, PeerSynchronizer::Side side)
        : peer(local, side, std::chrono::milliseconds(0)), gate(schedule, link, index) {
        peer.pushMessage >> [this](var message) {
            gate.sendReliably(message.toJsonString(), [this] { peer.onNotification(); });
        };
        gate.toApplication = [this](std::string text) { peer.onMessage(var::fromJsonString(text)); };
        link.receiver[index] = [this](std::string packet) { gate.fromNetwork(packet); };
        pass = [this, &schedule] {
            peer.synchronizeOnce();
            schedule.after(schedule.around(schedule.weather.pass), pass);
        };
        schedule.after(schedule.around(schedule.weather.pass), pass);
    }

    LocalSynchronizer local;
    PeerSynchronizer peer;
    Gate gate;
    std::function<void()> pass;
};

// Random changes of one end's queue. Only that end writes "p…"/"u…", both write "s…";
// values come from a small set, so a variable often gets an older value back.
class Changer {
public:
    Changer(LocalSynchronizer& local, unsigned seed, const std::string& prefix)
        : local(local), random(seed), prefix(prefix) {}

    void step() {
        std::vector<Task> changed;
        seen = local.changesSince(seen, {}, changed);
        for (const Task& task : changed) {
            const std::string id = task["id"];
            auto known =
                std::find_if(live.begin(), live.end(), [&id](const Task& t) { return t["id"] == id; });
            if (task.isDeletion()) {
                if (known != live.end()) live.erase(known);
            } else if (known == live.end()) {
                live.push_back(task);
            } else {
                *known = task;
            }
        }
        const unsigned choice = pick(live.empty() ? 1 : 24);
        if (choice == 0) {
            local.makeTask(pick(2) == 0 ? "Printing" : "Packaging");
            return;
        }
        // Mostly one of the newest tasks, so both ends work on the same ones.
        const Task task =
            live[pick(4) != 0 && live.size() > 3 ? live.size() - 1 - pick(3) : pick(live.size())];
        const std::string id = task["id"];
        if (choice <= 4) {
            local.makeInstance(id, pick(2) == 0 ? "Heating" : "Layering");
        } else if (choice <= 11) {
            const std::vector<StateInstance> instances = task.instances();
            if (instances.empty()) return;
            const StateInstance instance = instances[pick(instances.size())];
            const int now = static_cast<int>(instance.progress() * 16);
            if (now < 16) local.updateInstanceProgress(id, instance["id"], (now + 1 + pick(16 - now)) / 16.0);
        } else if (choice <= 21) {
            const std::string name = (choice <= 17 ? prefix : std::string("s")) + std::to_string(pick(2));
            const var written = value();
            local.setVariable(id, name, written);
            lastWrites[{id, name}] = written;
        } else {
            local.deleteTask(id);
        }
    }

    std::map<std::pair<std::string, std::string>, var> lastWrites;

private:
    var value() {
        const unsigned kind = pick(4);
        if (kind == 0) return var(static_cast<int>(pick(2)));
        if (kind == 1) return var(true);
        return var::fromJsonString("{\"ssid\": \"home\", \"list\": [1, " + std::to_string(pick(2)) + "]}");
    }
    unsigned pick(size_t n) {
        return std::uniform_int_distribution<unsigned>(0, static_cast<unsigned>(n) - 1)(random);
    }

    LocalSynchronizer& local;
    std::mt19937 random;
    const std::string prefix;
    std::uint64_t seen = 0;
    std::vector<Task> live;  // oldest first
};

std::string lostWrites(LocalSynchronizer& queue, const Changer& printer, const Changer& user) {
    std::string text;
    std::map<std::pair<std::string, std::string>, std::vector<var>> allowed;
    for (const Changer* changer : {&printer, &user}) {
        for (const auto& write : changer->lastWrites) allowed[write.first].push_back(write.second);
    }
    for (const auto& variable : allowed) {
        const std::string& id = variable.first.first;
        const var now = queue.getVariable(id, variable.first.second);
        if (queue.getTask(id).isDeletion() ||
            std::find(variable.second.begin(), variable.second.end(), now) != variable.second.end())
            continue;
        text += "\n  task " + id + " " + variable.first.second + " = " + now.toJsonString();
    }
    return text;
}

// 300 ms of changes over a flapping link (the printer sends its whole queue on every
// new connection), then a steady link until both agree. Returns what went wrong.
std::string runOneSeed(unsigned seed) {
    idSource.seed(seed);
    Schedule schedule(seed);
    Link link(schedule);
    End printer(schedule, link, 0, PeerSynchronizer::Side::Printer);
    End user(schedule, link, 1, PeerSynchronizer::Side::User);
    Changer printerChanges(printer.local, seed * 2, "p"), userChanges(user.local, seed * 2 + 1, "u");

    const Micros changesEnd = 300000;
    std::function<void(Changer*)> change = [&](Changer* changer) {
        changer->step();
        if (schedule.now() >= changesEnd) return;
        schedule.after(schedule.around(schedule.weather.change), [&, changer] { change(changer); });
    };
    schedule.after(0, [&] { change(&printerChanges); });
    schedule.after(0, [&] { change(&userChanges); });
    const auto reconnect = [&] {
        link.reconnect();
        printer.peer.forceSendingFullQueue();
    };
    std::function<void()> flap = [&] {
        if (schedule.now() >= changesEnd) return;
        const bool wasUp = link.isUp();
        wasUp ? link.breakDown() : reconnect();
        schedule.after(wasUp ? schedule.between(1000, schedule.weather.down)
                             : schedule.between(5000, schedule.weather.up),
                       flap);
    };
    schedule.after(schedule.between(5000, schedule.weather.up), flap);

    schedule.runUntil(changesEnd);
    if (!link.isUp()) reconnect();
    const Micros deadline = changesEnd + 30000000;
    bool same = false;
    while (!same && schedule.now() < deadline) {
        schedule.runUntil(schedule.now() + 10000);
        same = entriesById(printer.local.getQueue()) == entriesById(user.local.getQueue());
    }
    // Whatever is still on its way must not part them again.
    schedule.runUntil(schedule.now() + 200000);
    const TaskQueue p = printer.local.getQueue(), u = user.local.getQueue();
    if (!same || entriesById(p) != entriesById(u)) {
        return "the queues differ after quiescence:\n  printer: " + p.toJsonString() +
               "\n  user:    " + u.toJsonString();
    }
    const std::string lost = lostWrites(printer.local, printerChanges, userChanges);
    return lost.empty() ? std::string() : "writes lost:" + lost;
}

}  // namespace

TEST(SyncProperty, BothEndsConvergeOnEverySeed) {
    unsigned first = 1, count = DefaultSeeds;
    if (const char* seeds = std::getenv("TOLVANE_SYNC_SEEDS")) std::sscanf(seeds, "%u:%u", &first, &count);
    unsigned threads = std::max(1u, std::thread::hardware_concurrency());
    if (const char* wanted = std::getenv("TOLVANE_SYNC_THREADS")) threads = std::max(1, std::atoi(wanted));

    std::atomic<unsigned> next(first), failed(0);
    std::vector<std::string> failures(count);  // by seed - first: each slot has one writer
    testing::internal::CaptureStdout();
    std::vector<std::thread> runners;
    for (unsigned t = 0; t < threads; ++t) {
        runners.emplace_back([&] {
            for (unsigned seed = next++; seed < first + count; seed = next++) {
                failures[seed - first] = runOneSeed(seed);
                if (!failures[seed - first].empty() && ++failed >= 3) next = first + count;  // enough
            }
        });
    }
    for (std::thread& runner : runners) runner.join();
    testing::internal::GetCapturedStdout();
    for (unsigned seed = first; seed < first + count; ++seed)
        EXPECT_EQ(failures[seed - first], "")
            << "seed " << seed << " (alone: TOLVANE_SYNC_SEEDS=" << seed << ":1)";
}
