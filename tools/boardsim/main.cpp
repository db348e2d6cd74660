// tolvane-boardsim: the printer's motion board and lighting controller on two
// pseudo-terminals, for tests, benchmarks and the demo. One thread runs one poll
// loop over both ports, the control socket and its clients; the board model
// (Board) is driven from that loop only.
//
// clang-format off
//   host --(lines)--> motion pty --> Board::receive --> received-lines log
//   Board::advance (timers) --> replies --> motion pty --> host
//   host --(bytes)--> lighting pty --> lighting log
//   test --(command line)--> control socket --> one reply line
// clang-format on
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "Board.h"
#include "Pty.h"

namespace BoardSim {
namespace {

volatile std::sig_atomic_t stopRequested = 0;
void requestStop(int) {
    stopRequested = 1;
}

const char* const Usage =
    "usage: tolvane-boardsim --motion PATH --lighting PATH [options]\n"
    "  --motion PATH          link to the motion board's pseudo-terminal\n"
    "  --lighting PATH        link to the lighting controller's pseudo-terminal\n"
    "  --log FILE             every line received from the host, in order\n"
    "  --lighting-log FILE    every lighting byte with its mode name\n"
    "  --control PATH         Unix socket for test commands (one line in, one line out)\n"
    "  --time-scale F         run simulated time F times faster (default 1)\n"
    "  --instant              answer every line at once\n"
    "  --no-bed               the bed is absent (z_max: open)\n"
    "  --no-temperature-reports  no periodic TEMP: lines\n"
    "  --temperature T        ambient and starting hot-end temperature (default 20)\n"
    "control commands: drop N | hold | release | send TEXT | garbage | longline [N] |\n"
    "  correction K | inactivity | close [motion|lighting] | reopen [motion|lighting] |\n"
    "  bed on|off |\n"
    "  handshake ok|unknown K|noise K|number N |\n"
    "  temperature T | temperature-reports on|off | mismatches | stats | lighting | flush\n";

const std::map<unsigned char, const char*> LightingModes = {
    {'0', "Loading"},      {'5', "Idle"},      {'3', "Error"},
    {'E', "Notification"}, {'6', "Preparing"}, {'B', "Printing"},
};

struct Settings {
    std::string motionPath, lightingPath, logPath, lightingLogPath, controlPath;
    Board::Options board;
};

class Simulator {
public:
    explicit Simulator(const Settings& s)
        : settings(s), motion(s.motionPath), lighting(s.lightingPath), board(s.board) {
        board.emit = [this](const std::string& line) { send(line); };
        board.onHandshake = [this]() {
            motionOut.clear();
            motion.discardPendingOutput();
        };
        board.onMismatch = [](const std::string& what) {
            std::cerr << "boardsim: mismatch: " << what << "\n";
        };
    }

    ~Simulator() {
        motion.removeLink();
        lighting.removeLink();
        if (!settings.controlPath.empty()) ::unlink(settings.controlPath.c_str());
        flushLogs();
        if (log) std::fclose(log);
        if (lightingLog) std::fclose(lightingLog);
        for (auto& c : clients) ::close(c.fd);
        if (controlFd >= 0) ::close(controlFd);
    }

    void start() {
        if (!settings.logPath.empty()) log = openLog(settings.logPath);
        if (!settings.lightingLogPath.empty()) lightingLog = openLog(settings.lightingLogPath);
        if (!settings.controlPath.empty()) openControl();
        // The links appear last: once both exist, the simulator is ready.
        lighting.open();
        motion.open();
        std::cout << "boardsim: ready, motion " << motion.path() << ", lighting " << lighting.path()
                  << std::endl;
    }

    unsigned mismatchCount() const { return board.mismatches(); }

