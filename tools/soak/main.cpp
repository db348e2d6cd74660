// tolvane-soak: runs the printer daemon for a long, realistic use against the
// simulated boards and says whether anything about it grows with use. It starts the
// board simulator, a web server for the model and the daemon (printer mode, a fixed
// key) itself, in a network namespace of its own when it may make one, drives the
// printer through users of the client library (Soak.h), reads the daemon every few
// tasks (Measure.h), and ends with a table and a one-line verdict.
//
//   tolvane-soak [options]        --help lists them; exit status 0 pass, 1 fail, 2 setup
//
// Under a cross build's emulator, TOLVANE_EMULATOR names it (as for the tests) and
// the daemon and simulator are started through it.
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <arpa/inet.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>

#include "BoardSimProcess.h"
#include "Daemon.h"
#include "Measure.h"
#include "Soak.h"
#include "Vant/Runtime/FileCache.h"
#include "Vant/StateMachine/build.h"
#include "kel/Sodium.h"
#include "kel/bytes.h"

namespace {

const char* const Usage = R"(usage: tolvane-soak [options]

Runs the printer daemon (printer mode, against the board simulator) through a long,
realistic use by client users: whole prints, maintenance, filament, calibration,
Wi-Fi and service tasks, cancels midway, deletions, users dropping and coming back,
restarts of the printer with the same key, junk from the board and the motion port
lost for 3 s. Reads the daemon's address space, resident memory, threads, open
descriptors and CPU time every few tasks at idle, prints them as a table with the
growth per task, and a verdict. Exit status: 0 when every task ended as it should,
the daemon lived and nothing grew beyond its bound after warm-up; 1 otherwise; 2 when
the soak could not be set up.

  --tasks N             tasks to run in all (300)
  --minutes M           start no task after M minutes (no limit)
  --users N             users running tasks at the same time (2)
  --sample-every N      read the daemon every N tasks (20)
  --warm-up N           tasks of each daemon life before growth counts (40)
  --task-deadline S     seconds a task may take before it counts as hung (180)
  --idle-seconds S      window of each idle CPU reading (3)
  --instant             the simulated board answers every line at once and reports
                        the temperature once a second, as the board does (default)
  --time-scale F        simulated board time runs F times faster instead (durations,
                        progress and temperature reports all F times as often)
  --daemon PATH         the daemon to run (the one of this build)
  --work DIR            keep the logs there (default: a temporary folder, kept only
                        when the soak fails)
  --mix T1,T2,...       the task types each user runs in turn (Printing,Packaging,
                        Maintaining,LoadingFilament,WifiSetup,EjectingFilament,
                        NozzleCalibration,StartingUp)
  --no-namespace        stay in this machine's network namespace (loopback only)
  --verbose             a line for every task that ends

Scenarios, each on by default, with how often they come:
  --no-prints           no print jobs (then no web server either)
  --no-cancels          --cancel-every N (9): a task cancelled midway by its user
  --no-churn            --churn-every N (30): a user drops and comes back
  --no-restart          --restart-every N (100): the printer restarted, same key
  --no-port-loss        --port-loss-every N (40): the motion port gone for 3 s midway
  --no-garbage          --garbage-every N (10): a line of junk and an overlong line
  --no-board-faults     both of the above
  --no-stop-check       do not require status 0 within 30 s of SIGTERM
  --no-idle-cpu-check   show the idle CPU share without judging its growth

Bounds per task after warm-up:
  --max-address-kb K (100)  --max-resident-kb K (64)  --max-threads N (0.02)
  --max-descriptors N (0.02)  --max-idle-cpu-ratio R (1.5, or +0.5 points of a core)
)";

struct Options {
    Soak::Settings soak;
    std::vector<std::string> simArguments = {"--instant"};
    std::string daemon = TOLVANE_SOAK_DAEMON;
    std::string work;
    bool ownNamespace = true;
};

