// Vant::Process: one external program (slicer, md5sum, Wi-Fi script, production-mode
// script) started from an argument vector, never through a shell, in a process group
// of its own, with its standard output read line by line. One object belongs to the
// one thread that started it (an I/O thread or a runner); it is not shared.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace Vant {

class Process {
public:
    typedef std::chrono::steady_clock Clock;
    enum class Read { Line, End, TimedOut };

    // Starts argv[0] (looked up in PATH when it has no slash) with argv as its
    // arguments; standard input is /dev/null, standard output is read here, standard
    // error too when mergeError is set (a crash's traceback then reaches the reader),
    // else it is inherited. No descriptor of this process leaks into the child.
    explicit Process(const std::vector<std::string>& argv, bool mergeError = false);
    // Ends the group if the program still runs, and reaps it.
    virtual ~Process();
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    // False when the program could not be started; error() then says why.
    bool started() const { return pid > 0; }
    const std::string& error() const { return startError; }
    pid_t id() const { return pid; }

    // Blocks until the next line of output, given without its newline (a last line
    // without one is given too; a line longer than maxLine comes in pieces). False at
    // the end of the output.
    bool readLine(std::string& line);
    // The same, giving up at `deadline` (TimedOut; what was read so far stays for the
    // next call). A program that neither writes nor closes its output cannot hold
    // the reader beyond it.
    Read readLine(std::string& line, Clock::time_point deadline);

    // Waits until the program has ended or `deadline` has passed; true when it has
    // ended (wait() then returns at once).
    bool endsBy(Clock::time_point deadline);

    // Waits for the program to end and reaps it: its exit status, 128 + the signal
    // that ended it, or -1 when it never started.
    int wait();

    // Ends the whole process group (the program and whatever it started): SIGTERM,
    // then SIGKILL once `grace` has passed or the program has ended; then reaps it.
    // Only this group is touched. Returns as wait() does.
    int end(std::chrono::milliseconds grace = std::chrono::milliseconds(2000));

    static const size_t maxLine = 65536;

private:
    bool leaderExited();
    int reap();

    pid_t pid = -1;
    int outFd = -1;
    int status = -1;
    bool reaped = false;
    std::string startError;
    std::string pending;  // output read but not yet handed out as a line
};

}  // namespace Vant
