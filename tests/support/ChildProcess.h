// A child process for tests: started without a shell, its output and error captured
// through pipes, always ended by its own process id (SIGKILL in the destructor). In a
// cross build the programs of the build run through the emulator in TOLVANE_EMULATOR.
#pragma once

#include <signal.h>
#include <sys/types.h>

#include <chrono>
#include <map>
#include <string>
#include <vector>

namespace testsupport {

class ChildProcess {
public:
    // env entries are added to (or override) the test's own environment.
    ChildProcess(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env = {});
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return child; }

    // Reads standard output until it holds `text` or the deadline passes.
    bool waitForOutput(const std::string& text, std::chrono::milliseconds deadline);
    // The exit status (128+signal when a signal ended it), or -1 on time-out.
    int wait(std::chrono::milliseconds deadline);
    void signal(int sig) {
        if (child > 0 && status < 0) ::kill(child, sig);
    }
    // Everything read from standard output or error so far.
    const std::string& out() { return pump(0), outText; }
    const std::string& err() { return pump(0), errText; }

private:
    void pump(int timeoutMs);

    pid_t child = -1;
    int outFd = -1;
    int errFd = -1;
    int status = -1;
    std::string outText;
    std::string errText;
};

// True while the process exists and has not ended (a zombie counts as ended).
bool processRunning(pid_t pid);
// Waits until processRunning(pid) is false; false at the deadline.
bool waitUntilEnded(pid_t pid, std::chrono::milliseconds deadline);

// Path of a program built by this project (bin/ of the build directory under test).
std::string builtProgram(const std::string& name);

}  // namespace testsupport
