// A child process for tests: started without a shell from an argument vector, with
// its standard output and error captured through pipes, and always ended by its
// own process id (SIGKILL in the destructor if it is still running). In a cross
// build a program of the build (builtProgram) is started through the emulator
// named by TOLVANE_EMULATOR.
#pragma once

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
    // Waits for the process to end; returns its exit status, or -1 on time-out
    // (the process then keeps running) and 128+signal when a signal ended it.
    int wait(std::chrono::milliseconds deadline);
    // Sends a signal to this process only.
    void signal(int sig);

    const std::string& out();  // everything read from standard output so far
    const std::string& err();  // everything read from standard error so far

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

// In a cross build the programs of the build run on this machine only through the
// emulator named by TOLVANE_EMULATOR (its command words, space-separated): argv with
// those words in front of its first argument that is a program of the build, so
// wrappers given first ("ip netns exec ns <program>") keep working; argv unchanged
// otherwise. For code that starts the programs of the build without ChildProcess.
std::vector<std::string> withEmulator(const std::vector<std::string>& argv);

}  // namespace testsupport
