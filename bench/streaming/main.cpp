// bench_streaming: lines per second that the driver streams to a board that answers
// at once, next to printcore (Debian's printrun) on the same simulated board and the
// limit of a real 115200-baud line, and the CPU time each streaming side spends per
// 10,000 lines. Every line is pushed when the board has acknowledged the previous one,
// as the job streamer does; the driver's log lines are all kept (standard output goes
// to a file during the run, each line written whole as the daemon writes it) and
// counted. The lines are those of a model sliced for real: the demo's tower, sliced
// by the slicer stand-in (Slic3r), repeated as needed; without python3 or Slic3r,
// slicer-like lines made up here.
//
// CPU time counted (user + system), the simulator excluded on both sides:
// - ours: this process's own time (every thread: the I/O pool running the driver,
//   its log writes, the waiting main thread) from the first push to the last
//   line's completion; the handshake and the pool's start are not counted.
// - printcore: the python process's whole time as wait4() reports it when it ends,
//   so its interpreter's start-up and its M110 lines are counted too (a fixed cost
//   of about 70 ms on a development machine, small beside 20,000 lines).
//
// In the ARM build (configured with -DTOLVANE_BENCH=ON) it runs under the emulator:
//   TOLVANE_EMULATOR="qemu-arm -L /" qemu-arm -L / build-armhf/bin/bench_streaming
// printcore then still runs natively, so there ours pays the emulation and printcore
// does not: a ratio below 1 there holds a fortiori.
//
//   bench_streaming [lines] [pool threads]
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <future>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "BoardSimProcess.h"
#include "Vant/Driver/Driver.h"

