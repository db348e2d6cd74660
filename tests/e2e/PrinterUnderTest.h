// A printer daemon with its own simulated board, started in a network namespace of
// the test's. Its log goes to a file: a whole print writes far more than a pipe
// holds, and nobody reads the pipe meanwhile. The daemon and the simulator are ended
// by their process ids when it goes.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
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
                     const std::string& broadcast, const std::vector<std::string>& options = {},
                     const std::string& timeScale = "50")
        : sim({"--time-scale", timeScale}),
          logPath(scratchFolder() + "/daemon.log"),
          daemon(side.exec(command(logPath, privateKey, options)),
                 {{"TOLVANE_HOME", stagedHome()},
                  {"TOLVANE_MOTION_PORT", sim.motionPath()},
                  {"TOLVANE_LIGHTING_PORT", sim.lightingPath()},
                  {"TOLVANE_BROADCAST", broadcast}}) {}
    // The daemon under sh, its output in `logPath`, with `options` after its key.
    static std::vector<std::string> command(const std::string& logPath, const std::string& privateKey,
                                            const std::vector<std::string>& options) {
        std::vector<std::string> argv{
            "sh", "-c",      "exec \"$@\" >" + logPath + " 2>&1", "sh", builtProgram("tolvane-ferrow"),
            "-k", privateKey};
        argv.insert(argv.end(), options.begin(), options.end());
        return argv;
    }
    std::string log() const { return slurp(logPath); }
    bool waitForLog(const std::string& text,
                    std::chrono::milliseconds deadline = std::chrono::seconds(30)) const {
        return waitUntil([&] { return log().find(text) != std::string::npos; }, deadline);
    }
    bool started() const { return waitForLog("PUBLIC"); }
    BoardSim::Process sim;
    const std::string logPath;
    ChildProcess daemon;
};

// The printer (10.0.0.1) in one namespace and a client's namespace (10.0.0.2), joined
// by a virtual cable.
class CabledPrinter : public ::testing::Test {
protected:
    void SetUp() override {
        if (!NetworkNamespace::available()) GTEST_SKIP() << "network namespaces need root";
        printerSide.reset(new NetworkNamespace);
        clientSide.reset(new NetworkNamespace);
        cable.reset(new Cable(*printerSide, "10.0.0.1/24", *clientSide, "10.0.0.2/24"));
        ASSERT_TRUE(cable->ok);
        printer.reset(new PrinterUnderTest(*printerSide, PrinterPrivateKey, "10.0.0.255", daemonOptions(),
                                           timeScale()));
        ASSERT_TRUE(printer->started()) << printer->log();
    }
    void TearDown() override {
        if (printer && HasFailure()) {
            const std::string out = printer->log();
            std::cerr << "--- daemon ---\n" << out.substr(out.size() > 20000 ? out.size() - 20000 : 0);
        }
        printer.reset();
        cable.reset();
        clientSide.reset();
        printerSide.reset();
    }
    virtual std::vector<std::string> daemonOptions() { return {}; }
    virtual std::string timeScale() { return "50"; }

    std::unique_ptr<NetworkNamespace> printerSide, clientSide;
    std::unique_ptr<Cable> cable;
    std::unique_ptr<PrinterUnderTest> printer;
};

}  // namespace testsupport
