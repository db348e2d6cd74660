// The built daemon in printer mode, run as a child process in a network namespace of
// the test's own against the simulated board, with a staged home; the test talks to
// it as its users do.
#include <dirent.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <deque>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "BoardSimProcess.h"
#include "Vant/Gate/Gate.h"
#include "Vant/Messaging/EncryptedTestPeer.h"
#include "support/AsyncTest.h"
#include "support/ChildProcess.h"
#include "support/NetworkNamespace.h"
#include "support/RawPeer.h"
#include "support/StagedHome.h"
#include "support/TestUser.h"

using namespace std::chrono_literals;
using testsupport::ChildProcess;
using testsupport::NetworkNamespace;
using testsupport::RawPeer;
using testsupport::tasksOf;
using testsupport::TestUser;
using testsupport::waitUntil;

namespace {

const std::string PrivateKey = "77076d0a7318a57d3c16c17251b26645df4c2f87ebc0992ab177fba51db92c2a";
const std::string PublicKey = "8520f0098930a754748b7ddcb43ef75a0dbf3a0d26381af4eba4a98eaa9b4e6a";
const unsigned short PrinterPort = 59955;
const unsigned short SecurePort = 59956;

std::string daemonPath() {
    return testsupport::builtProgram("tolvane-ferrow");
}

std::map<std::string, std::string> daemonEnvironment(const BoardSim::Process& sim) {
    std::map<std::string, std::string> env{
        {"TOLVANE_HOME", testsupport::stagedHome()},
        {"TOLVANE_MOTION_PORT", sim.motionPath()},
        {"TOLVANE_LIGHTING_PORT", sim.lightingPath()},
        {"TOLVANE_BROADCAST", "127.255.255.255"},
    };
    // Freed memory is reused at once, so that the resident size of an instrumented
    // build says what the daemon keeps (the sanitizer's own records of ten thousand
    // threads and the running start-up task still add up to about 5 MB; a session
    // kept per claim would add tens).
    const char* asan = std::getenv("ASAN_OPTIONS");
    env["ASAN_OPTIONS"] = std::string(asan != nullptr ? asan : "") + ":quarantine_size_mb=0";
    return env;
}

std::size_t threadCount(pid_t pid) {
    std::size_t count = 0;
    if (DIR* tasks = ::opendir(("/proc/" + std::to_string(pid) + "/task").c_str())) {
        while (const dirent* entry = ::readdir(tasks)) {
            if (entry->d_name[0] != '.') ++count;
        }
        ::closedir(tasks);
    }
    return count;
}

long residentKb(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.compare(0, 6, "VmRSS:") == 0) return std::stol(line.substr(6));
    }
    return -1;
}

std::size_t count(const std::string& text, const std::string& wanted, std::size_t from = 0) {
    std::size_t n = 0;
    for (auto at = text.find(wanted, from); at != std::string::npos; at = text.find(wanted, at + 1)) ++n;
    return n;
}

kel::bytes gateMessage(kel::byte kind, const std::string& body) {
    return kel::bytes(1, kind) + kel::bytes(4).randomize() + kel::bytes(body);
}

bool namespacesAvailable() {
    static const bool available = NetworkNamespace::available();
    return available;
}

// The daemon in its namespace, a simulated board and an I/O pool for the test's users.
class PrinterDaemon : public ::testing::Test {
protected:
    explicit PrinterDaemon(std::vector<std::string> simArguments = {}) : sim(std::move(simArguments)) {}

    void SetUp() override {
        if (!namespacesAvailable()) GTEST_SKIP() << "network namespaces need root";
        ns.reset(new NetworkNamespace);
        std::vector<std::string> argv{daemonPath(), "-k", PrivateKey};
        for (const std::string& argument : daemonArguments()) argv.push_back(argument);
        daemon.reset(new ChildProcess(ns->exec(argv), daemonEnvironment(sim)));
        ASSERT_TRUE(daemon->waitForOutput("PUBLIC", 30s)) << daemon->err();
    }

