// `tolvane` run in the client's namespace: its output, exit status, and what the board received.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "PrinterUnderTest.h"
#include "kel/Sodium.h"
#include "kel/var.h"

using namespace std::chrono_literals;
using testsupport::ChildProcess;
using testsupport::NetworkNamespace;

namespace {

const std::string& PublicKey = testsupport::PrinterPublicKey;

// What follows `prefix` on each line that holds it: without one, every line.
std::vector<std::string> lines(const std::string& text, const std::string& prefix = "") {
    std::vector<std::string> found;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        const auto at = line.find(prefix);
        if (at != std::string::npos) found.push_back(line.substr(at + prefix.size()));
    }
    return found;
}

// The movement lines (G0/G1) of a G-code file, or of the board's log ("N12 G1 X1*34").
std::vector<std::string> moves(const std::vector<std::string>& text) {
    std::vector<std::string> found;
    for (std::string line : text) {
        if (!line.empty() && line[0] == 'N')
            line = line.substr(line.find(' ') + 1, line.rfind('*') - line.find(' ') - 1);
        if (line.compare(0, 3, "G0 ") == 0 || line.compare(0, 3, "G1 ") == 0) found.push_back(line);
    }
    return found;
}

class Tolvane : public testsupport::CabledPrinter {
protected:
    void SetUp() override {
        CabledPrinter::SetUp();
        testsupport::writeFile(model, testsupport::slurp(testsupport::stagedHome() + "/models/cube.stl"));
    }

    // `tolvane ARGS` in the client's namespace; `answering` feeds "y" lines to its input.
    std::unique_ptr<ChildProcess> tolvane(std::vector<std::string> args, bool answering = false) {
        args.insert(args.begin(), testsupport::builtProgram("tolvane"));
        if (answering) args.insert(args.begin(), {"sh", "-c", "yes | exec \"$@\"", "sh"});
        return std::unique_ptr<ChildProcess>(
            new ChildProcess(clientSide->exec(args), {{"XDG_CONFIG_HOME", config}, {"TERM", "dumb"}}));
    }
    static int finish(ChildProcess& run, std::chrono::seconds deadline = 60s) {
        const int status = run.wait(deadline);
        if (status != 0) std::cerr << "--- tolvane ---\n" << run.out() << run.err();
        return status;
    }
    std::string userKey() {
        const std::string key = testsupport::slurp(config + "/tolvane/user.key").substr(0, 64);
        return kel::Sodium::publicKey(kel::bytes::fromHex(key)).toHex();
    }
    // Whether the printer saw user ids claimed, all of them `user`.
    bool onlyClaimed(const std::string& user) {
        const auto claimed = lines(printer->log(), "Printer::start() Claimed user id : ");
        for (const std::string& id : claimed) EXPECT_EQ(id, user);
        return !claimed.empty();
    }

    const std::string config = testsupport::scratchFolder(), model = config + "/part.stl";
};

}  // namespace

TEST_F(Tolvane, FindsThePrinterPrintsAModelAnsweringItsQuestionAndTheBoardGetsExactlyItsMoves) {
    auto printers = tolvane({"printers"});
    ASSERT_EQ(finish(*printers), 0);
    EXPECT_NE(printers->out().find(PublicKey + "  10.0.0.1  version 5.0  "), std::string::npos)
        << printers->out();
    struct stat folder;
    ASSERT_EQ(::stat((config + "/tolvane").c_str(), &folder), 0);
    EXPECT_EQ(folder.st_mode & 0777, 0700u);

    auto print = tolvane({"--json", "print", model, "--set", "layerHeight=0.4"}, true);
    ASSERT_EQ(finish(*print, 300s), 0);
    std::string events;
    for (const std::string& line : lines(print->out())) {
        kel::var object;
        ASSERT_NO_THROW(object = kel::var::fromJsonString(line)) << line;
        events += object["event"].stringValue("?") + " ";
    }
    EXPECT_NE(events.find("question answered"), std::string::npos) << events;
    EXPECT_NE(print->out().rfind("\"status\":\"done\""), std::string::npos);
    EXPECT_TRUE(onlyClaimed(userKey()));

    // Exactly the sliced file's moves, once and in order.
    const auto gcode = lines(printer->log(), "Layering : about to run gcode file : ");
    ASSERT_EQ(gcode.size(), 1u);
    const std::vector<std::string> sliced = moves(lines(testsupport::slurp(gcode[0])));
    EXPECT_GT(sliced.size(), 1000u);
    EXPECT_EQ(moves(printer->sim.received()), sliced);
    EXPECT_EQ(printer->sim.mismatches(), 0u);
}

TEST_F(Tolvane, CancelInterruptsARunningPrintWhichThenEndsWithStatusOne) {
    auto print = tolvane({"print", model, "--yes", "--set", "layerHeight=0.4"});
    ASSERT_TRUE(print->waitForOutput("The printer has the model.", 120s)) << print->out() << print->err();
    const std::vector<std::string> started = lines(print->out(), "(task ");
    ASSERT_EQ(started.size(), 1u);
    const std::string taskId = started[0].substr(0, 8);

    auto cancel = tolvane({"cancel", taskId});
    ASSERT_EQ(finish(*cancel), 0);
    EXPECT_NE(cancel->out().find("Interrupted Printing task " + taskId), std::string::npos) << cancel->out();
    EXPECT_EQ(print->wait(120s), 1) << print->out();
    EXPECT_NE(print->out().find("The task was interrupted: "), std::string::npos) << print->out();
    EXPECT_EQ(lines(print->out(), "The printer has the model.").size(), 1u) << print->out();
}