bool parse(int argc, char** argv, Options& options) {
    Soak::Settings& s = options.soak;
    const std::map<std::string, bool*> switches = {
        {"--no-prints", &s.prints},        {"--no-cancels", &s.cancels},
        {"--no-churn", &s.churn},          {"--no-restart", &s.restart},
        {"--no-port-loss", &s.portLoss},   {"--no-garbage", &s.garbage},
        {"--no-stop-check", &s.stopCheck}, {"--no-namespace", &options.ownNamespace}};
    const std::map<std::string, unsigned*> counts = {{"--tasks", &s.tasks},
                                                     {"--minutes", &s.minutes},
                                                     {"--users", &s.users},
                                                     {"--sample-every", &s.sampleEvery},
                                                     {"--warm-up", &s.warmUp},
                                                     {"--task-deadline", &s.taskDeadline},
                                                     {"--idle-seconds", &s.idleSeconds},
                                                     {"--cancel-every", &s.cancelEvery},
                                                     {"--churn-every", &s.churnEvery},
                                                     {"--restart-every", &s.restartEvery},
                                                     {"--port-loss-every", &s.portLossEvery},
                                                     {"--garbage-every", &s.garbageEvery}};
    const std::map<std::string, double*> bounds = {{"--max-address-kb", &s.limits.addressKb},
                                                   {"--max-resident-kb", &s.limits.residentKb},
                                                   {"--max-threads", &s.limits.threads},
                                                   {"--max-descriptors", &s.limits.descriptors},
                                                   {"--max-idle-cpu-ratio", &s.limits.idleCpuRatio}};
    for (int i = 1; i < argc; ++i) {
        const std::string name = argv[i];
        const bool hasValue = i + 1 < argc;
        if (switches.count(name)) {
            *switches.at(name) = false;
        } else if (name == "--no-idle-cpu-check") {
            s.limits.judgeIdleCpu = false;
        } else if (name == "--no-board-faults") {
            s.portLoss = s.garbage = false;
        } else if (name == "--verbose") {
            s.verbose = true;
        } else if (name == "--instant") {
            options.simArguments = {"--instant"};
        } else if (counts.count(name) && hasValue) {
            const long value = std::atol(argv[++i]);
            if (value <= 0) return false;
            *counts.at(name) = static_cast<unsigned>(value);
        } else if (bounds.count(name) && hasValue) {
            *bounds.at(name) = std::atof(argv[++i]);
        } else if (name == "--time-scale" && hasValue) {
            options.simArguments = {"--time-scale", argv[++i]};
        } else if (name == "--mix" && hasValue) {
            s.mix.clear();
            std::istringstream types(argv[++i]);
            for (std::string type; std::getline(types, type, ',');) {
                if (!Soak::knownTaskType(type)) return false;
                s.mix.push_back(type);
            }
        } else if (name == "--daemon" && hasValue) {
            options.daemon = argv[++i];
        } else if (name == "--work" && hasValue) {
            options.work = argv[++i];
        } else {
            return false;
        }
    }
    const bool onlyPrints =
        std::all_of(s.mix.begin(), s.mix.end(), [](const std::string& t) { return t == "Printing"; });
    return s.users > 0 && s.tasks > 0 && !s.mix.empty() && (s.prints || !onlyPrints);
}