    void run() {
        while (!stopRequested) {
            const Clock::time_point now = Clock::now();
            Clock::time_point next = board.advance(now);
            writeMotion();
            const bool logsDirty = logDirty;
            if (logsDirty && now - lastFlush > std::chrono::milliseconds(20)) flushLogs();

            std::vector<pollfd> fds;
            if (motion.isOpen()) {
                fds.push_back(
                    {motion.fd(), static_cast<short>(POLLIN | (motionOut.empty() ? 0 : POLLOUT)), 0});
            }
            if (lighting.isOpen()) fds.push_back({lighting.fd(), POLLIN, 0});
            if (controlFd >= 0) fds.push_back({controlFd, POLLIN, 0});
            for (auto& c : clients) fds.push_back({c.fd, POLLIN, 0});

            auto wait =
                std::chrono::duration_cast<std::chrono::milliseconds>(next - Clock::now()).count() + 1;
            if (logDirty) wait = std::min<long long>(wait, 20);
            wait = std::max<long long>(0, std::min<long long>(wait, 200));
            const int ready = ::poll(fds.data(), fds.size(), static_cast<int>(wait));
            if (ready < 0) {
                if (errno == EINTR) continue;
                std::perror("boardsim: poll");
                return;
            }
            if (ready == 0) {
                flushLogs();
                continue;
            }
            for (const pollfd& p : fds) {
                if (p.revents == 0) continue;
                if (motion.isOpen() && p.fd == motion.fd()) {
                    if (p.revents & POLLIN) readMotion();
                } else if (lighting.isOpen() && p.fd == lighting.fd()) {
                    readLighting();
                } else if (p.fd == controlFd) {
                    acceptClient();
                } else {
                    readClient(p.fd);
                }
            }
            removeClosedClients();
        }
    }

private:
    struct Client {
        int fd;
        std::string input;
        bool closed = false;
    };

    static FILE* openLog(const std::string& path) {
        FILE* f = std::fopen(path.c_str(), "w");
        if (f == nullptr) throw std::runtime_error("cannot write " + path);
        return f;
    }

    void flushLogs() {
        if (log) std::fflush(log);
        if (lightingLog) std::fflush(lightingLog);
        logDirty = false;
        lastFlush = Clock::now();
    }

    void send(const std::string& line) {
        if (!motion.isOpen()) return;
        motionOut += line;
        motionOut += '\n';
    }

    void sendRaw(const std::string& bytes) {
        if (motion.isOpen()) motionOut += bytes;
    }

