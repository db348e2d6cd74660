// The daemon's entry point: reads the command line, checks or makes the private
// key, prints the public key, creates the one I/O service of the process, builds
// the objects of the selected mode and runs the service on a pool of five threads.
#include <chrono>
#include <cstdlib>
#include <exception>
#include <iostream>
#include <thread>
#include <vector>

#include <boost/asio/io_service.hpp>

#include "Vant/Ferrow/Startup.h"
#include "Vant/Platform.h"
#include "kel/Sodium.h"
#include "kel/bytes.h"
#include "kel/var.h"

namespace {

const int PoolSize = 5;
const long MainSleepSeconds = 31536000;  // 365 days

// Printer mode: an exception escaping a handler is logged and the thread goes back
// to running the service, so one bad message never takes a pool thread away.
void runPrinterPool(boost::asio::io_service& io) {
    while (!io.stopped()) {
        try {
            io.run();
        } catch (const std::exception& e) {
            std::cout << "main() Exception caugth on thread root : " << e.what() << std::endl;
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    using namespace Vant::Ferrow;

    if (!loadStateMachine(Vant::Platform::stateMachineJsonPath())) return 1;

    CommandLine options = parseCommandLine(argc, argv);
    // Without -k the key may come from the environment, so that a service manager
    // can pass it without showing it to every local user in the process list.
    if (options.privKeyHex.empty()) {
        const char* fromEnvironment = std::getenv("TOLVANE_PRIVATE_KEY");
        if (fromEnvironment != nullptr) options.privKeyHex = fromEnvironment;
    }

    if (options.privKeyHex == "new") options.privKeyHex = kel::var::randomHex(32).stringValue();
    if (options.privKeyHex.size() != 64) {
        printUsage();
        return 1;
    }

    kel::bytes privateKey = kel::bytes::fromHex(options.privKeyHex);
    kel::bytes publicKey = kel::Sodium::publicKey(privateKey);
    std::cout << "PUBLIC\u00a0KEY\u00a0= " << publicKey << std::endl;

    boost::asio::io_service io;
    boost::asio::io_service::work work(io);

    std::vector<std::thread> pool;
    for (int i = 0; i < PoolSize; ++i) pool.emplace_back([&io] { runPrinterPool(io); });

    std::this_thread::sleep_for(std::chrono::seconds(MainSleepSeconds));

    io.stop();
    for (auto& thread : pool) thread.join();
    return 0;
}