    void TearDown() override {
        if (daemon) {
            if (runsToTheEnd) {
                EXPECT_TRUE(testsupport::processRunning(daemon->pid()))
                    << "the daemon ended: " << daemon->err();
            }
            if (HasFailure()) {
                const std::string& out = daemon->out();
                std::cerr << "--- daemon ---\n" << out.substr(out.size() > 20000 ? out.size() - 20000 : 0);
            }
        }
        pool.stop();
        daemon.reset();
        ns.reset();
    }

    virtual std::vector<std::string> daemonArguments() { return {}; }

    // Keeps `user` busy while `goOn` holds: a task a second, each of which must come back
    // started within 20 s, with the daemon's output read all the while (it would block
    // on a full pipe) and `pass` run after each read. Then waits for the tasks left.
    void serveWhile(TestUser& user, const std::function<bool()>& goOn,
                    const std::function<void()>& pass = std::function<void()>()) {
        auto lastTask = std::chrono::steady_clock::now();
        std::deque<std::pair<std::string, std::chrono::steady_clock::time_point>> pending;
        while (goOn()) {
            daemon->waitForOutput("\x01", 20ms);
            if (pass) pass();
            const auto now = std::chrono::steady_clock::now();
            if (now - lastTask > 1s) {
                pending.emplace_back(user.addTask("SaveNozzlePosition"), now);
                lastTask = now;
            }
            while (!pending.empty() && (user.hasInstanceOf(pending.front().first, "SaveNozzlePosition") ||
                                        now - pending.front().second > 20s)) {
                EXPECT_TRUE(user.hasInstanceOf(pending.front().first, "SaveNozzlePosition"))
                    << "task " << pending.front().first << " not served within 20 s";
                pending.pop_front();
            }
        }
        for (const auto& task : pending)
            EXPECT_TRUE(user.waitForInstanceOf(task.first, "SaveNozzlePosition", 20s));
    }

    // Connects `user` from inside the namespace, retrying while the daemon starts.
    bool connect(TestUser& user, std::chrono::milliseconds deadline = 30s) {
        NetworkNamespace::Inside inside(*ns);
        return waitUntil([&] { return user.connect(1s); }, deadline);
    }

    BoardSim::Process sim;
    testsupport::IoPool pool{3};
    std::unique_ptr<NetworkNamespace> ns;
    std::unique_ptr<ChildProcess> daemon;
    bool runsToTheEnd = true;  // the daemon must still run when the test ends
};

// The daemon stopped by a signal, against a board twenty times faster than real time so
// that the start-up task and the resetting states of an interrupted one fit a test.
class StoppingDaemon : public PrinterDaemon {
protected:
    StoppingDaemon() : PrinterDaemon({"--time-scale", "20"}) { runsToTheEnd = false; }

    // Connects the user and waits until the printer's start-up task is done, which
    // frees the mechanics for the user's tasks.
    void connectOnceStartedUp(TestUser& user) {
        ASSERT_TRUE(connect(user));
        ASSERT_TRUE(waitUntil(
            [&] {
                const auto tasks = tasksOf(user.queue(), "StartingUp");
                return tasks.size() == 1 && user.queue().isTaskDone(tasks[0]);
            },
            60s));
    }

    // Whether a line after the first `from` the board received carries `command`.
    bool boardReceivedSince(std::size_t from, const std::string& command) {
        const auto lines = sim.received();
        for (std::size_t i = from; i < lines.size(); ++i) {
            if (lines[i].find(" " + command + "*") != std::string::npos) return true;
        }
        return false;
    }
};

// Trusted users only: the daemon's trusted-users file names Alice and Mallet (a trusted
// user who misbehaves); users come over the encrypted port.
class TrustedPrinterDaemon : public PrinterDaemon {
protected:
    std::vector<std::string> daemonArguments() override {
        trustedFile = testsupport::scratchFolder() + "/trusted-users";
        listOnly({alice.pub, mallet.pub});
        return {"--trusted-users", trustedFile};
    }

    void listOnly(const std::vector<kel::bytes>& keys) {
        std::string text = "# who may use this printer\n";
        for (const kel::bytes& key : keys) text += key.toHex() + "  # someone\n";
        testsupport::writeFile(trustedFile, text);
    }

