// The user's client `tolvane` as its owner runs it: the printer daemon in one network
// namespace against the simulated board, the client in another, joined by a virtual
// cable (printer 10.0.0.1, client 10.0.0.2); the client's key lives in a folder of the
// test's own. Each test reads what the client prints, its exit status, and what the
// board received.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "PrinterUnderTest.h"
#include "kel/Sodium.h"
#include "kel/bytes.h"
#include "kel/var.h"
#include "support/AsyncTest.h"
#include "support/ChildProcess.h"
#include "support/NetworkNamespace.h"
#include "support/StagedHome.h"

using namespace std::chrono_literals;
using testsupport::Cable;
using testsupport::ChildProcess;
using testsupport::NetworkNamespace;
using testsupport::PrinterUnderTest;

namespace {

const std::string& PrivateKey = testsupport::PrinterPrivateKey;
const std::string& PublicKey = testsupport::PrinterPublicKey;
const std::string ClaimLine = "Printer::start() Claimed user id : ";

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> all;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) all.push_back(line);
    return all;
}

// The movement lines (G0/G1) of a G-code file, or of the board's log ("N12 G1 X1*34").
std::vector<std::string> moves(const std::vector<std::string>& text) {
    std::vector<std::string> found;
    for (std::string line : text) {
        if (!line.empty() && line[0] == 'N') {
            line = line.substr(line.find(' ') + 1);
            line = line.substr(0, line.rfind('*'));
        }
        if (line.compare(0, 3, "G0 ") == 0 || line.compare(0, 3, "G1 ") == 0) found.push_back(line);
    }
    return found;
}

std::vector<std::string> after(const std::string& text, const std::string& prefix) {
    std::vector<std::string> found;
    for (const std::string& line : lines(text)) {
        const auto at = line.find(prefix);
        if (at != std::string::npos) found.push_back(line.substr(at + prefix.size()));
    }
    return found;
}

bool namespacesAvailable() {
    static const bool available = NetworkNamespace::available();
    return available;
}

class Tolvane : public ::testing::Test {
protected:
    void SetUp() override {
        if (!namespacesAvailable()) GTEST_SKIP() << "network namespaces need root";
        printerSide.reset(new NetworkNamespace);
        clientSide.reset(new NetworkNamespace);
        cable.reset(new Cable(*printerSide, "10.0.0.1/24", *clientSide, "10.0.0.2/24"));
        ASSERT_TRUE(cable->ok);
        printer.reset(new PrinterUnderTest(*printerSide, PrivateKey, "10.0.0.255", daemonOptions()));
        ASSERT_TRUE(printer->started()) << printer->log();
        config = testsupport::scratchFolder();
        model = config + "/part.stl";
        testsupport::writeFile(model, testsupport::slurp(testsupport::stagedHome() + "/models/cube.stl"));
    }

    virtual std::vector<std::string> daemonOptions() { return {}; }

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

    // `tolvane ARGS` started in the client's namespace, its key under the test's folder.
    std::unique_ptr<ChildProcess> tolvane(const std::vector<std::string>& args) {
        std::vector<std::string> argv{testsupport::builtProgram("tolvane")};
        argv.insert(argv.end(), args.begin(), args.end());
        return std::unique_ptr<ChildProcess>(
            new ChildProcess(clientSide->exec(argv), {{"XDG_CONFIG_HOME", config}, {"TERM", "dumb"}}));
    }
    // Runs it to its end: its exit status.
    int finish(ChildProcess& run, std::chrono::seconds deadline = 60s) {
        const int status = run.wait(deadline);
        if (status != 0) std::cerr << "--- tolvane ---\n" << run.out() << run.err();
        return status;
    }

    std::string keyPath() const { return config + "/tolvane/user.key"; }
    // Every user id the printer has seen claimed.
    std::vector<std::string> claims() { return after(printer->log(), ClaimLine); }

    std::unique_ptr<NetworkNamespace> printerSide, clientSide;
    std::unique_ptr<Cable> cable;
    std::unique_ptr<PrinterUnderTest> printer;
    std::string config, model;
};

}  // namespace

