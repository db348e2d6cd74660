#include "Vant/Ferrow/PrinterMode.h"

#include <chrono>
#include <functional>
#include <iostream>
#include <string>
#include <thread>

#include <boost/system/system_error.hpp>

#include "Vant/Driver/Driver.h"
#include "Vant/Driver/Lighting.h"
#include "Vant/Ferrow/Startup.h"
#include "Vant/Printer/Printer.h"

namespace Vant {
namespace Ferrow {

namespace {

const std::chrono::seconds ConsoleIdlePause(3);

// The main thread's G-code console: each non-empty line of standard input goes to
// the board; an empty line, or the end of the input, waits a moment and reads again.
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

}  // namespace

int runPrinterMode(boost::asio::io_service& io, const kel::bytes& privateKey, bool prompt) {
    // Both live as long as the process: handlers of the pool may use them until the end.
    static Vant::Driver::Lighting* lighting = nullptr;
    try {
        lighting = new Vant::Driver::Lighting(io);
    } catch (const boost::system::system_error& e) {
        std::cout << "Lighting creation error : " << e.code().message() << std::endl;
        return 0;
    }
    static Vant::Driver::Driver* driver = nullptr;
    try {
        driver = new Vant::Driver::Driver(io);
    } catch (const boost::system::system_error& e) {
        std::cout << "Driver creation error : " << e.code().message() << std::endl;
        return 0;
    }

    Vant::Printer::Printer printer(io, privateKey, *driver, *lighting);
    try {
        printer.start();
    } catch (const boost::system::system_error& e) {
        std::cout << "Printer start error : " << e.code().message() << std::endl;
        return 1;
    }

    driver->initialize([&printer](boost::system::error_code error) {
        if (error) {
            std::cout << "Driver initialization error : " << error.message() << std::endl;
            return;
        }
        driver->handleInputs();
        printer.startTask(printer.taskQueue().makeTask("StartingUp"));
    });

    runPool(io, prompt ? std::function<void()>([] { runConsole(*driver); }) : std::function<void()>());
    return 0;
}

}  // namespace Ferrow
}  // namespace Vant
