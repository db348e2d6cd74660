// A printer daemon with its own simulated board (time scale 50), started in a
// network namespace of the test's. Its log goes to a file: a whole print writes far
// more than a pipe holds, and nobody reads the pipe meanwhile. Header-only; the
// daemon and the simulator are ended by their process ids when it goes.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "BoardSimProcess.h"
#include "support/AsyncTest.h"
#include "support/ChildProcess.h"
#include "support/NetworkNamespace.h"
#include "support/StagedHome.h"

namespace testsupport {

// The key pair of the tests' printer (the printer's key is public in its announcement).
const std::string PrinterPrivateKey = "77076d0a7318a57d3c16c17251b26645df4c2f87ebc0992ab177fba51db92c2a";
const std::string PrinterPublicKey = "8520f0098930a754748b7ddcb43ef75a0dbf3a0d26381af4eba4a98eaa9b4e6a";

struct PrinterUnderTest {
    PrinterUnderTest(const NetworkNamespace& side, const std::string& privateKey,
                     const std::string& broadcast, const std::vector<std::string>& options = {})
        : sim({"--time-scale", "50"}),
          logPath(scratchFolder() + "/daemon.log"),
          daemon(side.exec(command(logPath, privateKey, options)),
                 {{"TOLVANE_HOME", stagedHome()},
                  {"TOLVANE_MOTION_PORT", sim.motionPath()},
                  {"TOLVANE_LIGHTING_PORT", sim.lightingPath()},
                  {"TOLVANE_BROADCAST", broadcast}}) {}
    // The daemon under sh, its output in `logPath`, with `options` after its key.
    static std::vector<std::string> command(const std::string& logPath, const std::string& privateKey,
                                            const std::vector<std::string>& options) {
        std::vector<std::string> argv{"sh", "-c", "exec \"$@\" >" + logPath + " 2>&1", "sh",
                                      builtProgram("tolvane-ferrow"), "-k", privateKey};
        argv.insert(argv.end(), options.begin(), options.end());
        return argv;
    }
    std::string log() const { return slurp(logPath); }
    bool started() const {
        return waitUntil([&] { return log().find("PUBLIC") != std::string::npos; }, std::chrono::seconds(30));
    }
    BoardSim::Process sim;
    const std::string logPath;
    ChildProcess daemon;
};

}  // namespace testsupport
