// Start-up helpers of the daemon's entry point: the command-line scan, the usage
// text, the two small file helpers the catalogue loading uses and the body of a pool
// thread. All but runIoService run on the main thread before any other thread exists.
#pragma once

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
};

// Scans the arguments left to right: an argument starting with '-' is an option
// and only its second character counts (-kx acts as -k); -k and -t take the next
// argument whatever it holds; everything else is skipped; later options win.
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

// The body of one pool thread: runs `io` until it is stopped. An exception escaping
// a handler is logged and the thread goes back to running the service, so one bad
// message never takes a pool thread away.
void runIoService(boost::asio::io_service& io);

// The I/O pool of both modes: runs `io` on PoolSize threads of runIoService and
// gives the main thread to `mainThread` when there is one; then the main thread
// sleeps MainSleepSeconds, stops the service and joins the pool.
void runPool(boost::asio::io_service& io, const std::function<void()>& mainThread = std::function<void()>());

// The first step of start-up: fills the state-type catalogue from the catalogue file
// at `path` when it exists (taken as it reads, nothing checked or merged), else with
// the built-in catalogue. False, with a line on standard error, when the file exists
// but its text does not read: the daemon then stops instead of running without a
// catalogue.
bool loadStateMachine(const std::string& path);

}  // namespace Ferrow
}  // namespace Vant
