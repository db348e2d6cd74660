// bench_idle: what the printer daemon costs at idle with five users connected, with an
// empty history and after many tasks were made, run and deleted (10,000 unless told
// otherwise). It runs the daemon of this build in printer mode against the board
// simulator, in a network namespace of its own, connects five users of the client
// library, and reads the on-CPU time of the daemon's threads over idle windows
// (several; the median counts, and each is shown). Prints both figures side by side
// and their ratio beside its reference (1.5 or less wanted). At idle the daemon is on
// the CPU some 0.03 % of a core, so a window of a few seconds holds only milliseconds:
// the windows show how far apart readings of one state fall.
//
//   bench_idle [--tasks N] [--window S] [--windows N]
//
// Exit status 0 when it measured (whatever the figures), 2 when it could not set up
// or the printer did not do what it was asked.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/io_service.hpp>

#include "BoardSimProcess.h"
#include "Daemon.h"
#include "Measure.h"
#include "Vant/StateMachine/build.h"
#include "Vant/User/Printer.h"
#include "Vant/User/User.h"
#include "kel/Sodium.h"
#include "kel/bytes.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

const unsigned UserCount = 5;
const unsigned Batch = 500;  // tasks made at once while the history is filled
const auto Deadline = 120s;  // for any one step of the printer

struct Options {
    unsigned tasks = 10000;
    unsigned window = 10;  // seconds
    unsigned windows = 3;
};

bool parse(int argc, char** argv, Options& options) {
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string name = argv[i];
        const long value = std::atol(argv[i + 1]);
        if (value <= 0) return false;
        if (name == "--tasks") {
            options.tasks = static_cast<unsigned>(value);
        } else if (name == "--window") {
            options.window = static_cast<unsigned>(value);
        } else if (name == "--windows") {
            options.windows = static_cast<unsigned>(value);
        } else {
            return false;
        }
    }
    return argc % 2 == 1;
}