TEST_F(Tolvane, ASecondPrinterMakesTheChoiceAnErrorThatNamesBothUntilAKeyPrefixChooses) {
    NetworkNamespace secondSide;
    testsupport::Cable secondCable(secondSide, "10.0.1.1/24", *clientSide, "10.0.1.2/24");
    ASSERT_TRUE(secondCable.ok);
    const std::string secondKey = kel::bytes(32).randomize().toHex();
    testsupport::PrinterUnderTest second(secondSide, secondKey, "10.0.1.255");
    ASSERT_TRUE(second.started());
    const std::string secondPublic = kel::Sodium::publicKey(kel::bytes::fromHex(secondKey)).toHex();

    auto status = tolvane({"status"});
    EXPECT_EQ(status->wait(60s), 2);
    EXPECT_NE(status->err().find(PublicKey + " at 10.0.0.1"), std::string::npos) << status->err();
    EXPECT_NE(status->err().find(secondPublic + " at 10.0.1.1"), std::string::npos) << status->err();

    auto chosen = tolvane({"--json", "--printer", secondPublic.substr(0, 6), "status"});
    ASSERT_EQ(finish(*chosen), 0);
    EXPECT_EQ(kel::var::fromJsonString(lines(chosen->out()).at(0))["printer"].stringValue(""), secondPublic);
}

// In a terminal (tmux): the bars redraw in place, each label once, no stray line.
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
             {testsupport::builtProgram("tolvane"), "print", model, "--yes", "--set", "layerHeight=0.4"}))
        command += "'" + word + "' ";
    tmux({"new-session", "-d", "-x", "120", "-y", "40", command + "; echo EXIT=$?; sleep 600"});
    const int server = std::stoi(lines(tmux({"display-message", "-p", "#{pid}"})).at(0));
    std::string screen;
    const bool ended = testsupport::waitUntil(
        [&]() {
            return (screen = tmux({"capture-pane", "-p"})).find("EXIT=") != std::string::npos;
        },
        300s);
    tmux({"kill-server"});
    if (testsupport::processRunning(server)) ::kill(server, SIGKILL);
    ASSERT_TRUE(ended) << screen;

    EXPECT_NE(screen.find("EXIT=0"), std::string::npos) << screen;
    EXPECT_NE(screen.find("[##############################] done"), std::string::npos) << screen;
    EXPECT_EQ(screen.find('\x1b'), std::string::npos);
    std::map<std::string, int> rows;  // the block's rows by label
    for (const std::string& line : lines(screen)) {
        if (line.compare(0, 2, "  ") == 0) ++rows[line.substr(2, line.find(' ', 2) - 2)];
        bool known = line.empty();
        for (const char* start : {"  ", "Printing ", "The ", "EXIT=", "Is the bed clear? "})
            known = known || line.rfind(start, 0) == 0;
        EXPECT_TRUE(known) << "stray line: \"" << line << "\"\n" << screen;
    }
    for (const char* label : {"download", "slicing", "heating", "layers", "overall", "now"})
        EXPECT_EQ(rows[label], 1) << label << "\n" << screen;
}

class TrustedTolvane : public Tolvane {
protected:
    std::vector<std::string> daemonOptions() override {
        testsupport::writeFile(trustedFile, "# nobody yet\n");
        return {"--trusted-users", trustedFile};
    }
    const std::string trustedFile = testsupport::scratchFolder() + "/trusted-users";
};

TEST_F(TrustedTolvane, APairedUserGetsInAndAPrinterThatCannotProveItsKeyIsRefused) {
    // Pairing gives the trusted-users line and remembers the printer as secure.
    auto pair = tolvane({"pair", "--printer", "10.0.0.1"});
    ASSERT_EQ(finish(*pair), 0);
    const std::string user = userKey();
    const auto line = lines(pair->out(), user);
    ASSERT_FALSE(line.empty()) << pair->out();
    testsupport::writeFile(trustedFile, user + line.back() + "\n");
    printer->daemon.signal(SIGHUP);
    ASSERT_TRUE(printer->waitForLog("the trusted users read again", 10s));
    auto status = tolvane({"--json", "status"});
    ASSERT_EQ(finish(*status), 0);
    EXPECT_EQ(kel::var::fromJsonString(lines(status->out()).at(0))["printer"].stringValue(""), PublicKey);
    EXPECT_TRUE(onlyClaimed(user));

    // A machine that announces another key from the printer's address cannot prove it.
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
    // The log is the only place that tells this refusal from a printer that is down.
    EXPECT_NE(testsupport::slurp(clientLog).find("failed connecting (reason : Unexpected public key)"),
              std::string::npos);
    EXPECT_TRUE(onlyClaimed(user));
}