    encryptedtest::KeyPair alice, mallet, mallory;
    const kel::bytes printerKey = kel::bytes::fromHex(PublicKey);
    std::string trustedFile;
};

// CPU time the process has used so far, in milliseconds.
long cpuMilliseconds(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string field;
    long ticks = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i >= 14) ticks += std::stol(field);  // utime, stime
    }
    return ticks * 1000 / ::sysconf(_SC_CLK_TCK);
}

std::string instanceOf(TestUser& user, const std::string& taskId, const std::string& stateType) {
    for (const auto& instance : user.queue().getTask(taskId).instances()) {
        const kel::var& record = instance;
        if (record.has("stateType") && record["stateType"] == kel::var(stateType)) return record["id"];
    }
    return std::string();
}

}  // namespace

TEST(PrinterMode, EndsWithStatusZeroWhenABoardCannotBeOpened) {
    BoardSim::Process sim;
    auto env = daemonEnvironment(sim);
    env["TOLVANE_LIGHTING_PORT"] = sim.folder() + "/no-lighting";
    ChildProcess withoutLighting({daemonPath(), "-k", PrivateKey}, env);
    EXPECT_EQ(withoutLighting.wait(30s), 0);
    EXPECT_NE(withoutLighting.out().find("Lighting creation error : No such file or directory\n"),
              std::string::npos)
        << withoutLighting.out();
    // The lighting controller is opened first: the motion board was never tried.
    EXPECT_EQ(withoutLighting.out().find("Driver creation error"), std::string::npos);

    env = daemonEnvironment(sim);
    env["TOLVANE_MOTION_PORT"] = sim.folder() + "/no-motion";
    ChildProcess withoutMotion({daemonPath(), "-k", PrivateKey}, env);
    EXPECT_EQ(withoutMotion.wait(30s), 0);
    EXPECT_NE(withoutMotion.out().find("Driver creation error : No such file or directory\n"),
              std::string::npos)
        << withoutMotion.out();
}

TEST_F(PrinterDaemon, RunsExactlyOneStartingUpTaskOnceTheBoardAnswers) {
    TestUser user(pool.io, PrinterPort);
    ASSERT_TRUE(connect(user));
    ASSERT_TRUE(waitUntil(
        [&] {
            const auto tasks = tasksOf(user.queue(), "StartingUp");
            return tasks.size() == 1 && user.hasInstanceOf(tasks[0], "StartingUp");
        },
        30s));
    const auto received = sim.received();
    ASSERT_FALSE(received.empty());
    EXPECT_EQ(received[0], "N1 M105*38");
    EXPECT_EQ(daemon->out().find("Driver initialization error"), std::string::npos);
    EXPECT_EQ(tasksOf(user.queue(), "StartingUp").size(), 1u);
}

// Claims, take-overs and returns as users meet them on the daemon itself.
TEST_F(PrinterDaemon, ClaimsTakeOversAndReturnsOfAUser) {
    const std::string claimed = "Printer::start() Claimed user id : ";
    {
        // Frames of 31 and 33 bytes claim nothing; a 32-byte one on the same connection does.
        NetworkNamespace::Inside inside(*ns);
        ASSERT_TRUE(waitUntil(
            [&] {
                try {
                    RawPeer probe(PrinterPort);
                    return true;
                } catch (const std::exception&) {
                    return false;
                }
            },
            30s));
        RawPeer peer(PrinterPort);
        peer.writeFrame(kel::bytes(31).randomize());
        peer.writeFrame(kel::bytes(33).randomize());
        const kel::bytes id = kel::bytes(32).randomize();
        peer.writeFrame(id);
        ASSERT_TRUE(daemon->waitForOutput(claimed + id.toHex(), 10s));
        EXPECT_EQ(count(daemon->out(), claimed), 1u);
    }

    // The whole queue reaches a user who connects after at most one message: a reliable
    // message the session's gate still held when the user's previous connection ended
    // is resent first (every 6 s), then the synchronizer sends everything.
    auto wholeQueueFrom = [](TestUser& user, std::size_t before) {
        return waitUntil(
            [&] {
                const auto received = user.received().snapshot();
                for (std::size_t i = before; i < received.size() && i <= before + 1; ++i) {
                    if (!received[i].has("diffId")) return true;
                }
                return false;
            },
            20s);
    };
    const kel::bytes id = kel::bytes(32).randomize();
    TestUser first(pool.io, PrinterPort, id), second(pool.io, PrinterPort, id);
    ASSERT_TRUE(connect(first));
    EXPECT_TRUE(wholeQueueFrom(first, 0));

    // A second connection with the same key closes the first.
    ASSERT_TRUE(connect(second));
    ASSERT_TRUE(first.disconnections().waitFor(1));
    EXPECT_TRUE(daemon->waitForOutput("User::setSocket() force closing", 5s));
    EXPECT_TRUE(wholeQueueFrom(second, 0));

    // A user who comes back gets the whole queue again, nothing having changed.
    second.disconnect();
    const std::size_t before = first.received().size();
    ASSERT_TRUE(connect(first));
    EXPECT_TRUE(wholeQueueFrom(first, before));
}

