// BoardSim::Process: starts tolvane-boardsim as a child process in a fresh
// temporary folder, waits until its ports are linked, talks to its control socket
// and ends it (by its process id) when destroyed. For tests and benchmarks of any
// component that needs the printer's boards. control() may be called from any
// thread; the rest from the owning thread.
#pragma once

#include <sys/resource.h>
#include <sys/types.h>

#include <chrono>
#include <mutex>
#include <string>
#include <vector>

namespace BoardSim {

class Process {
public:
    // `arguments` are added to the simulator's command line ("--instant", "--time-scale", "50"...).
    explicit Process(std::vector<std::string> arguments = {});
    ~Process();
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    const std::string& folder() const { return dir; }
    std::string motionPath() const { return dir + "/motion"; }
    std::string lightingPath() const { return dir + "/lighting"; }
    std::string logPath() const { return dir + "/received.log"; }
    std::string lightingLogPath() const { return dir + "/lighting.log"; }

    // Sends one control command and returns the simulator's reply line.
    std::string control(const std::string& command);
    // The lines the board has received so far, in order.
    std::vector<std::string> received();
    // Waits until at least `count` lines were received; false at the deadline.
    bool waitForReceived(size_t count, std::chrono::milliseconds deadline = std::chrono::seconds(10));
    unsigned mismatches();
    // What the simulator wrote to its standard output and error.
    std::string output() const;

private:
    std::string dir;
    pid_t pid = -1;
    int controlFd = -1;
    std::mutex controlMutex;  // guards controlFd's request/reply pairs; any caller thread contends
};

// The path of the built simulator.
std::string executablePath();

// Waits for child `pid` to end; kills it (SIGKILL) when `timeout` passes first.
// Returns its wait status; `usage`, when given, receives the CPU time and other
// resources the child used (wait4).
int waitOrKill(pid_t pid, std::chrono::milliseconds timeout, struct rusage* usage = nullptr);

}  // namespace BoardSim