    void writeMotion() {
        while (!motionOut.empty() && motion.isOpen()) {
            const ssize_t n = ::write(motion.fd(), motionOut.data(), motionOut.size());
            if (n > 0) {
                motionOut.erase(0, static_cast<size_t>(n));
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            // The host is not reading: a real board's output would be lost the same way.
            if (motionOut.size() > 65536) motionOut.clear();
            return;
        }
    }

    void readMotion() {
        char buffer[65536];
        const ssize_t n = ::read(motion.fd(), buffer, sizeof buffer);
        if (n <= 0) return;
        motionIn.append(buffer, static_cast<size_t>(n));
        const Clock::time_point now = Clock::now();
        size_t start = 0;
        for (;;) {
            const size_t newline = motionIn.find('\n', start);
            if (newline == std::string::npos) break;
            std::string line = motionIn.substr(start, newline - start);
            start = newline + 1;
            if (!line.empty() && line.back() == '\r') line.pop_back();
            if (log) {
                std::fwrite(line.data(), 1, line.size(), log);
                std::fputc('\n', log);
                logDirty = true;
            }
            board.receive(line, now);
        }
        motionIn.erase(0, start);
        board.advance(now);
        writeMotion();
    }

    void readLighting() {
        unsigned char buffer[256];
        const ssize_t n = ::read(lighting.fd(), buffer, sizeof buffer);
        for (ssize_t i = 0; i < n; ++i) {
            const auto mode = LightingModes.find(buffer[i]);
            const std::string name = mode == LightingModes.end() ? "Unknown" : mode->second;
            lightingReceived.push_back(name);
            if (lightingLog) {
                std::fprintf(lightingLog, "0x%02x %s\n", buffer[i], name.c_str());
                logDirty = true;
            }
        }
    }

    void openControl() {
        controlFd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (controlFd < 0) throw std::runtime_error("socket");
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        if (settings.controlPath.size() >= sizeof address.sun_path) {
            throw std::runtime_error("control path too long: " + settings.controlPath);
        }
        std::strcpy(address.sun_path, settings.controlPath.c_str());
        ::unlink(settings.controlPath.c_str());
        if (::bind(controlFd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            ::listen(controlFd, 8) != 0) {
            throw std::runtime_error("cannot listen on " + settings.controlPath + ": " +
                                     std::strerror(errno));
        }
    }

    void acceptClient() {
        const int fd = ::accept4(controlFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd >= 0) clients.push_back(Client{fd, std::string()});
    }

    void readClient(int fd) {
        auto client =
            std::find_if(clients.begin(), clients.end(), [fd](const Client& c) { return c.fd == fd; });
        if (client == clients.end()) return;
        char buffer[4096];
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n <= 0) {
            if (n == 0 || (errno != EAGAIN && errno != EINTR)) client->closed = true;
            return;
        }
        client->input.append(buffer, static_cast<size_t>(n));
        size_t newline;
        while ((newline = client->input.find('\n')) != std::string::npos) {
            std::string command = client->input.substr(0, newline);
            client->input.erase(0, newline + 1);
            if (!command.empty() && command.back() == '\r') command.pop_back();
            const std::string reply = control(command) + "\n";
            writeMotion();
            if (::send(fd, reply.data(), reply.size(), MSG_NOSIGNAL) < 0) client->closed = true;
        }
    }

    void removeClosedClients() {
        for (auto& c : clients) {
            if (c.closed) ::close(c.fd);
        }
        clients.erase(
            std::remove_if(clients.begin(), clients.end(), [](const Client& c) { return c.closed; }),
            clients.end());
    }

    static double seconds(Clock::time_point t) {
        return std::chrono::duration<double>(t.time_since_epoch()).count();
    }

    // Runs one control command and returns its reply line ("ok ..." or "error ...").
    std::string control(const std::string& line) {
        std::istringstream in(line);
        std::string name;
        in >> name;
        std::string rest;
        std::getline(in, rest);
        if (!rest.empty() && rest[0] == ' ') rest.erase(0, 1);
        char* end = nullptr;
        const long number = std::strtol(rest.c_str(), &end, 10);
        const bool hasNumber = end != rest.c_str();

        if (name == "drop" && hasNumber) {
            board.dropReply(number);
        } else if (name == "hold") {
            board.hold(true);
        } else if (name == "release") {
            board.hold(false);
        } else if (name == "send") {
            send(rest);
        } else if (name == "garbage") {
            sendRaw(std::string("\x01\xfe\x7f##garbage%%\xff\x80", 16) + "\n");
        } else if (name == "longline") {
            sendRaw(std::string(hasNumber ? static_cast<size_t>(number) : 1200, 'x') + "\n");
        } else if (name == "correction" && hasNumber) {
            send("OK:" + std::to_string(number));
        } else if (name == "inactivity") {
            send("Reached maximum inactivity time");
        } else if ((name == "close" || name == "reopen") &&
                   (rest.empty() || rest == "motion" || rest == "lighting")) {
            // A closed port is gone like an unplugged adapter: the host's I/O fails and the
            // path is missing until the port is made again (a new pseudo-terminal; opening
            // one replaces the link, closing the old one first).
            Pty& port = rest == "lighting" ? lighting : motion;
            if (name == "close") {
                port.close();
                port.removeLink();
            } else {
                port.open();
            }
            if (&port == &motion) {
                motionOut.clear();
                motionIn.clear();
                if (name == "reopen") board.disconnected();
            }
        } else if (name == "bed" && (rest == "on" || rest == "off")) {
            board.setBedPresent(rest == "on");
        } else if (name == "handshake") {
            std::istringstream args(rest);
            std::string mode;
            long n = 0;
            args >> mode >> n;
            if (mode == "ok") {
                board.answerHandshakeWith(Board::HandshakeMode::Ok);
                board.answerUnknownCommand(0);
            } else if (mode == "unknown") {
                board.answerUnknownCommand(static_cast<int>(n));
            } else if (mode == "noise") {
                board.precedeHandshakeWithNoise(static_cast<int>(n));
            } else if (mode == "number") {
                board.answerHandshakeWith(Board::HandshakeMode::Number, n);
            } else {
                return "error handshake ok|unknown K|noise K|number N";
            }
        } else if (name == "temperature" && hasNumber) {
            board.setTemperature(std::strtod(rest.c_str(), nullptr));
        } else if (name == "temperature-reports" && (rest == "on" || rest == "off")) {
            board.setTemperatureReports(rest == "on");
        } else if (name == "target") {
            std::ostringstream out;
            out << "ok " << board.currentTarget();
            return out.str();
        } else if (name == "mismatches") {
            return "ok " + std::to_string(board.mismatches());
        } else if (name == "stats") {
            flushLogs();
            std::ostringstream out;
            out.precision(9);
            out << std::fixed << "ok lines=" << board.numberedLines()
                << " first=" << seconds(board.firstLineTime()) << " last=" << seconds(board.lastLineTime())
                << " mismatches=" << board.mismatches();
            return out.str();
        } else if (name == "lighting") {
            std::string names;
            for (const auto& n : lightingReceived) names += " " + n;
            return "ok" + names;
        } else if (name == "flush") {
            flushLogs();
        } else {
            return "error unknown command: " + line;
        }
        return "ok";
    }

    Settings settings;
    Pty motion;
    Pty lighting;
    Board board;
    std::string motionIn;
    std::string motionOut;
    FILE* log = nullptr;
    FILE* lightingLog = nullptr;
    bool logDirty = false;
    Clock::time_point lastFlush{};
    int controlFd = -1;
    std::vector<Client> clients;
    std::vector<std::string> lightingReceived;
};

}  // namespace
}  // namespace BoardSim

int main(int argc, char** argv) {
    using BoardSim::Settings;
    Settings settings;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) {
                std::cerr << "tolvane-boardsim: " << arg << " needs a value\n" << BoardSim::Usage;
                std::exit(2);
            }
            return argv[++i];
        };
        if (arg == "--motion") {
            settings.motionPath = value();
        } else if (arg == "--lighting") {
            settings.lightingPath = value();
        } else if (arg == "--log") {
            settings.logPath = value();
        } else if (arg == "--lighting-log") {
            settings.lightingLogPath = value();
        } else if (arg == "--control") {
            settings.controlPath = value();
        } else if (arg == "--time-scale") {
            settings.board.timeScale = std::strtod(value().c_str(), nullptr);
        } else if (arg == "--instant") {
            settings.board.instant = true;
        } else if (arg == "--no-bed") {
            settings.board.bedPresent = false;
        } else if (arg == "--no-temperature-reports") {
            settings.board.temperatureReports = false;
        } else if (arg == "--temperature") {
            settings.board.ambient = std::strtod(value().c_str(), nullptr);
        } else if (arg == "-h" || arg == "--help") {
            std::cout << BoardSim::Usage;
            return 0;
        } else {
            std::cerr << "tolvane-boardsim: unknown option " << arg << "\n" << BoardSim::Usage;
            return 2;
        }
    }
    if (settings.motionPath.empty() || settings.lightingPath.empty() || !(settings.board.timeScale > 0)) {
        std::cerr << BoardSim::Usage;
        return 2;
    }

    std::signal(SIGTERM, BoardSim::requestStop);
    std::signal(SIGINT, BoardSim::requestStop);
    std::signal(SIGPIPE, SIG_IGN);
    try {
        BoardSim::Simulator simulator(settings);
        simulator.start();
        simulator.run();
        std::cerr << "boardsim: stopped, " << simulator.mismatchCount() << " mismatches\n";
    } catch (const std::exception& e) {
        std::cerr << "tolvane-boardsim: " << e.what() << "\n";
        return 1;
    }
    return 0;
}
