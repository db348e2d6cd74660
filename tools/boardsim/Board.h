// BoardSim::Board: the simulated motion board's behaviour, without any I/O. The
// simulator's event loop feeds it every line received from the host and calls
// advance() when time passes; the board answers through `emit`. Single-threaded:
// only the simulator's event loop touches it.
//
// clang-format off
//   host line --> receive(): check "N<n> ", number, "*<checksum>"; handshake or queue
//   advance(now) --> runs the queue one command at a time:
//       "OK" --> (non-move) "PERCENT:<p>" every simulated second --> "PERCENT:1"
//       and, independently, the hot end's "TEMP:<t>" every simulated second
// clang-format on
#pragma once

#include <chrono>
#include <deque>
#include <functional>
#include <set>
#include <string>

namespace BoardSim {

typedef std::chrono::steady_clock Clock;

// The checksum of a numbered line: XOR of every byte before the '*'.
int lineChecksum(const std::string& text);

class Board {
public:
    struct Options {
        double timeScale = 1.0;          // simulated seconds per real second
        bool instant = false;            // every command completes at once
        bool bedPresent = true;          // "z_max:" reports TRIGGERED
        bool temperatureReports = true;  // "TEMP:<t>" every simulated second
        double ambient = 20.0;           // starting and cooling-down temperature
    };

    enum class HandshakeMode { Ok, Number };

    explicit Board(const Options& options);

    // A line received from the host, without its newline.
    void receive(const std::string& line, Clock::time_point now);
    // Runs what is due at `now`; returns when it next needs to run.
    Clock::time_point advance(Clock::time_point now);

    // Control of the test harness.
    void dropReply(long lineNumber) { dropped.insert(lineNumber); }
    void hold(bool on) { held = on; }
    void setBedPresent(bool on) { options.bedPresent = on; }
    void setTemperatureReports(bool on) { options.temperatureReports = on; }
    void setTemperature(double t) { temperature = t; }
    void answerUnknownCommand(int times) { unknownRemaining = times; }
    // Precedes the next `times` handshake answers with a line that carries no number.
    void precedeHandshakeWithNoise(int times) { noiseRemaining = times; }
    void answerHandshakeWith(HandshakeMode mode, long number = 0);
    // The port was closed and opened again: the next host starts with a handshake.
    void disconnected();  // also ends an M109 wait

    unsigned mismatches() const { return mismatchCount; }
    unsigned long numberedLines() const { return numberedCount; }
    Clock::time_point firstLineTime() const { return firstLine; }
    Clock::time_point lastLineTime() const { return lastLine; }
    double currentTemperature() const { return temperature; }
    double currentTarget() const { return target; }  // the hot end's, set by M104, 0 after M112

    // A line to send to the host (without newline).
    std::function<void(const std::string&)> emit;
    // Called before the handshake is answered, so that stale output can be dropped.
    std::function<void()> onHandshake;
    // A description of each mismatch, for the simulator's error output.
    std::function<void(const std::string&)> onMismatch;

private:
    struct Command {
        long number;
        std::string text;
    };

    void mismatch(const std::string& what);
    void startNext(Clock::time_point now);
    double durationOf(const std::string& command) const;
    void updateTemperature(Clock::time_point now);
    Clock::duration simulated(double seconds) const;
    std::string ok() const { return options.instant ? "ok OK" : "OK"; }

    Options options;
    long expected = 1;
    bool handshakeSeen = false;
    int unknownRemaining = 0;
    int noiseRemaining = 0;
    HandshakeMode handshakeMode = HandshakeMode::Ok;
    long handshakeNumber = 0;
    unsigned mismatchCount = 0;
    unsigned long numberedCount = 0;
    Clock::time_point firstLine{};
    Clock::time_point lastLine{};

    std::deque<Command> queue;
    std::set<long> dropped;
    bool held = false;

    // The command being executed (a non-move with a duration).
    bool busy = false;
    bool waitingForHeat = false;  // an M109 waits for the hot end's target
    Clock::time_point busyStart{};
    Clock::time_point busyEnd{};
    Clock::time_point nextProgress{};

    double temperature;
    double target = 0.0;
    Clock::time_point lastTemperatureUpdate{};
    Clock::time_point nextTemperatureReport{};
};

}  // namespace BoardSim
