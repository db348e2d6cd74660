#include "Vant/Ferrow/Startup.h"

#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <exception>
#include <fstream>
#include <iostream>
#include <thread>
#include <vector>

#include "Vant/IoThread.h"
#include "Vant/Log.h"
#include "Vant/StateMachine/StateType.h"
#include "Vant/StateMachine/build.h"
#include "kel/var.h"

namespace Vant {
namespace Ferrow {

namespace {

typedef std::chrono::steady_clock Clock;

sigset_t stopSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    return set;
}

std::string signalName(int number) {
    if (number == SIGTERM) return "SIGTERM";
    if (number == SIGINT) return "SIGINT";
    return "signal " + std::to_string(number);
}

// Takes the next of `set`'s signals (they are blocked, so they wait for this); 0 when
// none came by `deadline`.
int waitForSignal(const sigset_t& set, Clock::time_point deadline) {
    for (;;) {
        const auto left = deadline - Clock::now();
        if (left <= Clock::duration::zero()) return 0;
        const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(left);
        timespec timeout;
        timeout.tv_sec = static_cast<time_t>(seconds.count());
        timeout.tv_nsec =
            static_cast<long>(std::chrono::duration_cast<std::chrono::nanoseconds>(left - seconds).count());
        const int number = ::sigtimedwait(&set, nullptr, &timeout);
        if (number > 0) return number;
        if (errno != EAGAIN && errno != EINTR) return 0;
    }
}

// Runs from the first stop signal on, on a thread of its own: a second signal ends
// the process at once, killed by that signal as if it had never been blocked; the
// end of the stop's deadline ends it with status 1.
void endAtOnceOnSecondSignal(Clock::time_point deadline) {
    const int number = waitForSignal(stopSignals(), deadline);
    if (number == 0) {
        logLine("main() the stop did not end within " + std::to_string(StopDeadline.count()) +
                " s: ending now");
        std::_Exit(1);
    }
    logLine("main() " + signalName(number) + " again: ending now");
    std::signal(number, SIG_DFL);
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, number);
    ::pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
    ::raise(number);
    std::_Exit(128 + number);
}

}  // namespace

CommandLine parseCommandLine(int argc, const char* const* argv) {
    CommandLine options;
    for (int a = 1; a < argc; ++a) {
        const std::string argument = argv[a] != nullptr ? argv[a] : "";
        const std::string trustedUsers = "--trusted-users";
        if (argument == trustedUsers) {
            options.trustedUsersWithoutFile = ++a >= argc;
            options.trustedUsersPath = options.trustedUsersWithoutFile ? "" : argv[a];
            continue;
        }
        if (argument.compare(0, trustedUsers.size() + 1, trustedUsers + "=") == 0) {
            options.trustedUsersPath = argument.substr(trustedUsers.size() + 1);
            options.trustedUsersWithoutFile = options.trustedUsersPath.empty();
            continue;
        }
        if (argument.size() < 2 || argument[0] != '-') continue;
        switch (argument[1]) {
            case 'k':
                if (++a < argc) options.privKeyHex = argv[a];
                break;
            case 't':
                if (++a < argc) options.fakeUserTaskType = argv[a];
                break;
            case 'p':
                options.prompt = true;
                break;
            case 'u':
                options.fakeUser = true;
                break;
            default:
                break;
        }
    }
    return options;
}

void printUsage() {
    std::cerr << "Usage :" << std::endl;
    std::cerr << "\t-k    Peer's private key in hexadecimal (required)." << std::endl;
    std::cerr << "\t-p    Port to start a P2P server as." << std::endl;
}

std::string readFile(const std::string& path) {
    std::ifstream file(path, std::ios::in | std::ios::binary);
    if (!file) return std::string();
    file.seekg(0, std::ios::end);
    const std::streamoff length = file.tellg();
    std::string content;
    if (length > 0) content.reserve(static_cast<size_t>(length));
    file.seekg(0, std::ios::beg);
    content.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    return content;
}

bool fileExist(const std::string& path) {
    struct stat info;
    return ::stat(path.c_str(), &info) == 0;
}

void blockStopSignals() {
    const sigset_t set = stopSignals();
    ::pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

void blockHangUpSignal() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGHUP);
    ::pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

void runPool(boost::asio::io_service& io, const std::function<void()>& stop,
             const std::function<void()>& console, const std::function<void()>& hangUp) {
    std::vector<std::thread> pool;
    for (int i = 0; i < PoolSize; ++i) pool.emplace_back([&io] { runIoService(io); });
    // The console waits on standard input, which nothing interrupts: it is left
    // behind when the process ends.
    if (console) std::thread(console).detach();

    sigset_t awaited = stopSignals();
    if (hangUp) sigaddset(&awaited, SIGHUP);
    const Clock::time_point end = Clock::now() + std::chrono::seconds(MainSleepSeconds);
    int number = 0;
    while ((number = waitForSignal(awaited, end)) == SIGHUP) {
        try {
            hangUp();
        } catch (const std::exception& e) {
            logLine(std::string("main() SIGHUP not handled : ") + e.what());
        }
    }
    std::thread(endAtOnceOnSecondSignal, Clock::now() + StopDeadline).detach();
    if (number != 0) {
        logLine("main() " + signalName(number) +
                " received: stopping (a second signal ends the daemon at once)");
    } else {
        logLine("main() no stop signal for " + std::to_string(MainSleepSeconds) + " s: stopping");
    }
    if (stop) stop();
    io.stop();
    for (auto& thread : pool) thread.join();
}

bool loadStateMachine(const std::string& path) {
    if (!fileExist(path)) {
        StateMachine::buildStateMachine();
        return true;
    }
    try {
        StateMachine::StateTypes = kel::var::fromJsonString(readFile(path));
    } catch (const std::exception& e) {
        std::cerr << "loadStateMachine() " << path << " does not read : " << e.what() << std::endl;
        return false;
    }
    return true;
}

}  // namespace Ferrow
}  // namespace Vant
