// Start-up helpers of the daemon's entry point: the command-line scan, the usage
// text, the two small file helpers the catalogue loading uses, and the I/O pool with
// the wait for a stop signal. All run on the main thread; blockStopSignals before
// any other thread exists.
#pragma once

#include <chrono>
#include <functional>
#include <string>

#include <boost/asio/io_service.hpp>

namespace Vant {
namespace Ferrow {

struct CommandLine {
    std::string privKeyHex;        // -k <value>
    std::string fakeUserTaskType;  // -t <value> (client mode)
    bool fakeUser = false;         // -u: client mode
    bool prompt = false;           // -p: G-code console (printer mode)
    // --trusted-users FILE (or --trusted-users=FILE): only the users listed there,
    // over the encrypted channel (printer mode).
    std::string trustedUsersPath;
    bool trustedUsersWithoutFile = false;  // --trusted-users came last, without its file
};

// Scans the arguments left to right: an argument starting with '-' is an option
// and only its second character counts (-kx acts as -k); -k and -t take the next
// argument whatever it holds; everything else is skipped; later options win. The one
// long option, --trusted-users, is taken whole.
CommandLine parseCommandLine(int argc, const char* const* argv);

// The usage text, on standard error.
void printUsage();

// The whole content of a file, bytes unchanged ("" when it cannot be opened).
std::string readFile(const std::string& path);

// True when stat() on the path succeeds.
bool fileExist(const std::string& path);

// Threads of the I/O pool, and how long the main thread sleeps when it has no console.
const int PoolSize = 5;
const long MainSleepSeconds = 31536000;  // 365 days

// Within the service manager's stop time-out (30 s), the time from the first stop
// signal after which the process ends at once, whatever its stop is still doing.
const std::chrono::seconds StopDeadline(28);

// Blocks SIGTERM and SIGINT on the calling thread. Called first thing on the main
// thread: every thread started later inherits the mask, so a stop signal is only
// ever taken by runPool's sigwait, never by an asynchronous handler. Programs the
// daemon starts get an empty mask and default actions (Vant::Process).
void blockStopSignals();
// Blocks SIGHUP the same way, for a runPool with a hang-up handler; on the main
// thread before any other thread exists.
void blockHangUpSignal();

// The I/O pool of both modes: runs `io` on PoolSize threads of Vant::runIoService and
// `console`, when there is one, on a thread of its own. The main thread waits for
// SIGTERM or SIGINT (or MainSleepSeconds), logs it in one line and calls `stop`
// while the pool still runs; then it stops the service and joins the pool. From
// the first signal on, a second one ends the process at once (killed by that
// signal), and so does StopDeadline (exit status 1). With `hangUp`, each SIGHUP
// before the stop runs it on the main thread, and the wait goes on.
void runPool(boost::asio::io_service& io, const std::function<void()>& stop,
             const std::function<void()>& console = std::function<void()>(),
             const std::function<void()>& hangUp = std::function<void()>());

// The first step of start-up: fills the state-type catalogue from the catalogue file
// at `path` when it exists (taken as it reads, nothing checked or merged), else with
// the built-in catalogue. False, with a line on standard error, when the file exists
// but its text does not read: the daemon then stops instead of running without a
// catalogue.
bool loadStateMachine(const std::string& path);

}  // namespace Ferrow
}  // namespace Vant
