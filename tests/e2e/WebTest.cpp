// `tolvane web` as a person uses it, in headless Chromium driven by Selenium
// (web_dashboard.py beside this file, run in the client's network namespace; it starts
// and ends the dashboard itself and says which step failed).
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "PrinterUnderTest.h"
#include "kel/bytes.h"

using namespace std::chrono_literals;
using testsupport::NetworkNamespace;

namespace {

// The scenario in `side`; its key and its uploads stay in `home`. The dashboard
// listens on the highest port there is.
int runScenario(const NetworkNamespace& side, const std::string& home, std::vector<std::string> args,
                std::string& output) {
    std::vector<std::string> argv{"/usr/bin/python3",
                                  testsupport::sourceDir() + "/tests/e2e/web_dashboard.py"};
    argv.insert(argv.end(), args.begin(), args.end());
    argv.insert(argv.end(),
                {"--tolvane", "'" + testsupport::builtProgram("tolvane") + "' web --listen 127.0.0.1:65535"});
    testsupport::ChildProcess script(side.exec(argv),
                                     {{"XDG_CONFIG_HOME", home}, {"TMPDIR", home}, {"HOME", home}});
    const int status = script.wait(900s);
    output = script.out() + script.err();
    return status;
}

// Why the browser tests cannot run here, or "" when they can.
std::string missingForBrowser() {
    if (!NetworkNamespace::available()) return "network namespaces need root";
    for (const std::string program : {"/usr/bin/chromium", "/usr/bin/chromedriver"}) {
        if (::access(program.c_str(), X_OK) != 0) return program + " is not installed (scripts/install-deps)";
    }
    return std::string();
}

class WebDashboard : public testsupport::CabledPrinter {
protected:
    void SetUp() override {
        const std::string missing = missingForBrowser();
        if (!missing.empty()) GTEST_SKIP() << missing;
        CabledPrinter::SetUp();
    }
};

}  // namespace

TEST_F(WebDashboard, PrintsAnUploadedModelAnswersTheBedAndInterruptsASecondPrintFromTheBrowser) {
    const std::string home = testsupport::scratchFolder(), model = home + "/part.stl";
    testsupport::writeFile(model, testsupport::slurp(testsupport::stagedHome() + "/models/cube.stl"));
    // Left in the build's test-artefacts/ for a person to look at.
    const char* build = std::getenv("TOLVANE_BUILD_DIR");
    const std::string artefacts = (build != nullptr ? build : home) + std::string("/test-artefacts");
    ::mkdir(artefacts.c_str(), 0755);
    const std::string screenshot = artefacts + "/dashboard-mid-print.png";
    ::unlink(screenshot.c_str());

    std::string output;
    EXPECT_EQ(runScenario(*clientSide, home,
                          {"print", "--key", testsupport::PrinterPublicKey, "--model", model, "--screenshot",
                           screenshot},
                          output),
              0)
        << output;
    EXPECT_GT(testsupport::slurp(screenshot).size(), 10000u) << screenshot;
    // The uploads were kept only while the printer needed them; their folder went with the dashboard.
    if (DIR* dir = ::opendir(home.c_str())) {
        while (const dirent* entry = ::readdir(dir))
            EXPECT_NE(std::string(entry->d_name).find("tolvane-web-"), 0u);
        ::closedir(dir);
    }
}

// Three printers, each in a namespace of its own, on one bridge with the dashboard.
TEST(WebDashboardFarm, SeveralPrintersOnOneBridgeEachRunningATaskAllUpdateOnOnePage) {
    const std::string missing = missingForBrowser();
    if (!missing.empty()) GTEST_SKIP() << missing;
    const unsigned count = 3;
    NetworkNamespace clientSide;
    testsupport::Bridge bridge(clientSide, "10.0.0.100/24");
    ASSERT_TRUE(bridge.ok);
    std::vector<std::unique_ptr<NetworkNamespace>> sides;
    std::vector<std::unique_ptr<testsupport::PrinterUnderTest>> printers;
    for (unsigned i = 0; i < count; ++i) {
        sides.emplace_back(new NetworkNamespace);
        ASSERT_TRUE(bridge.plug(*sides.back(), "10.0.0." + std::to_string(i + 1) + "/24"));
        printers.emplace_back(new testsupport::PrinterUnderTest(
            *sides.back(), kel::bytes(32).randomize().toHex(), "10.0.0.255"));
    }
    for (const auto& printer : printers) ASSERT_TRUE(printer->started()) << printer->log();

    std::string output;
    EXPECT_EQ(runScenario(clientSide, testsupport::scratchFolder(),
                          {"farm", "--printers", std::to_string(count)}, output),
              0)
        << output;
}
