// The daemon's entry point: reads the command line, checks or makes the private
// key, prints the public key, creates the one I/O service of the process, builds
// the objects of the selected mode and runs the service on a pool of five threads
// until SIGTERM or SIGINT asks it to stop.
#include <cstdlib>
#include <iostream>

#include <boost/asio/io_service.hpp>

#include "Vant/Ferrow/ClientMode.h"
#include "Vant/Ferrow/PrinterMode.h"
#include "Vant/Ferrow/Startup.h"
#include "Vant/Platform.h"
#include "kel/Sodium.h"
#include "kel/bytes.h"
#include "kel/var.h"
#include "Vant/Log.h"

int main(int argc, char** argv) {
    using namespace Vant::Ferrow;

    // Before any thread exists, so that every thread inherits it.
    blockStopSignals();
    if (!loadStateMachine(Vant::Platform::stateMachineJsonPath())) return 1;

    CommandLine options = parseCommandLine(argc, argv);
    // Without -k the key may come from the environment, so that a service manager
    // can pass it without showing it to every local user in the process list.
    if (options.privKeyHex.empty()) {
        const char* fromEnvironment = std::getenv("TOLVANE_PRIVATE_KEY");
        if (fromEnvironment != nullptr) options.privKeyHex = fromEnvironment;
    }
    // Likewise the trusted-users file of a service (an empty value: none).
    if (options.trustedUsersWithoutFile) {
        std::cerr << "tolvane-ferrow: --trusted-users needs the file of the trusted users' keys" << std::endl;
        return 1;
    }
    if (options.trustedUsersPath.empty()) {
        const char* fromEnvironment = std::getenv("TOLVANE_TRUSTED_USERS");
        if (fromEnvironment != nullptr) options.trustedUsersPath = fromEnvironment;
    }
    // Printer mode takes SIGHUP on the main thread too (it reads the trusted users
    // again); still no other thread exists.
    if (!options.fakeUser) blockHangUpSignal();

    if (options.privKeyHex == "new") options.privKeyHex = kel::var::randomHex(32).stringValue();
    if (options.privKeyHex.size() != 64) {
        printUsage();
        return 1;
    }

    kel::bytes privateKey = kel::bytes::fromHex(options.privKeyHex);
    kel::bytes publicKey = kel::Sodium::publicKey(privateKey);
    Vant::LogLine() << "PUBLIC\u00a0KEY\u00a0= " << publicKey;

    boost::asio::io_service io;
    boost::asio::io_service::work work(io);

    if (options.fakeUser)
        return runClientMode(io, kel::bytes::fromHex(options.privKeyHex), options.fakeUserTaskType);
    // Printer mode, the default.
    return runPrinterMode(io, kel::bytes::fromHex(options.privKeyHex), options.prompt,
                          options.trustedUsersPath);
}
