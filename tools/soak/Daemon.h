// The printer daemon under soak: started in printer mode with a fixed key (so a
// restart is the same printer), through the emulator named by TOLVANE_EMULATOR when
// there is one, its output read on a thread of its own: written to a log file that
// is rotated at a size limit, its last lines kept for a failure report, and the ids
// of its "NEW TASK" lines collected per life. start, stop and running are called
// from the soak's main thread; the reader thread shares only what outputMutex guards.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace Soak {

// Starts `argv` without a shell, its standard output and error on `outFd` (/dev/null
// when negative), in the soak's environment; -1 when it cannot start.
pid_t spawn(const std::vector<std::string>& argv, int outFd = -1);

// The words of TOLVANE_EMULATOR ("qemu-arm -L /"), empty when unset.
std::vector<std::string> emulatorWords();

// Runs a short program to its end; its exit status, -1 when it did not start.
int runToEnd(const std::vector<std::string>& argv);

// Moves the process into a network namespace of its own with its loopback up: the
// daemon, its users and its announcements see nothing of the machine's network, and
// the namespace goes away with the last process in it. Must run before any thread is
// started; false when it cannot (not root, no namespaces).
bool enterOwnNamespace();

class Daemon {
public:
    Daemon(std::string program, std::string keyHex, std::string logPath);
    ~Daemon();
    Daemon(const Daemon&) = delete;
    Daemon& operator=(const Daemon&) = delete;

    // Starts a new life and waits for the public-key line; false (with `why`) when
    // it does not come within `deadline`.
    bool start(std::chrono::seconds deadline, std::string& why);
    // SIGTERM, then waits up to `grace` for the end; SIGKILL after that. True when it
    // exited by itself with status 0 within the grace; `how` says how it ended.
    bool stop(std::chrono::seconds grace, std::string& how);
    // False once the process has ended; `how` then says how.
    bool running(std::string& how);

    pid_t pid() const { return child; }
    unsigned life() const { return lives; }
    // Ids of the "NEW TASK" lines of the current life.
    std::set<std::string> newTasks();
    // The last lines of output, for a failure report.
    std::string tail(std::size_t lines);
    // The last line that reported an exception ("" when none), for a failure report.
    std::string lastException();

private:
    void read(int fd);
    static std::string describe(int status);

    const std::string program;
    const std::string keyHex;
    const std::string logPath;
    pid_t child = -1;
    int endStatus = 0;
    bool ended = true;
    unsigned lives = 0;
    std::thread reader;

    // Guards recent, created, exceptionLine and the reader's state: the reader thread against the main
    // thread.
    std::mutex outputMutex;
    std::condition_variable outputChanged;
    std::deque<std::string> recent;
    std::set<std::string> created;
    std::string exceptionLine;
    bool keyLineSeen = false;
    bool readerDone = true;
    bool drainOnly = false;  // the process has ended: the reader stops once its pipe is quiet
};

}  // namespace Soak
