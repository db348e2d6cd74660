#include "Vant/Process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <thread>

extern char** environ;

namespace Vant {

namespace {

// Owns the spawn attributes and file actions for the length of one start.
struct SpawnSetup {
    posix_spawnattr_t attr;
    posix_spawn_file_actions_t actions;
    SpawnSetup() {
        posix_spawnattr_init(&attr);
        posix_spawn_file_actions_init(&actions);
    }
    ~SpawnSetup() {
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attr);
    }
};

}  // namespace

Process::Process(const std::vector<std::string>& argv, bool mergeError) {
    if (argv.empty()) {
        startError = "empty argument vector";
        return;
    }
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        startError = std::string("pipe: ") + std::strerror(errno);
        return;
    }
    SpawnSetup setup;
    // A group of its own (id = the child's pid), default signal dispositions and an
    // empty signal mask, whatever this process has blocked or ignored.
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setflags(&setup.attr,
                             POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    posix_spawnattr_setpgroup(&setup.attr, 0);
    posix_spawnattr_setsigmask(&setup.attr, &none);
    posix_spawnattr_setsigdefault(&setup.attr, &all);
    posix_spawn_file_actions_addopen(&setup.actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&setup.actions, fds[1], 1);
    if (mergeError) posix_spawn_file_actions_adddup2(&setup.actions, fds[1], 2);
    posix_spawn_file_actions_addclosefrom_np(&setup.actions, 3);

    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t child = -1;
    const int rc = posix_spawnp(&child, args[0], &setup.actions, &setup.attr, args.data(), environ);
    close(fds[1]);
    if (rc != 0) {
        close(fds[0]);
        startError = argv[0] + ": " + std::strerror(rc);
        return;
    }
    pid = child;
    outFd = fds[0];
}

Process::~Process() {
    if (started() && !reaped) end();
    if (outFd >= 0) close(outFd);
}

bool Process::readLine(std::string& line) {
    return readLine(line, Clock::time_point::max()) == Read::Line;
}

Process::Read Process::readLine(std::string& line, Clock::time_point deadline) {
    for (;;) {
        const size_t newline = pending.find('\n');
        if (newline != std::string::npos || pending.size() >= maxLine) {
            const size_t length = newline != std::string::npos ? newline : maxLine;
            line.assign(pending, 0, length);
            pending.erase(0, newline != std::string::npos ? length + 1 : length);
            return Read::Line;
        }
        if (outFd < 0) break;
        if (deadline != Clock::time_point::max()) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (left <= 0) return Read::TimedOut;
            pollfd ready{outFd, POLLIN, 0};
            const int found = ::poll(&ready, 1, static_cast<int>(std::min<long long>(left, INT_MAX)));
            if (found == 0 || (found < 0 && errno == EINTR)) continue;
            // Otherwise the read below has something to say: data, the end or an error.
        }
        char buffer[4096];
        const ssize_t n = ::read(outFd, buffer, sizeof buffer);
        if (n > 0) {
            pending.append(buffer, static_cast<size_t>(n));
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            close(outFd);
            outFd = -1;
        }
    }
    if (pending.empty()) return Read::End;
    line.swap(pending);
    pending.clear();
    return Read::Line;
}

bool Process::leaderExited() {
    // WNOWAIT leaves the program a zombie: its pid, and so its group id, stay
    // reserved until reap(), so a later signal to the group cannot reach a stranger.
    siginfo_t info;
    std::memset(&info, 0, sizeof info);
    return waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
           info.si_pid == pid;
}

int Process::reap() {
    int raw = 0;
    pid_t done;
    do {
        done = waitpid(pid, &raw, 0);
    } while (done < 0 && errno == EINTR);
    reaped = true;
    if (done == pid) status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
    return status;
}

int Process::wait() {
    if (!started()) return -1;
    if (reaped) return status;
    return reap();
}

bool Process::endsBy(Clock::time_point deadline) {
    if (!started() || reaped) return true;
    while (!leaderExited()) {
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

int Process::end(std::chrono::milliseconds grace) {
    if (!started()) return -1;
    if (reaped) return status;
    ::kill(-pid, SIGTERM);
    endsBy(Clock::now() + grace);
    // Whatever of the group is left (helpers that ignored SIGTERM) ends now.
    ::kill(-pid, SIGKILL);
    return reap();
}

}  // namespace Vant
