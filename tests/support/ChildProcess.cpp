#include "support/ChildProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace testsupport {

namespace {

// argv with the emulator's words in front of its first argument that is a program of
// the build, so that wrappers given first ("ip netns exec ns <program>") keep working.
std::vector<std::string> withEmulator(std::vector<std::string> argv) {
    const char* emulator = std::getenv("TOLVANE_EMULATOR");
    if (emulator == nullptr || *emulator == '\0') return argv;
    const std::string programs = builtProgram("");
    const auto program = std::find_if(argv.begin(), argv.end(), [&](const std::string& argument) {
        return argument.size() > programs.size() && argument.compare(0, programs.size(), programs) == 0;
    });
    std::istringstream words(emulator);
    if (program != argv.end())
        argv.insert(program, std::istream_iterator<std::string>(words), std::istream_iterator<std::string>());
    return argv;
}

}  // namespace

ChildProcess::ChildProcess(const std::vector<std::string>& givenArgv,
                           const std::map<std::string, std::string>& env) {
    const std::vector<std::string> argv = withEmulator(givenArgv);
    int outPipe[2], errPipe[2];
    if (pipe2(outPipe, O_CLOEXEC) != 0 || pipe2(errPipe, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    // posix_spawn, not fork: a forked child of a multithreaded test that allocated
    // before exec could wait forever on a lock another thread held at the fork.
    std::map<std::string, std::string> merged(env.begin(), env.end());  // given first: emplace keeps them
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string text = *entry;
        merged.emplace(text.substr(0, text.find('=')), text.substr(text.find('=') + 1));
    }
    std::vector<std::string> environment, arguments = argv;
    for (const auto& entry : merged) environment.push_back(entry.first + "=" + entry.second);
    std::vector<char*> envp{nullptr}, args{nullptr};
    for (auto& e : environment) envp.insert(envp.end() - 1, &e[0]);
    for (auto& a : arguments) args.insert(args.end() - 1, &a[0]);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, outPipe[1], 1);
    posix_spawn_file_actions_adddup2(&actions, errPipe[1], 2);
    const int rc = posix_spawnp(&child, args[0], &actions, nullptr, args.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) child = -1, status = 127;  // as a failed exec: it "ran" and ended with 127
    close(outPipe[1]);
    close(errPipe[1]);
    outFd = outPipe[0];
    errFd = errPipe[0];
}

ChildProcess::~ChildProcess() {
    if (child > 0 && status < 0) {
        ::kill(child, SIGKILL);
        int ignoredStatus = 0;
        waitpid(child, &ignoredStatus, 0);
    }
    if (outFd >= 0) close(outFd);
    if (errFd >= 0) close(errFd);
}

void ChildProcess::pump(int timeoutMs) {
    pollfd fds[2] = {{outFd, POLLIN, 0}, {errFd, POLLIN, 0}};
    if (poll(fds, 2, timeoutMs) <= 0) return;
    char buffer[4096];
    for (int i = 0; i < 2; ++i) {
        if (fds[i].fd < 0 || (fds[i].revents & (POLLIN | POLLHUP)) == 0) continue;
        const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
        if (n > 0) {
            (i == 0 ? outText : errText).append(buffer, static_cast<size_t>(n));
        } else {
            close(fds[i].fd);
            (i == 0 ? outFd : errFd) = -1;
        }
    }
}

bool ChildProcess::waitForOutput(const std::string& text, std::chrono::milliseconds deadline) {
    const auto end = std::chrono::steady_clock::now() + deadline;
    // Only the new output is searched again: a chatty child's output grows large.
    for (std::size_t from = 0; outText.find(text, from) == std::string::npos;) {
        if (outText.size() >= text.size()) from = outText.size() - text.size() + 1;
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        if (left.count() <= 0 || (outFd < 0 && errFd < 0)) return false;
        pump(static_cast<int>(std::min<long long>(left.count(), 100)));
    }
    return true;
}

int ChildProcess::wait(std::chrono::milliseconds deadline) {
    const auto end = std::chrono::steady_clock::now() + deadline;
    while (status < 0) {
        int raw = 0;
        const pid_t done = waitpid(child, &raw, WNOHANG);
        if (done == child) {
            status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
            break;
        }
        if (std::chrono::steady_clock::now() >= end) return -1;
        pump(20);
    }
    while (outFd >= 0 || errFd >= 0) pump(100);
    return status;
}

bool processRunning(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string content;
    if (!std::getline(stat, content)) return false;
    const auto close = content.rfind(')');
    return close != std::string::npos && content.size() > close + 2 && content[close + 2] != 'Z';
}

bool waitUntilEnded(pid_t pid, std::chrono::milliseconds deadline) {
    const auto end = std::chrono::steady_clock::now() + deadline;
    while (processRunning(pid)) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

std::string builtProgram(const std::string& name) {
    const char* dir = std::getenv("TOLVANE_BUILD_DIR");
    return std::string(dir != nullptr ? dir : "build") + "/bin/" + name;
}

}  // namespace testsupport