namespace {

const double BytesPerSecondAt115200 = 115200.0 / 10.0;  // 8 data bits, start and stop bit
const double BoardReplyBytes = 3.0;                     // "OK\n"

// Slicer-like extrusion moves: a feed rate now and then, X/Y with three decimals,
// the extruder's growing position with five.
std::vector<std::string> movementLines(int count) {
    std::mt19937 random(20261206);
    std::uniform_real_distribution<double> position(10.0, 190.0), step(0.01, 0.09);
    std::vector<std::string> lines;
    double extruder = 0.0;
    char text[96];
    for (int i = 0; i < count; ++i) {
        extruder += step(random);
        if (i % 25 == 0) {
            std::snprintf(text, sizeof text, "G1 X%.3f Y%.3f E%.5f F%d", position(random), position(random),
                          extruder, i % 50 == 0 ? 1800 : 2400);
        } else {
            std::snprintf(text, sizeof text, "G1 X%.3f Y%.3f E%.5f", position(random), position(random),
                          extruder);
        }
        lines.push_back(text);
    }
    return lines;
}

// The lines of the demo's tower as the slicer stand-in slices it in `folder`, repeated
// until there are `count`; empty when it cannot be sliced here.
std::vector<std::string> slicedLines(int count, const std::string& folder) {
    const std::string standins = std::string(TOLVANE_SOURCE_DIR) + "/tools/standins";
    const std::string command = "python3 " + standins + "/models/make_tower.py " + folder +
                                "/tower.stl && python3 " + standins + "/cura.py -s -p layer_height=0.2 -o " +
                                folder + "/tower.gcode " + folder + "/tower.stl >/dev/null 2>&1";
    std::vector<std::string> file, lines;
    if (std::system(command.c_str()) == 0) {
        std::ifstream in(folder + "/tower.gcode");
        for (std::string line; std::getline(in, line);) {
            if (!line.empty()) file.push_back(line);
        }
    }
    for (size_t i = 0; !file.empty() && lines.size() < static_cast<size_t>(count); ++i) {
        lines.push_back(file[i % file.size()]);
    }
    ::unlink((folder + "/tower.stl").c_str());
    ::unlink((folder + "/tower.gcode").c_str());
    return lines;
}

// The simulator's count of numbered lines and the time between the first and the last.
double boardRate(BoardSim::Process& sim, unsigned long* lines = nullptr) {
    std::istringstream reply(sim.control("stats"));
    std::string word;
    unsigned long n = 0;
    double first = 0, last = 0;
    while (reply >> word) {
        if (word.rfind("lines=", 0) == 0) n = std::stoul(word.substr(6));
        if (word.rfind("first=", 0) == 0) first = std::stod(word.substr(6));
        if (word.rfind("last=", 0) == 0) last = std::stod(word.substr(5));
    }
    if (lines) *lines = n;
    return n > 1 && last > first ? (n - 1) / (last - first) : 0.0;
}

// User plus system time in `usage`, in seconds.
double cpuSeconds(const struct rusage& usage) {
    return usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 + usage.ru_stime.tv_sec +
           usage.ru_stime.tv_usec / 1e6;
}

double ownCpuSeconds() {
    struct rusage usage {};
    ::getrusage(RUSAGE_SELF, &usage);
    return cpuSeconds(usage);
}

struct DriverRun {
    double rate = 0.0;       // as measured by the board
    double cpu = 0.0;        // seconds of this process, first push to last completion
    double inProcess = 0.0;  // first push to last completion
    unsigned long logLines = 0;
    unsigned mismatches = 0;
    bool complete = false;
};

DriverRun streamWithDriver(const std::vector<std::string>& lines, int threads, const std::string& logPath) {
    DriverRun run;
    BoardSim::Process sim({"--instant", "--no-temperature-reports"});
    boost::asio::io_service io;
    Vant::Driver::Driver driver(io, sim.motionPath());

    // The driver logs through Vant::logLine, straight to file descriptor 1.
    std::fflush(stdout);
    const int standardOutput = ::dup(STDOUT_FILENO);
    const int log = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    ::dup2(log, STDOUT_FILENO);
    ::close(log);
    auto work = std::make_unique<boost::asio::io_service::work>(io);
    std::vector<std::thread> pool;
    for (int i = 0; i < threads; ++i) pool.emplace_back([&io]() { io.run(); });

    std::promise<boost::system::error_code> connected;
    driver.initialize([&connected](boost::system::error_code e) { connected.set_value(e); });
    auto handshake = connected.get_future();
    if (handshake.wait_for(std::chrono::seconds(10)) == std::future_status::ready && !handshake.get()) {
        driver.handleInputs();
        std::promise<void> finished;
        // Each callback pushes the next line on its line's acknowledgement.
        std::function<void(size_t)> push = [&](size_t i) {
            driver.pushGcode(lines[i], [&, i](boost::system::error_code error, double progress) {
                if (error) return;
                if (progress == 0.0 && i + 1 < lines.size()) push(i + 1);
                if (progress == 1.0 && i + 1 == lines.size()) finished.set_value();
            });
        };
        const auto start = std::chrono::steady_clock::now();
        const double cpuAtStart = ownCpuSeconds();
        push(0);
        auto done = finished.get_future();
        run.complete = done.wait_for(std::chrono::seconds(120)) == std::future_status::ready;
        run.cpu = ownCpuSeconds() - cpuAtStart;
        run.inProcess =
            lines.size() / std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }
    work.reset();
    io.stop();
    for (auto& t : pool) t.join();
    ::dup2(standardOutput, STDOUT_FILENO);
    ::close(standardOutput);

    unsigned long received = 0;
    run.rate = boardRate(sim, &received);
    run.complete = run.complete && received == lines.size();
    run.mismatches = sim.mismatches();
    std::ifstream written(logPath);
    std::string line;
    while (std::getline(written, line)) ++run.logLines;
    return run;
}

struct PrintcoreRun {
    double rate = 0.0;  // as measured by the board
    double cpu = 0.0;   // seconds of the python process, start to end
    bool complete = false;
};

// Runs printcore on the file; the board's own clock gives its rate (printcore's
// two-second wait before it starts is not counted).
PrintcoreRun streamWithPrintcore(const std::string& file, size_t count) {
    PrintcoreRun run;
    BoardSim::Process sim({"--instant", "--no-temperature-reports"});
    const std::string port = sim.motionPath();
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int null = ::open("/dev/null", O_WRONLY);
        ::dup2(null, 1);
        ::dup2(null, 2);
        ::execl("/usr/bin/printcore", "printcore", port.c_str(), file.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    struct rusage usage {};
    const int status = BoardSim::waitOrKill(pid, std::chrono::seconds(300), &usage);
    run.cpu = cpuSeconds(usage);
    unsigned long received = 0;
    run.rate = boardRate(sim, &received);
    // printcore numbers the file from 0 and sends "M110" before and after it.
    run.complete = WIFEXITED(status) && WEXITSTATUS(status) == 0 && received >= count;
    return run;
}

}  // namespace

int main(int argc, char** argv) {
    const int count = argc > 1 ? std::atoi(argv[1]) : 20000;
    const int threads = argc > 2 ? std::atoi(argv[2]) : 5;
    char folder[] = "/tmp/tolvane-bench-streaming-XXXXXX";
    if (::mkdtemp(folder) == nullptr) return 1;
    std::vector<std::string> lines = slicedLines(count, folder);
    const bool sliced = !lines.empty();
    if (!sliced) lines = movementLines(count);
    const std::string file = std::string(folder) + "/moves.gcode";
    const std::string logPath = std::string(folder) + "/driver.log";
    double framedBytes = 0;
    {
        std::ofstream out(file);
        for (int i = 0; i < count; ++i) {
            out << lines[i] << "\n";
            // As the driver frames it: "N<n> " + command + "*<checksum>\n".
            framedBytes += 1 + std::to_string(i + 2).size() + 1 + lines[i].size() + 1 + 3 + 1;
        }
    }
    const double averageLine = framedBytes / count;
    const double wireLimit = BytesPerSecondAt115200 / (averageLine + BoardReplyBytes);

    const DriverRun ours = streamWithDriver(lines, threads, logPath);
    const bool havePrintcore = ::access("/usr/bin/printcore", X_OK) == 0;
    const PrintcoreRun printcore = havePrintcore ? streamWithPrintcore(file, count) : PrintcoreRun();
    const double per10000 = 10000.0 / count * 1000.0;  // seconds in all -> ms per 10,000 lines

    std::printf("streaming %d %s to tolvane-boardsim --instant over a pseudo-terminal\n", count,
                sliced ? "lines of a model sliced by Slic3r" : "made-up movement lines (no Slic3r here)");
    std::printf("  %-44s %9.0f lines/s   (first push to last completion: %.0f lines/s, %d pool threads)\n",
                "ours (pushGcode, next line on acknowledgement)", ours.rate, ours.inProcess, threads);
    std::printf("  %-44s %9lu            (at least %lu: 4 a line, 4 for the handshake)\n",
                "driver log lines kept", ours.logLines, static_cast<unsigned long>(4) * count + 4);
    if (havePrintcore) {
        std::printf("  %-44s %9.0f lines/s%s\n", "printcore (printrun)", printcore.rate,
                    printcore.complete ? "" : "   (did not finish)");
        std::printf("  %-44s %9.1f x         (aim: at least 10 x)\n", "ours / printcore",
                    printcore.rate > 0 ? ours.rate / printcore.rate : 0.0);
    } else {
        std::printf("  printcore not installed (/usr/bin/printcore): no comparison\n");
    }
    std::printf("  %-44s %9.0f lines/s   (%.1f bytes a line + %.0f-byte reply at 11520 bytes/s)\n",
                "115200-baud wire limit", wireLimit, averageLine, BoardReplyBytes);
    std::printf("CPU time of the streaming side (user + system, simulator excluded) per 10,000 lines\n");
    std::printf("  %-44s %9.1f ms\n", "ours (this process, all threads)", ours.cpu * per10000);
    if (havePrintcore) {
        std::printf("  %-44s %9.1f ms\n", "printcore (the python process)", printcore.cpu * per10000);
        std::printf("  %-44s %9.2f x         (aim: at most 1 x)\n", "ours / printcore",
                    printcore.cpu > 0 ? ours.cpu / printcore.cpu : 0.0);
    }
    std::printf("  board mismatches (ours): %u%s\n", ours.mismatches,
                ours.complete ? "" : "   (did not finish)");

    ::unlink(file.c_str());
    ::unlink(logPath.c_str());
    ::rmdir(folder);
    // A lost log line fails the run like a lost or garbled G-code line.
    const bool allLogged = ours.logLines >= static_cast<unsigned long>(4) * count + 4;
    return ours.complete && ours.mismatches == 0 && allLogged ? 0 : 1;
}