// A TCP port on 127.0.0.1 that nothing listens on at the moment.
int freePort() {
    const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    int port = -1;
    if (::bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        ::getsockname(s, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
        port = ntohs(address.sin_port);
    }
    ::close(s);
    return port;
}

bool accepting(int port) {
    const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool connected = ::connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(s);
    return connected;
}

// Ends a child of the soak by its process id and reaps it.
void end(pid_t pid) {
    if (pid <= 0) return;
    ::kill(pid, SIGTERM);
    BoardSim::waitOrKill(pid, std::chrono::seconds(5));
}

std::string sourceDir() {
    const char* dir = std::getenv("TOLVANE_SOURCE_DIR");
    return dir != nullptr && *dir != '\0' ? dir : TOLVANE_SOAK_SOURCE_DIR;
}

std::string minutes(std::chrono::steady_clock::duration elapsed) {
    const long seconds = std::chrono::duration_cast<std::chrono::seconds>(elapsed).count();
    return std::to_string(seconds / 60) + "m" + (seconds % 60 < 10 ? "0" : "") +
           std::to_string(seconds % 60) + "s";
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (argc > 1 && (std::string(argv[1]) == "--help" || std::string(argv[1]) == "-h")) {
        std::fputs(Usage, stdout);
        return 0;
    }
    if (!parse(argc, argv, options)) {
        std::fputs(Usage, stderr);
        return 2;
    }
    const Soak::Settings& settings = options.soak;
    ::signal(SIGPIPE, SIG_IGN);
    // A stop request ends the run at its next poll, so the daemon, the simulator and
    // the web server are ended too rather than left running.
    ::signal(SIGINT, [](int) { Soak::stopRequested = 1; });
    ::signal(SIGTERM, [](int) { Soak::stopRequested = 1; });

    // Nothing that starts a thread may come before this.
    const bool isolated = options.ownNamespace && Soak::enterOwnNamespace();
    std::printf("soak: %s\n", isolated ? "in a network namespace of its own (loopback only)"
                                       : "in this machine's network namespace, announcing on loopback only");

    const bool temporary = options.work.empty();
    if (temporary) {
        char pattern[] = "/tmp/tolvane-soak-XXXXXX";
        if (::mkdtemp(pattern) == nullptr) {
            std::perror("soak: mkdtemp");
            return 2;
        }
        options.work = pattern;
    } else if (Soak::runToEnd({"mkdir", "-p", options.work}) != 0) {
        std::fprintf(stderr, "soak: cannot make %s\n", options.work.c_str());
        return 2;
    }
    const std::string home = options.work + "/home";
    if (Soak::runToEnd({sourceDir() + "/scripts/stage-home", home}) != 0) {
        std::fprintf(stderr, "soak: scripts/stage-home %s failed\n", home.c_str());
        return 2;
    }
    Vant::StateMachine::buildStateMachine();

    // The announcement stays on loopback whatever the caller's environment says.
    ::setenv("TOLVANE_HOME", home.c_str(), 1);
    ::setenv("TOLVANE_BROADCAST", "127.255.255.255", 1);
    ::setenv("TOLVANE_PYTHON", "python3", 0);
    ::unsetenv("TOLVANE_PRIVATE_KEY");

    int status = 2;
    pid_t webServer = -1;
    {
        std::unique_ptr<BoardSim::Process> sim;
        try {
            sim.reset(new BoardSim::Process(options.simArguments));
        } catch (const std::exception& e) {
            std::fprintf(stderr, "soak: the board simulator did not start: %s\n", e.what());
            return 2;
        }
        ::setenv("TOLVANE_MOTION_PORT", sim->motionPath().c_str(), 1);
        ::setenv("TOLVANE_LIGHTING_PORT", sim->lightingPath().c_str(), 1);

        Soak::Settings runSettings = settings;
        if (settings.prints) {
            const int port = freePort();
            webServer = Soak::spawn({"python3", "-m", "http.server", std::to_string(port), "--bind",
                                     "127.0.0.1", "--directory", home + "/models"});
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
            while (!accepting(port) && std::chrono::steady_clock::now() < deadline) {
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            }
            const auto digest = Vant::Runtime::FileCache::digestOf(home + "/models/cube.stl");
            if (webServer < 0 || !accepting(port) || !digest) {
                std::fprintf(stderr, "soak: no web server for the model on port %d\n", port);
                end(webServer);
                return 2;
            }
            runSettings.modelUrl = "http://127.0.0.1:" + std::to_string(port) + "/cube.stl";
            runSettings.modelMd5 = *digest;
        }

        const kel::bytes privateKey = kel::bytes(32).randomize();
        Soak::Daemon daemon(options.daemon, privateKey.toHex(), options.work + "/daemon.log");
        std::string why;
        if (!daemon.start(std::chrono::seconds(120), why)) {
            std::fprintf(stderr, "soak: the daemon did not start: %s\n%s", why.c_str(),
                         daemon.tail(20).c_str());
            end(webServer);
            return 2;
        }

        // The client library logs every change of the queue on standard output; the
        // soak's own lines keep the terminal.
        std::fflush(stdout);
        std::FILE* out = ::fdopen(::dup(1), "w");
        const int clientLog =
            ::open((options.work + "/client.log").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ::dup2(clientLog, 1);
        ::close(clientLog);

        const auto started = std::chrono::steady_clock::now();
        bool passed;
        std::vector<std::string> problems;
        {
            Soak::Run run(runSettings, out, *sim, daemon, kel::Sodium::publicKey(privateKey));
            passed = run.execute();
            if (passed) passed = run.finalStop();
            if (!passed) {
                problems.push_back(run.failure);
                run.readAtFailure();
            }

            std::fprintf(out, "\n");
            run.record.print(out, settings.limits);
            for (const Soak::Growth& growth : run.record.growth(settings.limits)) {
                if (growth.ok()) continue;
                char text[160];
                std::snprintf(text, sizeof text, "%s grows %+.2f%s a task (limit %g)", growth.name.c_str(),
                              growth.perTask,
                              growth.name == "address space" || growth.name == "resident memory" ? " KB" : "",
                              growth.limit);
                problems.push_back(text);
            }
            if (!run.record.idleCpuOk(settings.limits)) problems.push_back("idle CPU grows with the history");

            const Soak::Counts& c = run.counts;
            const std::string summary =
                std::to_string(c.tasks) + " tasks in " + minutes(std::chrono::steady_clock::now() - started) +
                " (" + std::to_string(c.prints) + " prints, " + std::to_string(c.cancels) + " cancelled, " +
                std::to_string(c.autoDeleted) + " auto-deleted, " + std::to_string(c.portLosses) +
                " port losses, " + std::to_string(c.garbage) + " junk lines, " + std::to_string(c.restarts) +
                " restarts, " + std::to_string(c.returns) + " user returns)";
            std::string verdict = problems.empty() ? "soak: PASS " + summary + "; nothing grows"
                                                   : "soak: FAIL after " + summary + ": ";
            for (std::size_t i = 0; i < problems.size(); ++i) verdict += (i ? "; " : "") + problems[i];
            std::fprintf(out, "%s\n", verdict.c_str());
        }
        status = problems.empty() ? 0 : 1;
        std::string ignoredHow;
        daemon.stop(std::chrono::seconds(5), ignoredHow);
        end(webServer);
        if (status != 0 || !temporary) std::fprintf(out, "soak: logs in %s\n", options.work.c_str());
        std::fclose(out);
    }
    if (status == 0 && temporary) Soak::runToEnd({"rm", "-rf", "--", options.work});
    return status;
}
