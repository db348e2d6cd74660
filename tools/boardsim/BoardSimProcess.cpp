#include "BoardSimProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace BoardSim {

std::string executablePath() {
#ifdef TOLVANE_BOARDSIM_EXECUTABLE
    return TOLVANE_BOARDSIM_EXECUTABLE;
#else
    const char* build = std::getenv("TOLVANE_BUILD_DIR");
    return std::string(build ? build : "build") + "/bin/tolvane-boardsim";
#endif
}

namespace {

bool exists(const std::string& path) {
    struct stat s;
    return ::lstat(path.c_str(), &s) == 0;
}

}  // namespace

int waitOrKill(pid_t pid, std::chrono::milliseconds timeout, struct rusage* usage) {
    int status = 0;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (::wait4(pid, &status, WNOHANG, usage) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(pid, SIGKILL);
            ::wait4(pid, &status, 0, usage);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return status;
}

Process::Process(std::vector<std::string> arguments) {
    char pattern[] = "/tmp/tolvane-boardsim-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp failed");
    dir = pattern;

    std::vector<std::string> args = {executablePath(),  "--motion",  motionPath(),    "--lighting",
                                     lightingPath(),    "--log",     logPath(),       "--lighting-log",
                                     lightingLogPath(), "--control", dir + "/control"};
    args.insert(args.end(), arguments.begin(), arguments.end());
    // In a cross build the tests run under an emulator (TOLVANE_EMULATOR holds its
    // command words); the simulator is a program of the same build and runs under it too.
    if (const char* emulator = std::getenv("TOLVANE_EMULATOR")) {
        std::istringstream words(emulator);
        std::vector<std::string> prefix;
        for (std::string word; words >> word;) prefix.push_back(word);
        args.insert(args.begin(), prefix.begin(), prefix.end());
    }
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    const std::string outputPath = dir + "/output.txt";

    pid = ::fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        const int out = ::open(outputPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (out >= 0) {
            ::dup2(out, 1);
            ::dup2(out, 2);
        }
        ::execvp(argv[0], argv.data());
        ::_exit(127);
    }

    // Ready once both links exist (the motion link is made last).
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!exists(motionPath())) {
        int status = 0;
        if (::waitpid(pid, &status, WNOHANG) == pid) {
            pid = -1;
            throw std::runtime_error("tolvane-boardsim ended at start: " + output());
        }
        if (std::chrono::steady_clock::now() > deadline)
            throw std::runtime_error("tolvane-boardsim not ready");
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }

    controlFd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, (dir + "/control").c_str(), sizeof address.sun_path - 1);
    if (controlFd < 0 || ::connect(controlFd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        throw std::runtime_error(std::string("cannot reach the simulator's control socket: ") +
                                 std::strerror(errno));
    }
}

Process::~Process() {
    if (controlFd >= 0) ::close(controlFd);
    if (pid > 0) {
        ::kill(pid, SIGTERM);
        waitOrKill(pid, std::chrono::seconds(5));
    }
    for (const char* name :
         {"/received.log", "/lighting.log", "/output.txt", "/control", "/motion", "/lighting"}) {
        ::unlink((dir + name).c_str());
    }
    ::rmdir(dir.c_str());
}

std::string Process::control(const std::string& command) {
    std::lock_guard<std::mutex> lock(controlMutex);
    const std::string request = command + "\n";
    if (::send(controlFd, request.data(), request.size(), MSG_NOSIGNAL) !=
        static_cast<ssize_t>(request.size())) {
        throw std::runtime_error("control send failed");
    }
    std::string reply;
    char c;
    while (::read(controlFd, &c, 1) == 1) {
        if (c == '\n') return reply;
        reply += c;
    }
    throw std::runtime_error("control reply lost");
}

std::vector<std::string> Process::received() {
    control("flush");
    std::ifstream in(logPath());
    std::vector<std::string> lines;
    std::string line;
    while (std::getline(in, line)) lines.push_back(line);
    return lines;
}

bool Process::waitForReceived(size_t count, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (received().size() < count) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

unsigned Process::mismatches() {
    const std::string reply = control("mismatches");
    return static_cast<unsigned>(std::strtoul(reply.c_str() + 3, nullptr, 10));
}

std::string Process::output() const {
    std::ifstream in(dir + "/output.txt");
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

}  // namespace BoardSim