TEST_F(PrinterDaemon, AHostileClientDoesNotStopTheServiceForAWellBehavedUser) {
    TestUser good(pool.io, PrinterPort);
    ASSERT_TRUE(connect(good));

    std::atomic<bool> hostileDone{false};
    std::thread hostile([&] {
        NetworkNamespace::Inside inside(*ns);
        for (int round = 0; round < 20; ++round) {
            RawPeer garbage(PrinterPort);
            garbage.writeFrame(kel::bytes(7).randomize());   // not a claim
            garbage.writeFrame(kel::bytes(32).randomize());  // the claim
            garbage.writeFrame(kel::bytes(300).randomize());
            garbage.writeFrame(gateMessage(Vant::Gate::Reliable, "\x01\x02 not json {"));
            garbage.writeFrame(gateMessage(Vant::Gate::Reliable, "[\"an\",\"array\"]"));
            garbage.writeFrame(gateMessage(
                Vant::Gate::Reliable,
                R"({"diffId":"0000aaaa","tasks":[{"id":")" + kel::var::randomHex(4).stringValue() +
                    R"(","stateType":["Packaging"],"instances":{},"data":{"x":{"y":[false]}}}]})"));
            garbage.writeFrame(gateMessage(Vant::Gate::Reliable, R"({"calibrationAction":[1]})"));
            RawPeer oversized(PrinterPort);
            oversized.write(kel::bytes::fromUint(0x7fffffffu));
            oversized.waitClosed(5s);
        }
        hostileDone = true;
    });

    // Served while the hostile client works, and after.
    int served = 0;
    while (!hostileDone || served < 2) {
        const std::string taskId = good.addTask("SaveNozzlePosition");
        EXPECT_TRUE(good.waitForInstanceOf(taskId, "SaveNozzlePosition", 20s)) << served;
        ++served;
        daemon->waitForOutput("\x01", 10ms);  // keeps the daemon's output flowing
    }
    hostile.join();
    EXPECT_TRUE(good.isConnected());
    EXPECT_TRUE(daemon->waitForOutput("User::User() dropped a body that is not JSON text", 5s));
    EXPECT_TRUE(daemon->waitForOutput("has no state type name; not started.", 5s));
}