TEST_F(Tolvane, FindsThePrinterPrintsAModelAndTheBoardGetsExactlyItsMoves) {
    auto printers = tolvane({"printers"});
    ASSERT_EQ(finish(*printers), 0);
    EXPECT_NE(printers->out().find(PublicKey + "  10.0.0.1  version 5.0  "), std::string::npos)
        << printers->out();

    // The key is made once, private to the user, and is the claim the printer sees.
    struct stat file, folder;
    ASSERT_EQ(::stat(keyPath().c_str(), &file), 0);
    ASSERT_EQ(::stat((config + "/tolvane").c_str(), &folder), 0);
    EXPECT_EQ(file.st_mode & 0777, 0600u);
    EXPECT_EQ(folder.st_mode & 0777, 0700u);
    const std::string key = testsupport::slurp(keyPath());
    const std::string user = kel::Sodium::publicKey(kel::bytes::fromHex(key.substr(0, 64))).toHex();

    auto print = tolvane({"--json", "print", model, "--yes", "--set", "layerHeight=0.4"});
    ASSERT_EQ(finish(*print, 300s), 0);
    std::string lastEvent;
    for (const std::string& line : lines(print->out())) {
        kel::var object;
        ASSERT_NO_THROW(object = kel::var::fromJsonString(line)) << line;
        ASSERT_TRUE(object.isMap() && object.has("event")) << line;
        lastEvent = line;
    }
    EXPECT_NE(lastEvent.find("\"status\":\"done\""), std::string::npos) << lastEvent;
    EXPECT_EQ(testsupport::slurp(keyPath()), key);
    const std::vector<std::string> claimed = claims();
    ASSERT_GE(claimed.size(), 2u);
    for (const std::string& id : claimed) EXPECT_EQ(id, user);

    // The moves of the sliced file, each once and in order, and nothing else that moves.
    const std::vector<std::string> gcode = after(printer->log(), "Layering : about to run gcode file : ");
    ASSERT_EQ(gcode.size(), 1u);
    const std::vector<std::string> sliced = moves(lines(testsupport::slurp(gcode[0])));
    EXPECT_GT(sliced.size(), 1000u);
    EXPECT_EQ(moves(printer->sim.received()), sliced);
    EXPECT_EQ(printer->sim.mismatches(), 0u);
}

TEST_F(Tolvane, CancelInterruptsARunningPrintWhichThenEndsWithStatusOne) {
    auto print = tolvane({"print", model, "--yes", "--set", "layerHeight=0.4"});
    ASSERT_TRUE(print->waitForOutput("The printer has the model.", 120s)) << print->out() << print->err();
    const std::vector<std::string> started = after(print->out(), "(task ");
    ASSERT_EQ(started.size(), 1u);
    const std::string taskId = started[0].substr(0, 8);

    auto cancel = tolvane({"cancel", taskId});
    ASSERT_EQ(finish(*cancel), 0);
    EXPECT_NE(cancel->out().find("Interrupted Printing task " + taskId), std::string::npos) << cancel->out();
    EXPECT_EQ(print->wait(120s), 1) << print->out();
    // "Cancelled", or the name the printer gives the job it stopped ("FailedLayering"),
    // when that change reached this client in the same synchronisation.
    EXPECT_NE(print->out().find("The task was interrupted: "), std::string::npos) << print->out();
}

TEST_F(Tolvane, ASecondPrinterMakesTheChoiceAnErrorThatNamesBoth) {
    NetworkNamespace secondSide;
    Cable secondCable(secondSide, "10.0.1.1/24", *clientSide, "10.0.1.2/24");
    ASSERT_TRUE(secondCable.ok);
    const std::string secondKey = kel::bytes(32).randomize().toHex();
    PrinterUnderTest second(secondSide, secondKey, "10.0.1.255");
    ASSERT_TRUE(second.started());
    const std::string secondPublic = kel::Sodium::publicKey(kel::bytes::fromHex(secondKey)).toHex();

    auto status = tolvane({"status"});
    EXPECT_EQ(status->wait(60s), 2);
    EXPECT_NE(status->err().find("several printers"), std::string::npos) << status->err();
    EXPECT_NE(status->err().find(PublicKey + " at 10.0.0.1"), std::string::npos) << status->err();
    EXPECT_NE(status->err().find(secondPublic + " at 10.0.1.1"), std::string::npos) << status->err();

    auto chosen = tolvane({"--json", "--printer", secondPublic.substr(0, 6), "status"});
    ASSERT_EQ(finish(*chosen), 0);
    const kel::var object = kel::var::fromJsonString(lines(chosen->out()).at(0));
    EXPECT_EQ(object["printer"].stringValue(""), secondPublic);
    EXPECT_TRUE(object["tasks"].isArray());
}

