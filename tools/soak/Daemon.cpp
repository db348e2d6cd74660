#include "Daemon.h"

#include <fcntl.h>
#include <net/if.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

extern char** environ;

namespace Soak {

namespace {

// The log file is rotated (to <path>.1) past this size, so an hours-long soak keeps
// at most twice this much of the daemon's chatty output.
const long LogLimit = 64L * 1024 * 1024;
const std::size_t RecentLines = 200;
const std::string NewTask = "NEW\u00a0TASK\u00a0: ";
const std::string KeyLine = "PUBLIC\u00a0KEY\u00a0= ";

}  // namespace

pid_t spawn(const std::vector<std::string>& argv, int outFd) {
    std::vector<std::string> words = argv;
    std::vector<char*> args;
    for (auto& word : words) args.push_back(&word[0]);
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    if (outFd >= 0) {
        posix_spawn_file_actions_adddup2(&actions, outFd, 1);
    } else {
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    }
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    pid_t pid = -1;
    const int rc = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    return rc == 0 ? pid : -1;
}

std::vector<std::string> emulatorWords() {
    std::vector<std::string> words;
    if (const char* emulator = std::getenv("TOLVANE_EMULATOR")) {
        std::istringstream text(emulator);
        for (std::string word; text >> word;) words.push_back(word);
    }
    return words;
}

int runToEnd(const std::vector<std::string>& argv) {
    const pid_t pid = spawn(argv);
    int status = 0;
    if (pid < 0 || ::waitpid(pid, &status, 0) != pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

bool enterOwnNamespace() {
    if (::unshare(CLONE_NEWNET) != 0) return false;
    const int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ifreq request{};
    std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
    const bool up = s >= 0 && ::ioctl(s, SIOCGIFFLAGS, &request) == 0 &&
                    (request.ifr_flags |= IFF_UP, ::ioctl(s, SIOCSIFFLAGS, &request) == 0);
    if (s >= 0) ::close(s);
    return up;
}

Daemon::Daemon(std::string program, std::string keyHex, std::string logPath)
    : program(std::move(program)), keyHex(std::move(keyHex)), logPath(std::move(logPath)) {}

Daemon::~Daemon() {
    std::string ignoredHow;
    if (!ended) stop(std::chrono::seconds(5), ignoredHow);
    if (reader.joinable()) reader.join();
}

bool Daemon::start(std::chrono::seconds deadline, std::string& why) {
    if (reader.joinable()) reader.join();
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) {
        why = std::string("no pipe: ") + std::strerror(errno);
        return false;
    }
    std::vector<std::string> argv = emulatorWords();
    argv.insert(argv.end(), {program, "-k", keyHex});
    {
        std::lock_guard<std::mutex> lock(outputMutex);
        created.clear();
        keyLineSeen = false;
        readerDone = false;
        drainOnly = false;
        recent.push_back("=== soak: daemon start " + std::to_string(lives + 1) + " ===");
    }
    child = spawn(argv, out[1]);
    ::close(out[1]);
    if (child < 0) {
        ::close(out[0]);
        std::lock_guard<std::mutex> lock(outputMutex);
        readerDone = true;
        why = "cannot start " + program;
        return false;
    }
    ended = false;
    ++lives;
    reader = std::thread([this, fd = out[0]] { read(fd); });

    std::unique_lock<std::mutex> lock(outputMutex);
    outputChanged.wait_for(lock, deadline, [this] { return keyLineSeen || readerDone; });
    if (keyLineSeen) return true;
    why = readerDone ? "the daemon ended at start"
                     : "no public-key line within " + std::to_string(deadline.count()) + " s";
    return false;
}

void Daemon::read(int fd) {
    std::FILE* log = std::fopen(logPath.c_str(), "a");
    std::string partial;
    char buffer[65536];
    for (;;) {
        pollfd ready{fd, POLLIN, 0};
        const int polled = ::poll(&ready, 1, 200);
        if (polled == 0) {
            std::lock_guard<std::mutex> lock(outputMutex);
            if (drainOnly) break;  // ended, and a child of it that kept the pipe is quiet
            continue;
        }
        const ssize_t n = polled > 0 ? ::read(fd, buffer, sizeof buffer) : -1;
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        if (log != nullptr) {
            std::fwrite(buffer, 1, static_cast<std::size_t>(n), log);
            if (std::ftell(log) > LogLimit) {
                std::fclose(log);
                std::rename(logPath.c_str(), (logPath + ".1").c_str());
                log = std::fopen(logPath.c_str(), "a");
            }
        }
        partial.append(buffer, static_cast<std::size_t>(n));
        std::lock_guard<std::mutex> lock(outputMutex);
        std::size_t begin = 0;
        for (std::size_t end; (end = partial.find('\n', begin)) != std::string::npos; begin = end + 1) {
            const std::string line = partial.substr(begin, end - begin);
            if (line.compare(0, NewTask.size(), NewTask) == 0) created.insert(line.substr(NewTask.size()));
            if (line.compare(0, KeyLine.size(), KeyLine) == 0) keyLineSeen = true;
            if (line.find("xception") != std::string::npos) exceptionLine = line;
            recent.push_back(line);
            if (recent.size() > RecentLines) recent.pop_front();
        }
        partial.erase(0, begin);
        outputChanged.notify_all();
    }
    if (log != nullptr) std::fclose(log);
    ::close(fd);
    std::lock_guard<std::mutex> lock(outputMutex);
    readerDone = true;
    outputChanged.notify_all();
}

std::string Daemon::describe(int status) {
    if (WIFEXITED(status)) return "exited with status " + std::to_string(WEXITSTATUS(status));
    if (WIFSIGNALED(status)) {
        return std::string("was ended by signal ") + std::to_string(WTERMSIG(status)) + " (" +
               ::strsignal(WTERMSIG(status)) + ")";
    }
    return "ended";
}

bool Daemon::running(std::string& how) {
    if (!ended && ::waitpid(child, &endStatus, WNOHANG) == child) {
        ended = true;
        std::lock_guard<std::mutex> lock(outputMutex);
        drainOnly = true;
    }
    if (ended) how = describe(endStatus);
    return !ended;
}

bool Daemon::stop(std::chrono::seconds grace, std::string& how) {
    if (running(how)) {
        ::kill(child, SIGTERM);
        const auto deadline = std::chrono::steady_clock::now() + grace;
        bool killed = false;
        while (running(how)) {
            if (!killed && std::chrono::steady_clock::now() > deadline) {
                ::kill(child, SIGKILL);
                killed = true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        if (killed) how = "did not end within " + std::to_string(grace.count()) + " s of SIGTERM";
    }
    if (reader.joinable()) reader.join();
    return WIFEXITED(endStatus) && WEXITSTATUS(endStatus) == 0 &&
           how.find("did not end") == std::string::npos;
}

std::set<std::string> Daemon::newTasks() {
    std::lock_guard<std::mutex> lock(outputMutex);
    return created;
}

std::string Daemon::lastException() {
    std::lock_guard<std::mutex> lock(outputMutex);
    return exceptionLine;
}

std::string Daemon::tail(std::size_t lines) {
    std::lock_guard<std::mutex> lock(outputMutex);
    std::string text;
    const std::size_t from = recent.size() > lines ? recent.size() - lines : 0;
    for (std::size_t i = from; i < recent.size(); ++i) text += "    " + recent[i] + "\n";
    return text;
}

}  // namespace Soak