TEST_F(PrinterDaemon, AFloodOfClaimsLeavesThreadsSessionsAndMemoryBounded) {
    TestUser good(pool.io, PrinterPort);
    ASSERT_TRUE(connect(good));
    const std::string first = good.addTask("SaveNozzlePosition");
    ASSERT_TRUE(good.waitForInstanceOf(first, "SaveNozzlePosition", 20s));
    const pid_t pid = daemon->pid();
    const std::string claimed = "Printer::start() Claimed user id : ";

    // Claims with random ids, each connection closed after its claim, at most `window`
    // of them ahead of the daemon.
    std::atomic<int> claimsSeen{0};
    auto flood = [&](int claims) {
        std::atomic<bool> done{false}, abandon{false};
        const int start = claimsSeen;
        std::thread client([&] {
            NetworkNamespace::Inside inside(*ns);
            const int window = 100;
            for (int i = 0; i < claims && !abandon; ++i) {
                while (i - (claimsSeen - start) > window && !abandon) std::this_thread::sleep_for(1ms);
                RawPeer peer(PrinterPort);
                peer.writeFrame(kel::bytes(32).randomize());
            }
            done = true;
        });
        // The well-behaved user keeps being served meanwhile.
        std::size_t scanned = daemon->out().size();
        const auto deadline = std::chrono::steady_clock::now() + 600s;
        serveWhile(
            good,
            [&] {
                if (std::chrono::steady_clock::now() <= deadline) return !done || claimsSeen - start < claims;
                ADD_FAILURE() << "the daemon took " << claimsSeen - start << " of " << claims << " claims";
                abandon = true;
                return false;
            },
            [&] {
                const std::string& out = daemon->out();
                claimsSeen += static_cast<int>(
                    count(out, claimed, scanned > claimed.size() ? scanned - claimed.size() + 1 : 0));
                scanned = out.size();
            });
        client.join();
    };

    // A first round brings the session table to its limit and the allocator to its pace.
    flood(500);
    // Settled: the pool, the main thread, the announcer and the user's session.
    std::size_t threadsBefore = 0;
    ASSERT_TRUE(waitUntil([&] { return (threadsBefore = threadCount(pid)) <= 16; }, 30s)) << threadsBefore;
    const long residentBefore = residentKb(pid);

    const auto started = std::chrono::steady_clock::now();
    flood(10000);
    const auto seconds =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - started);

    std::size_t threadsAfter = 0;
    EXPECT_TRUE(waitUntil([&] { return (threadsAfter = threadCount(pid)) <= threadsBefore + 2; }, 30s))
        << threadsBefore << " threads before, " << threadsAfter << " after";
    const long residentAfter = residentKb(pid);
    const std::string& out = daemon->out();
    const std::string kept = " sessions kept)";
    const auto last = out.rfind(kept);
    ASSERT_NE(last, std::string::npos);
    const int sessions = std::stoi(out.substr(out.rfind('(', last) + 1));
    EXPECT_LE(sessions, 64 + 1);
    EXPECT_LT(residentAfter - residentBefore, 8192)
        << residentBefore << " kB before, " << residentAfter << " kB after";
    EXPECT_TRUE(good.isConnected());
    std::cout << "flood of 10000 claims in " << seconds.count() << " s: threads " << threadsBefore << " -> "
              << threadsAfter << ", sessions " << sessions << ", resident " << residentBefore << " kB -> "
              << residentAfter << " kB" << std::endl;
}

TEST_F(StoppingDaemon, SigtermInterruptsAHeatingTaskLetsItResetAndExitsWithStatusZero) {
    TestUser user(pool.io, PrinterPort);
    connectOnceStartedUp(user);
    const std::string task = user.addTask("LoadingFilament");
    // The user clears the bed when asked; the task then heats the hot end to 185.
    std::string ask;
    ASSERT_TRUE(waitUntil([&] { return !(ask = instanceOf(user, task, "AskClearBed")).empty(); }, 30s));
    user.queue().updateInstanceProgress(task, ask, 1.0);
    ASSERT_TRUE(waitUntil([&] { return boardReceivedSince(0, "M104 S185"); }, 30s));
    const std::size_t beforeStop = sim.received().size();

    const auto signalled = std::chrono::steady_clock::now();
    daemon->signal(SIGTERM);
    EXPECT_EQ(daemon->wait(30s), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - signalled, 30s);
    EXPECT_NE(daemon->out().find("main() SIGTERM received"), std::string::npos);
    // Interrupted as a user would, and its resetting states ran: a firmware reset, then
    // the bed freed; the hot end's target ends at 0.
    EXPECT_EQ(user.queue().getVariable(task, "Interrupted"), kel::var("Shutdown"));
    EXPECT_TRUE(boardReceivedSince(beforeStop, "M112"));
    EXPECT_TRUE(boardReceivedSince(beforeStop, "G27"));
    EXPECT_NE(daemon->out().find("main() the interrupted tasks have ended"), std::string::npos);
    EXPECT_EQ(sim.control("target"), "ok 0");
}