// What a person sees in a terminal: tmux runs `tolvane print`, capture-pane reads the
// screen. The bars redraw in place: each label shows once, and no stray line is left.
TEST_F(Tolvane, PrintDrawsItsBarsInPlaceInATerminal) {
    const std::string socket = "tolvane-test-" + std::to_string(::getpid());
    auto tmux = [&](const std::vector<std::string>& args) {
        std::vector<std::string> argv{"tmux", "-L", socket};
        argv.insert(argv.end(), args.begin(), args.end());
        ChildProcess command(argv, {{"XDG_CONFIG_HOME", config}, {"TERM", "xterm"}});
        command.wait(30s);
        return command.out();
    };
    std::string command;
    for (const std::string& word : clientSide->exec(
             {testsupport::builtProgram("tolvane"), "print", model, "--yes", "--set", "layerHeight=0.4"})) {
        command += "'" + word + "' ";
    }
    tmux({"new-session", "-d", "-x", "120", "-y", "40", command + "; echo EXIT=$?; sleep 600"});
    const std::string serverPid = lines(tmux({"display-message", "-p", "#{pid}"})).at(0);
    std::string screen;
    const bool ended = testsupport::waitUntil(
        [&]() {
            screen = tmux({"capture-pane", "-p"});
            return screen.find("EXIT=") != std::string::npos;
        },
        300s);
    tmux({"kill-server"});
    if (testsupport::processRunning(std::stoi(serverPid))) ::kill(std::stoi(serverPid), SIGKILL);
    ASSERT_TRUE(ended) << screen;

    EXPECT_NE(screen.find("EXIT=0"), std::string::npos) << screen;
    EXPECT_NE(screen.find("The print has completed."), std::string::npos) << screen;
    for (const std::string label :
         {"  download ", "  slicing ", "  heating ", "  layers ", "  overall ", "  now "}) {
        std::size_t count = 0;
        for (const std::string& line : lines(screen)) count += line.compare(0, label.size(), label) == 0;
        EXPECT_EQ(count, 1u) << label << "\n" << screen;
    }
    EXPECT_NE(screen.find("[##############################] done"), std::string::npos) << screen;
    EXPECT_EQ(screen.find('\x1b'), std::string::npos);
    // Nothing but the block and the job's messages: no stray or half-cleared line.
    for (const std::string& line : lines(screen)) {
        if (line.empty()) continue;
        const bool known = line.compare(0, 2, "  ") == 0 || line.compare(0, 9, "Printing ") == 0 ||
                           line.compare(0, 4, "The ") == 0 || line.compare(0, 5, "EXIT=") == 0 ||
                           line.compare(0, 18, "Is the bed clear? ") == 0;
        EXPECT_TRUE(known) << "stray line: \"" << line << "\"\n" << screen;
    }
}

// The printer lets trusted users in only, and nobody is listed at first.
class TrustedTolvane : public Tolvane {
protected:
    std::vector<std::string> daemonOptions() override {
        trustedFile = testsupport::scratchFolder() + "/trusted-users";
        testsupport::writeFile(trustedFile, "# nobody yet\n");
        return {"--trusted-users", trustedFile};
    }
    std::string trustedFile;
};

TEST_F(TrustedTolvane, APairedUserGetsInAndAPrinterThatCannotProveItsKeyIsRefused) {
    // Pairing: the line for the trusted users, and the printer remembered as reached
    // over the encrypted channel.
    auto pair = tolvane({"pair", "--printer", "10.0.0.1"});
    ASSERT_EQ(finish(*pair), 0);
    const std::string user =
        kel::Sodium::publicKey(kel::bytes::fromHex(testsupport::slurp(keyPath()).substr(0, 64))).toHex();
    std::string line;
    for (const std::string& text : lines(pair->out())) {
        if (text.compare(0, 64, user) == 0) line = text;
    }
    ASSERT_NE(line, "") << pair->out();
    EXPECT_NE(pair->out().find("over the encrypted channel only"), std::string::npos) << pair->out();
    testsupport::writeFile(trustedFile, testsupport::slurp(trustedFile) + line + "\n");
    printer->daemon.signal(SIGHUP);
    ASSERT_TRUE(testsupport::waitUntil(
        [&] { return printer->log().find("the trusted users read again") != std::string::npos; }, 10s));

    // The remembered printer is reached without --secure, as this user.
    auto status = tolvane({"--json", "status"});
    ASSERT_EQ(finish(*status), 0);
    EXPECT_EQ(kel::var::fromJsonString(lines(status->out()).at(0))["printer"].stringValue(""), PublicKey);
    // Every session the printer took is this user's (a slow link may take two).
    const std::vector<std::string> claimed = claims();
    ASSERT_FALSE(claimed.empty());
    for (const std::string& id : claimed) EXPECT_EQ(id, user);

    // A machine that announces another key from the printer's address cannot prove
    // it on the encrypted port.
    const std::string forged = kel::bytes(32).randomize().toHex();
    std::atomic<bool> announcing{true};
    std::thread impostor([&] {
        NetworkNamespace::Inside inside(*printerSide);
        const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in client{};
        client.sin_family = AF_INET;
        client.sin_port = htons(55386);
        ::inet_pton(AF_INET, "10.0.0.2", &client.sin_addr);
        const std::string announcement = "tolvane-v5-" + forged;
        while (announcing) {
            ::sendto(fd, announcement.data(), announcement.size(), 0, reinterpret_cast<sockaddr*>(&client),
                     sizeof client);
            std::this_thread::sleep_for(200ms);
        }
        ::close(fd);
    });
    const std::string clientLog = config + "/client.log";
    auto fooled = tolvane({"--secure", "--printer", forged.substr(0, 8), "--log", clientLog, "status"});
    const int fooledStatus = fooled->wait(60s);
    announcing = false;
    impostor.join();
    EXPECT_EQ(fooledStatus, 3) << fooled->out() << fooled->err();
    EXPECT_NE(fooled->err().find("does not answer over the encrypted channel"), std::string::npos)
        << fooled->err();
    EXPECT_NE(testsupport::slurp(clientLog).find("failed connecting (reason : Unexpected public key)"),
              std::string::npos);
    // The printer may have taken the user before the user refused it; nobody else got in.
    for (const std::string& id : claims()) EXPECT_EQ(id, user);
}