bool waitFor(const std::function<bool()>& condition, Soak::Daemon& daemon) {
    const auto end = Clock::now() + Deadline;
    std::string how;
    while (!condition()) {
        if (Clock::now() > end || !daemon.running(how)) return false;
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

// Five users of the client library on an I/O pool of their own.
class Users {
public:
    Users() : work(new boost::asio::io_service::work(io)) {
        for (int i = 0; i < 3; ++i) pool.emplace_back([this] { io.run(); });
        Vant::User::ClientSettings settings;
        // Finished service tasks ("StartingUp") leave soon; the printer keeps its pace.
        settings.autoDeletionDelay = 500ms;
        settings.sendingInterval = 100ms;
        for (unsigned u = 0; u < UserCount; ++u) {
            clients.emplace_back(new Vant::User::User(io, kel::bytes(32).randomize(), settings));
            clients.back()->start();
        }
    }
    ~Users() {
        for (auto& client : clients) client->stop();
        clients.clear();
        work.reset();
        io.stop();
        for (auto& thread : pool) thread.join();
    }

    // The user's proxy of the printer while connected, else null.
    Vant::User::Printer* printer(unsigned user, const kel::bytes& key) {
        Vant::User::Printer* proxy = clients[user]->getPrinter(key);
        return proxy != nullptr && proxy->connected() ? proxy : nullptr;
    }

    // Every user connected, and no live task in any user's copy.
    bool atRest(const kel::bytes& key) {
        for (unsigned u = 0; u < UserCount; ++u) {
            Vant::User::Printer* proxy = printer(u, key);
            if (proxy == nullptr) return false;
            const kel::var queue = proxy->taskQueue().getQueue();
            if (!queue.isMap() || !queue.has("tasks")) continue;
            for (unsigned i = 0; i < queue["tasks"].size(); ++i) {
                if (!Vant::StateMachine::Task(queue["tasks"][i]).isDeletion()) return false;
            }
        }
        return true;
    }

private:
    boost::asio::io_service io;
    std::unique_ptr<boost::asio::io_service::work> work;
    std::vector<std::thread> pool;
    std::vector<std::unique_ptr<Vant::User::User>> clients;
};

// Shares of one core the daemon's threads were on the CPU, in %, one per window, in
// rising order; empty when the daemon's threads cannot be read.
std::vector<double> idleCpu(pid_t pid, const Options& options) {
    std::this_thread::sleep_for(3s);  // the last confirmations and keep-alives settle
    std::vector<double> shares;
    for (unsigned w = 0; w < options.windows; ++w) {
        const double before = Soak::threadCpuSeconds(pid);
        std::this_thread::sleep_for(std::chrono::seconds(options.window));
        const double after = Soak::threadCpuSeconds(pid);
        if (before < 0 || after < before) return {};
        shares.push_back((after - before) * 100.0 / options.window);
    }
    std::sort(shares.begin(), shares.end());
    return shares;
}

std::string listed(const std::vector<double>& shares) {
    std::string text;
    char figure[32];
    for (double share : shares) {
        std::snprintf(figure, sizeof figure, "%s%.3f", text.empty() ? "" : " ", share);
        text += figure;
    }
    return text;
}

// Makes `count` tasks through user 0, each run to its end on the printer and deleted,
// `Batch` at a time; false when the printer does not keep up within the deadline.
bool fillHistory(Users& users, const kel::bytes& key, unsigned count, Soak::Daemon& daemon) {
    for (unsigned made = 0; made < count;) {
        Vant::User::Printer* proxy = users.printer(0, key);
        if (proxy == nullptr) return false;
        auto& queue = proxy->taskQueue();
        std::vector<std::string> batch;
        for (; batch.size() < Batch && made < count; ++made)
            batch.push_back(queue.makeTask("SaveNozzlePosition"));
        const bool ran = waitFor(
            [&] {
                for (const std::string& id : batch) {
                    if (!queue.isTaskDone(id)) return false;
                }
                return true;
            },
            daemon);
        if (!ran) return false;
        for (const std::string& id : batch) queue.deleteTask(id);
    }
    return waitFor([&] { return users.atRest(key); }, daemon);
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!parse(argc, argv, options)) {
        std::fprintf(stderr, "usage: bench_idle [--tasks N] [--window S] [--windows N]\n");
        return 2;
    }
    ::signal(SIGPIPE, SIG_IGN);
    // The daemon's port and announcements are fixed; in a namespace of its own this run
    // meets no other daemon on the machine. Nothing that starts a thread comes before.
    if (!Soak::enterOwnNamespace()) {
        std::fprintf(stderr, "bench_idle: needs a network namespace of its own (run as root)\n");
        return 2;
    }
    char pattern[] = "/tmp/tolvane-idle-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) return 2;
    const std::string work = pattern;
    const std::string home = work + "/home";
    if (Soak::runToEnd({TOLVANE_IDLE_SOURCE_DIR "/scripts/stage-home", home}) != 0) {
        std::fprintf(stderr, "bench_idle: scripts/stage-home %s failed\n", home.c_str());
        return 2;
    }
    Vant::StateMachine::buildStateMachine();
    ::setenv("TOLVANE_HOME", home.c_str(), 1);
    ::setenv("TOLVANE_BROADCAST", "127.255.255.255", 1);

    // The client library logs every change it hears; the figures keep the terminal.
    std::fflush(stdout);
    std::FILE* out = ::fdopen(::dup(1), "w");
    const int clientLog = ::open((work + "/client.log").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ::dup2(clientLog, 1);
    ::close(clientLog);

    int status = 2;
    {
        std::unique_ptr<BoardSim::Process> sim;
        try {
            sim.reset(new BoardSim::Process({"--instant"}));
        } catch (const std::exception& e) {
            std::fprintf(out, "bench_idle: the board simulator did not start: %s\n", e.what());
            return 2;
        }
        ::setenv("TOLVANE_MOTION_PORT", sim->motionPath().c_str(), 1);
        ::setenv("TOLVANE_LIGHTING_PORT", sim->lightingPath().c_str(), 1);
        const kel::bytes privateKey = kel::bytes(32).randomize();
        const kel::bytes key = kel::Sodium::publicKey(privateKey);
        Soak::Daemon daemon(TOLVANE_IDLE_DAEMON, privateKey.toHex(), work + "/daemon.log");
        std::string why;
        if (!daemon.start(std::chrono::seconds(60), why)) {
            std::fprintf(out, "bench_idle: the daemon did not start: %s\n", why.c_str());
        } else {
            Users users;
            std::vector<double> empty, history;
            if (!waitFor([&] { return users.atRest(key); }, daemon)) {
                std::fprintf(out, "bench_idle: the users did not find the printer at rest\n");
            } else if ((empty = idleCpu(daemon.pid(), options)).empty()) {
                std::fprintf(out, "bench_idle: cannot read the daemon's CPU time\n");
            } else if (!fillHistory(users, key, options.tasks, daemon)) {
                std::fprintf(out, "bench_idle: the printer did not run and delete %u tasks\n", options.tasks);
            } else if ((history = idleCpu(daemon.pid(), options)).empty()) {
                std::fprintf(out, "bench_idle: cannot read the daemon's CPU time\n");
            } else {
                const double before = empty[empty.size() / 2], after = history[history.size() / 2];
                std::fprintf(out,
                             "idle CPU of the daemon, %u users (%% of a core, median of %u windows of %u s)\n"
                             "  empty history %8.3f    after %u tasks %8.3f    ratio %.2f (wanted <= 1.5)\n"
                             "  windows: empty %s; after %s\n",
                             UserCount, options.windows, options.window, before, options.tasks, after,
                             after / before, listed(empty).c_str(), listed(history).c_str());
                status = 0;
            }
            if (status != 0) std::fprintf(out, "%s", daemon.tail(20).c_str());
        }
        std::string ignoredHow;
        daemon.stop(std::chrono::seconds(30), ignoredHow);
    }
    if (status == 0) {
        Soak::runToEnd({"rm", "-rf", "--", work});
    } else {
        std::fprintf(out, "bench_idle: logs in %s\n", work.c_str());
    }
    std::fclose(out);
    return status;
}
