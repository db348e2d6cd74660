// `tolvane web` as a person uses it, in headless Chromium driven by Selenium
// (web_dashboard.py beside this file, run with the system's Python in the client's
// network namespace): one printer with its simulated board (10.0.0.1) and the
// dashboard (10.0.0.2) joined by a virtual cable; then a farm of ten printers, each in
// a namespace of its own, on one bridge with the dashboard. The script starts and
// ends the dashboard itself and says which step failed.
#include <dirent.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "PrinterUnderTest.h"
#include "kel/bytes.h"
#include "support/ChildProcess.h"
#include "support/NetworkNamespace.h"
#include "support/StagedHome.h"

using namespace std::chrono_literals;
using testsupport::Bridge;
using testsupport::Cable;
using testsupport::ChildProcess;
using testsupport::NetworkNamespace;
using testsupport::PrinterUnderTest;

namespace {

const std::string& PrivateKey = testsupport::PrinterPrivateKey;
const std::string& PublicKey = testsupport::PrinterPublicKey;

bool exists(const std::string& path) {
    struct stat info;
    return ::stat(path.c_str(), &info) == 0;
}

// Why the browser test cannot run here, or "" when it can.
std::string missingForBrowser() {
    if (!NetworkNamespace::available()) return "network namespaces need root";
    for (const char* program : {"/usr/bin/chromium", "/usr/bin/chromedriver", "/usr/bin/python3"}) {
        if (!exists(program)) return std::string(program) + " is not installed (scripts/install-deps)";
    }
    return std::string();
}

// Where a test leaves what a person looks at afterwards (the build's test-artefacts/).
std::string artefact(const std::string& name) {
    const char* build = std::getenv("TOLVANE_BUILD_DIR");
    const std::string folder =
        (build != nullptr ? std::string(build) : testsupport::scratchFolder()) + "/test-artefacts";
    ::mkdir(folder.c_str(), 0755);
    return folder + "/" + name;
}

// Entries of `folder` whose name starts with `prefix`.
std::vector<std::string> entries(const std::string& folder, const std::string& prefix) {
    std::vector<std::string> found;
    if (DIR* dir = ::opendir(folder.c_str())) {
        while (const dirent* entry = ::readdir(dir)) {
            if (std::string(entry->d_name).compare(0, prefix.size(), prefix) == 0)
                found.push_back(entry->d_name);
        }
        ::closedir(dir);
    }
    return found;
}

// The scenario in the client's namespace; its key and its uploads stay in `home`.
int runScenario(const NetworkNamespace& clientSide, const std::string& home, std::vector<std::string> args,
                std::chrono::seconds deadline, std::string& output) {
    std::vector<std::string> argv{"/usr/bin/python3",
                                  testsupport::sourceDir() + "/tests/e2e/web_dashboard.py"};
    argv.insert(argv.end(), args.begin(), args.end());
    argv.push_back("--tolvane");
    argv.push_back("'" + testsupport::builtProgram("tolvane") + "' web --listen 127.0.0.1:8080");
    ChildProcess script(clientSide.exec(argv), {{"XDG_CONFIG_HOME", home}, {"TMPDIR", home}, {"HOME", home}});
    const int status = script.wait(deadline);
    output = script.out() + script.err();
    return status;
}

}  // namespace

TEST(WebDashboard, PrintsAnUploadedModelAnswersTheBedAndInterruptsASecondPrintFromTheBrowser) {
    const std::string missing = missingForBrowser();
    if (!missing.empty()) GTEST_SKIP() << missing;
    NetworkNamespace printerSide, clientSide;
    Cable cable(printerSide, "10.0.0.1/24", clientSide, "10.0.0.2/24");
    ASSERT_TRUE(cable.ok);
    PrinterUnderTest printer(printerSide, PrivateKey, "10.0.0.255");
    ASSERT_TRUE(printer.started()) << printer.log();
    const std::string home = testsupport::scratchFolder();
    const std::string model = home + "/part.stl";
    testsupport::writeFile(model, testsupport::slurp(testsupport::stagedHome() + "/models/cube.stl"));
    const std::string screenshot = artefact("dashboard-mid-print.png");
    ::unlink(screenshot.c_str());

    std::string output;
    const int status = runScenario(
        clientSide, home, {"print", "--key", PublicKey, "--model", model, "--screenshot", screenshot}, 900s,
        output);
    EXPECT_EQ(status, 0) << output << "\n--- daemon ---\n" << printer.log().substr(0, 4000);
    EXPECT_GT(testsupport::slurp(screenshot).size(), 10000u) << screenshot;
    // The uploads were kept only while the printer needed them; the folder went with the dashboard.
    EXPECT_TRUE(entries(home, "tolvane-web-").empty());
    std::cout << output;
}

TEST(WebDashboard, TenPrintersOnOneBridgeEachRunningATaskAllUpdateOnOnePage) {
    const std::string missing = missingForBrowser();
    if (!missing.empty()) GTEST_SKIP() << missing;
    const unsigned count = 10;
    NetworkNamespace clientSide;
    Bridge bridge(clientSide, "10.0.0.100/24");
    ASSERT_TRUE(bridge.ok);
    std::vector<std::unique_ptr<NetworkNamespace>> sides;
    std::vector<std::unique_ptr<PrinterUnderTest>> printers;
    for (unsigned i = 0; i < count; ++i) {
        sides.emplace_back(new NetworkNamespace);
        ASSERT_TRUE(bridge.plug(*sides.back(), "10.0.0." + std::to_string(i + 1) + "/24"));
        printers.emplace_back(
            new PrinterUnderTest(*sides.back(), kel::bytes(32).randomize().toHex(), "10.0.0.255"));
    }
    for (const auto& printer : printers) ASSERT_TRUE(printer->started()) << printer->log();

    std::string output;
    const int status = runScenario(clientSide, testsupport::scratchFolder(),
                                   {"farm", "--printers", std::to_string(count)}, 900s, output);
    EXPECT_EQ(status, 0) << output;
    std::cout << output;
}
