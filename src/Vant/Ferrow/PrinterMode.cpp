#include "Vant/Ferrow/PrinterMode.h"

#include <chrono>
#include <condition_variable>
#include <functional>
#include <iostream>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <boost/system/system_error.hpp>

#include "Vant/Driver/Driver.h"
#include "Vant/Driver/Lighting.h"
#include "Vant/Ferrow/Startup.h"
#include "Vant/Log.h"
#include "Vant/Printer/Printer.h"
#include "Vant/Printer/TrustedAcceptor.h"

namespace Vant {
namespace Ferrow {

namespace {

typedef std::chrono::steady_clock Clock;

const std::chrono::seconds ConsoleIdlePause(3);

// The stop's budget, counted from the signal and inside StopDeadline: the
// interrupted tasks' resetting states run until TaskBudget, the board then has
// until HeaterBudget to carry out the hot end's target 0, and what is left closes
// the connections and the ports.
const std::chrono::seconds TaskBudget(18);
const std::chrono::seconds HeaterBudget(24);
// The value of "Interrupted" in the tasks the stop interrupts.
const char* const StopReason = "Shutdown";

// The G-code console, on a thread of its own: each non-empty line of standard input
// goes to the board; an empty line, or the end of the input, waits a moment and
// reads again.
[[noreturn]] void runConsole(Vant::Driver::Driver& driver) {
    std::string line;
    for (;;) {
        if (!std::getline(std::cin, line)) {
            std::cin.clear();
            line.clear();
        }
        if (line.empty()) {
            std::this_thread::sleep_for(ConsoleIdlePause);
            continue;
        }
        driver.pushGcode(line, [](boost::system::error_code, double) {});
    }
}

// Sends the hot end's target 0 and waits until the board has carried it out (its
// completion, 1.0). Whatever the tasks did, no heater is left on by the stop.
void turnHotEndOff(Vant::Driver::Driver& driver, Clock::time_point deadline) {
    // Shared with the driver's callback, which may come after the wait gave up.
    struct Outcome {
        std::mutex mutex;  // guards the fields: the driver's strand and the main thread
        std::condition_variable changed;
        bool done = false;
        boost::system::error_code error;
    };
    auto outcome = std::make_shared<Outcome>();
    driver.pushGcode("Driver:Temperature:SetTarget:0",
                     [outcome](boost::system::error_code error, double progress) {
                         if (!error && progress < 1.0) return;
                         std::lock_guard<std::mutex> lock(outcome->mutex);
                         if (outcome->done) return;
                         outcome->done = true;
                         outcome->error = error;
                         outcome->changed.notify_all();
                     });
    std::unique_lock<std::mutex> lock(outcome->mutex);
    if (!outcome->changed.wait_until(lock, deadline, [&] { return outcome->done; })) {
        logLine("main() the board did not confirm the hot end's target 0 in time");
    } else if (outcome->error) {
        logLine("main() the hot end's target 0 did not reach the board : " + outcome->error.message());
    } else {
        logLine("main() the hot end's target is 0");
    }
}

// Closes the two serial ports and cancels their timers. The driver and the lighting
// controller stay until the service has joined its runner threads, which may still
// call them: their calls then fail with operation_aborted.
void closeSerialPorts(Vant::Driver::Driver& driver, Vant::Driver::Lighting& lighting) {
    driver.stop();
    lighting.stop();
}

// The orderly stop, on the main thread while the pool runs: no new users or tasks,
// every running task interrupted as a user's interruption does so that its
// resetting states move the head away, switch the heaters off and release the
// mechanics, then the hot end's target 0 made sure of, then the users' connections
// and the serial ports closed.
void stopPrinter(Vant::Printer::Printer& printer, Vant::Driver::Driver& driver,
                 Vant::Driver::Lighting& lighting) {
    const Clock::time_point start = Clock::now();
    printer.stopAccepting();
    const std::vector<std::string> interrupted = printer.interruptRunningTasks(StopReason);
    if (!interrupted.empty()) {
        logLine("main() " + std::to_string(interrupted.size()) + " running task(s) interrupted");
        if (printer.waitForTasks(interrupted, start + TaskBudget)) {
            logLine("main() the interrupted tasks have ended");
        } else {
            logLine("main() tasks still running after " + std::to_string(TaskBudget.count()) +
                    " s; stopping anyway");
        }
    }
    turnHotEndOff(driver, start + HeaterBudget);
    printer.closeConnections();
    closeSerialPorts(driver, lighting);
}

// SIGHUP: reads the trusted-users file again; users no longer in it are disconnected.
// A file that no longer reads leaves the list as it was.
void readTrustedUsersAgain(Vant::Printer::Printer& printer, const std::string& path) {
    if (path.empty()) {
        logLine("main() SIGHUP received: no trusted-users file to read again");
        return;
    }
    std::set<kel::bytes> keys;
    std::string error;
    if (!Vant::Printer::readTrustedUsers(path, keys, error)) {
        logLine("main() SIGHUP received: " + error + "; the trusted users stay as they were");
        return;
    }
    logLine("main() SIGHUP received: the trusted users read again from " + path);
    printer.setTrustedUsers(keys);
}

}  // namespace

int runPrinterMode(boost::asio::io_service& io, const kel::bytes& privateKey, bool prompt,
                   const std::string& trustedUsersPath) {
    Vant::Printer::Printer::Settings settings;
    if (!trustedUsersPath.empty()) {
        std::string error;
        if (!Vant::Printer::readTrustedUsers(trustedUsersPath, settings.trustedUsers, error)) {
            std::cerr << "tolvane-ferrow: " << error << std::endl;
            return 1;
        }
        settings.trustedOnly = true;
    }

    // Owned here and destroyed after the service (whose runner threads use them) and
    // after the pool has stopped. The console thread, which nothing ends, shares the
    // driver: with a console the driver stays until the process ends.
    std::unique_ptr<Vant::Driver::Lighting> lighting;
    try {
        lighting.reset(new Vant::Driver::Lighting(io));
    } catch (const boost::system::system_error& e) {
        Vant::LogLine() << "Lighting creation error : " << e.code().message();
        return 0;
    }
    std::shared_ptr<Vant::Driver::Driver> driver;
    try {
        driver = std::make_shared<Vant::Driver::Driver>(io);
    } catch (const boost::system::system_error& e) {
        Vant::LogLine() << "Driver creation error : " << e.code().message();
        return 0;
    }

    Vant::Printer::Printer printer(io, privateKey, *driver, *lighting, settings);
    try {
        printer.start();
    } catch (const boost::system::system_error& e) {
        Vant::LogLine() << "Printer start error : " << e.code().message();
        return 1;
    }

    Vant::Driver::Driver* board = driver.get();
    driver->initialize([&printer, board](boost::system::error_code error) {
        if (error) {
            Vant::LogLine() << "Driver initialization error : " << error.message();
            return;
        }
        board->handleInputs();
        printer.startTask(printer.taskQueue().makeTask("StartingUp"));
    });

    std::function<void()> console;
    if (prompt) console = [driver] { runConsole(*driver); };
    runPool(
        io, [&printer, board, &lighting] { stopPrinter(printer, *board, *lighting); }, console,
        [&printer, trustedUsersPath] { readTrustedUsersAgain(printer, trustedUsersPath); });
    return 0;
}

}  // namespace Ferrow
}  // namespace Vant