TEST_F(StoppingDaemon, SigintTurnsTheHotEndOffWhenNoTaskDid) {
    TestUser user(pool.io, PrinterPort);
    connectOnceStartedUp(user);
    const std::string task = user.addTask("FullPreHeating");
    ASSERT_TRUE(waitUntil([&] { return user.queue().isTaskDone(task); }, 30s));
    ASSERT_EQ(sim.control("target"), "ok 185");

    daemon->signal(SIGINT);
    EXPECT_EQ(daemon->wait(30s), 0);
    EXPECT_EQ(sim.control("target"), "ok 0");
}

TEST_F(StoppingDaemon, ASecondSignalEndsTheStopAtOnce) {
    // The board runs nothing: the start-up task cannot end, so the stop waits for it.
    sim.control("hold");
    ASSERT_TRUE(sim.waitForReceived(2, 30s));
    daemon->signal(SIGTERM);
    ASSERT_TRUE(daemon->waitForOutput("main() SIGTERM received", 10s));
    ASSERT_TRUE(testsupport::processRunning(daemon->pid()));
    daemon->signal(SIGTERM);
    EXPECT_EQ(daemon->wait(5s), 128 + SIGTERM);
}

// The motion board gone for good once start-up has begun: the daemon goes on serving
// its users, every task that needs the board ends with "BoardLost", and the loss is
// logged once instead of a read error every two seconds.
TEST_F(PrinterDaemon, KeepsServingUsersWhenTheMotionBoardIsGoneForGood) {
    TestUser user(pool.io, PrinterPort);
    ASSERT_TRUE(connect(user));
    ASSERT_TRUE(waitUntil([&] { return tasksOf(user.queue(), "StartingUp").size() == 1; }, 30s));
    sim.control("close");
    auto failedForTheBoard = [&](const std::string& taskId) {
        return waitUntil(
            [&] {
                daemon->waitForOutput("\x01", 10ms);  // keeps the daemon's output flowing
                return user.queue().getVariable(taskId, "Interrupted") == kel::var("BoardLost") &&
                       user.queue().isTaskDone(taskId);
            },
            60s);
    };
    EXPECT_TRUE(failedForTheBoard(tasksOf(user.queue(), "StartingUp")[0]));
    EXPECT_TRUE(failedForTheBoard(user.addTask("Packaging")));
    const std::string& out = daemon->out();
    EXPECT_EQ(count(out, "Driver::portLost() motion board lost"), 1u);
    EXPECT_EQ(count(out, "Driver::handleInputs() error"), 0u);
    EXPECT_LE(count(out, "still unavailable"), 1u);
}

TEST_F(TrustedPrinterDaemon, LetsListedUsersInOverTheEncryptedPortOnlyAndDropsThoseRemovedOnSighup) {
    TestUser listed(pool.io, SecurePort, alice.priv, printerKey);
    ASSERT_TRUE(connect(listed));
    {
        NetworkNamespace::Inside inside(*ns);
        EXPECT_THROW(RawPeer plain(PrinterPort), std::runtime_error);
    }
    const std::string task = listed.addTask("SaveNozzlePosition");
    ASSERT_TRUE(listed.waitForInstanceOf(task, "SaveNozzlePosition", 20s));

    // An unlisted key: refused right after its handshake, logged once with its key;
    // the task it brought never reaches the queue.
    TestUser unlisted(pool.io, SecurePort, mallory.priv, printerKey);
    unlisted.addTask("Maintaining");
    ASSERT_TRUE(connect(unlisted));
    ASSERT_TRUE(unlisted.disconnections().waitFor(1, 10s));
    const std::string later = listed.addTask("SaveNozzlePosition");
    ASSERT_TRUE(listed.waitForInstanceOf(later, "SaveNozzlePosition", 20s));
    EXPECT_TRUE(tasksOf(listed.queue(), "Maintaining").empty());
    EXPECT_EQ(count(daemon->out(), "refused user key " + mallory.pub.toHex()), 1u);
    EXPECT_EQ(count(daemon->out(), "Claimed user id : " + mallory.pub.toHex()), 0u);

    // Alice taken off the list, Mallory put on it: SIGHUP.
    listOnly({mallet.pub, mallory.pub});
    daemon->signal(SIGHUP);
    ASSERT_TRUE(listed.disconnections().waitFor(1, 10s));
    EXPECT_TRUE(daemon->waitForOutput("main() SIGHUP received: the trusted users read again", 5s));
    TestUser added(pool.io, SecurePort, mallory.priv, printerKey);
    ASSERT_TRUE(connect(added));
    const std::string hers = added.addTask("SaveNozzlePosition");
    ASSERT_TRUE(added.waitForInstanceOf(hers, "SaveNozzlePosition", 20s));

    // A file that no longer reads leaves the list as it was.
    testsupport::writeFile(trustedFile, "not a key\n");
    daemon->signal(SIGHUP);
    EXPECT_TRUE(daemon->waitForOutput("; the trusted users stay as they were", 5s));
    const std::string again = added.addTask("SaveNozzlePosition");
    EXPECT_TRUE(added.waitForInstanceOf(again, "SaveNozzlePosition", 20s));
    EXPECT_EQ(added.disconnections().size(), 0u);
}

// The hostile inputs of the plain port, on the encrypted one, each from a loopback
// address of its own: garbage, truncated and silent handshakes, a trusted user who
// misbehaves after the handshake, and a flood of handshakes with fresh keys. A
// trusted user is served throughout; threads and memory stay bounded.
TEST_F(TrustedPrinterDaemon, HostileInputOnTheEncryptedPortLeavesATrustedUserServedAndCostsLittle) {
    using encryptedtest::KeyPair;
    TestUser good(pool.io, SecurePort, alice.priv, printerKey);
    ASSERT_TRUE(connect(good));
    const std::string first = good.addTask("SaveNozzlePosition");
    ASSERT_TRUE(good.waitForInstanceOf(first, "SaveNozzlePosition", 20s));
    const pid_t pid = daemon->pid();

    std::atomic<bool> done{false};
    std::string hostileFailure;  // written by the hostile thread before `done`
    const int floodSize = 5000;
    long cpuBefore = 0, cpuAfter = 0;
    std::size_t threadsBefore = 0;
    long residentBefore = 0;
    std::chrono::steady_clock::time_point floodStart, measuredStart, floodEnd;
    std::thread hostile([&] {
        NetworkNamespace::Inside inside(*ns);
        try {
            using encryptedtest::RawPeer;
            {
                RawPeer garbage;  // before the handshake: H2 does not decrypt
                garbage.connect(SecurePort, "127.0.0.2");
                garbage.write(kel::bytes(32 + 72 + 32 + 500).randomize());
                if (!garbage.waitClosed()) throw std::runtime_error("garbage left open");
            }
            for (int cut : {0, 10, 32, 40}) {  // handshakes cut short
                RawPeer truncated;
                truncated.connect(SecurePort, "127.0.0.3");
                truncated.write(kel::bytes(cut).randomize());
            }
            std::vector<std::unique_ptr<RawPeer>> silent;  // handshakes never begun
            for (int i = 0; i < 6; ++i) {
                silent.emplace_back(new RawPeer);
                silent.back()->connect(SecurePort, "127.0.0.4");
            }
            {
                RawPeer broken(mallet);  // after the handshake: a block that does not decrypt
                broken.connect(SecurePort, "127.0.0.5");
                broken.handshake();
                broken.write(kel::bytes(RawPeer::BlockLength).randomize());
                if (!broken.waitClosed()) throw std::runtime_error("undecryptable block left open");
            }
            {
                RawPeer impostor(mallet);  // claims a key it did not prove
                impostor.connect(SecurePort, "127.0.0.5");
                impostor.handshake();
                impostor.writeMessage(alice.pub);
                if (!impostor.waitClosed()) throw std::runtime_error("a claim of another key left open");
            }
            {
                RawPeer talker(mallet);  // its own claim, then bodies of no sense and an overlong message
                talker.connect(SecurePort, "127.0.0.5");
                talker.handshake();
                talker.writeMessage(mallet.pub);
                talker.writeMessage(gateMessage(Vant::Gate::Reliable, "\x01\x02 not json {"));
                talker.writeMessage(gateMessage(Vant::Gate::Reliable, "[\"an\",\"array\"]"));
                try {
                    talker.writeMessage(kel::bytes(1000001).randomize());
                } catch (const std::runtime_error&) {
                    // closed at the block that overflows, before the rest went out
                }
                if (!talker.waitClosed()) throw std::runtime_error("an overlong message left open");
            }
            silent.clear();

            auto flood = [](int attempts) {
                for (int i = 0; i < attempts; ++i) {
                    const std::string source = "127.0.1." + std::to_string(1 + i % 16);
                    RawPeer fresh{KeyPair()};
                    fresh.connect(SecurePort, source.c_str());
                    try {
                        fresh.handshake();  // refused after it, or closed unheard before
                        fresh.waitClosed();
                    } catch (const std::runtime_error&) {
                    }
                }
            };
            // A first round brings the allocator to its pace.
            floodStart = std::chrono::steady_clock::now();
            flood(1000);
            threadsBefore = threadCount(pid);
            residentBefore = residentKb(pid);
            cpuBefore = cpuMilliseconds(pid);
            measuredStart = std::chrono::steady_clock::now();
            flood(floodSize);
            floodEnd = std::chrono::steady_clock::now();
            cpuAfter = cpuMilliseconds(pid);
        } catch (const std::exception& e) {
            hostileFailure = e.what();
        }
        done = true;
    });

    // Served while the hostile client works, and after.
    serveWhile(good, [&] { return !done; });
    hostile.join();
    const std::string last = good.addTask("SaveNozzlePosition");
    EXPECT_TRUE(good.waitForInstanceOf(last, "SaveNozzlePosition", 20s));
    ASSERT_EQ(hostileFailure, "");
    EXPECT_TRUE(good.isConnected());
    EXPECT_EQ(good.disconnections().size(), 0u);
    for (const std::string& line : {std::string("EncryptedSocket::stop() reason : Decryption error"),
                                    "refused the claim of " + alice.pub.toHex(),
                                    std::string("User::User() dropped a body that is not "),
                                    std::string("EncryptedSocket::stop() reason : Buffer overflow"),
                                    std::string("too many failed handshakes from 127.0.1.")}) {
        EXPECT_TRUE(daemon->waitForOutput(line, 5s)) << line;
    }

    std::size_t threadsAfter = 0;
    EXPECT_TRUE(waitUntil([&] { return (threadsAfter = threadCount(pid)) <= threadsBefore + 2; }, 30s))
        << threadsBefore << " threads before, " << threadsAfter << " after";
    const long residentAfter = residentKb(pid);
    EXPECT_LT(residentAfter - residentBefore, 8192)
        << residentBefore << " kB before, " << residentAfter << " kB after";
    using std::chrono::duration_cast;
    using std::chrono::milliseconds;
    const std::size_t handshakes = count(daemon->out(), "refused user key ");
    const auto millis = duration_cast<milliseconds>(floodEnd - measuredStart).count();
    const auto allMillis = duration_cast<milliseconds>(floodEnd - floodStart).count();
    std::cout << "flood of " << floodSize
              << " handshakes with fresh keys from 16 addresses (after 1000 more) in " << millis
              << " ms: " << handshakes << " of all " << floodSize + 1000
              << " refused after their handshake, the rest closed unheard; daemon CPU "
              << (cpuAfter - cpuBefore) << " ms (" << (cpuAfter - cpuBefore) * 1000 / floodSize
              << " us an attempt); threads " << threadsBefore << " -> " << threadsAfter << ", resident "
              << residentBefore << " kB -> " << residentAfter << " kB" << std::endl;
    // Beyond its burst of 8, an address gets one handshake a second.
    EXPECT_LE(handshakes, static_cast<std::size_t>(16 * (8 + allMillis / 1000 + 2)));
}
