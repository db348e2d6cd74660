#include "Board.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <sstream>

namespace BoardSim {

namespace {

const double HeatingRate = 3.0;  // degrees per simulated second
const double CoolingRate = 1.5;

std::string upper(std::string s) {
    for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

// Splits "G5 C9 Q3" into its words.
std::vector<std::string> words(const std::string& command) {
    std::vector<std::string> result;
    std::istringstream in(command);
    std::string word;
    while (in >> word) result.push_back(upper(word));
    return result;
}

// The value of parameter `letter` ("S" of "M104 S210"), or `fallback`.
double parameter(const std::vector<std::string>& w, char letter, double fallback) {
    for (size_t i = 1; i < w.size(); ++i) {
        if (w[i].size() > 1 && w[i][0] == letter) {
            char* end = nullptr;
            const double v = std::strtod(w[i].c_str() + 1, &end);
            if (end != w[i].c_str() + 1) return v;
        }
    }
    return fallback;
}

// Parses all of `text` as a decimal integer with an optional sign.
bool wholeInteger(const std::string& text, long& value) {
    if (text.empty()) return false;
    size_t i = (text[0] == '-') ? 1 : 0;
    if (i == text.size()) return false;
    for (size_t j = i; j < text.size(); ++j) {
        if (!std::isdigit(static_cast<unsigned char>(text[j]))) return false;
    }
    value = std::strtol(text.c_str(), nullptr, 10);
    return true;
}

std::string formatNumber(double v, const char* format) {
    char text[64];
    std::snprintf(text, sizeof text, format, v);
    return text;
}

}  // namespace

int lineChecksum(const std::string& text) {
    int sum = 0;
    for (unsigned char c : text) sum ^= c;
    return sum & 0xff;
}

Board::Board(const Options& o) : options(o), temperature(o.ambient) {}

void Board::answerHandshakeWith(HandshakeMode mode, long number) {
    handshakeMode = mode;
    handshakeNumber = number;
}

void Board::disconnected() {
    handshakeSeen = false;
    queue.clear();
    busy = false;
    waitingForHeat = false;
}

void Board::mismatch(const std::string& what) {
    ++mismatchCount;
    if (onMismatch) onMismatch(what);
}

Clock::duration Board::simulated(double seconds) const {
    return std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(seconds / options.timeScale));
}

void Board::receive(const std::string& line, Clock::time_point now) {
    // Unnumbered lines are executed, but a host that numbers its lines never sends one.
    if (line.empty() || line[0] != 'N') {
        mismatch("no line number: \"" + line + "\"");
        if (!line.empty()) queue.push_back(Command{-1, line});
        return;
    }
    const size_t space = line.find(' ');
    const size_t star = line.rfind('*');
    long number = 0;
    if (space == std::string::npos || !wholeInteger(line.substr(1, space - 1), number)) {
        mismatch("malformed line number: \"" + line + "\"");
        return;
    }
    long sum = -1;
    if (star == std::string::npos || star < space || !wholeInteger(line.substr(star + 1), sum)) {
        mismatch("no checksum: \"" + line + "\"");
        return;
    }
    if (sum != lineChecksum(line.substr(0, star))) {
        mismatch("checksum " + std::to_string(sum) + " should be " +
                 std::to_string(lineChecksum(line.substr(0, star))) + ": \"" + line + "\"");
        return;
    }
    std::string command = line.substr(space + 1, star - space - 1);
    // A comment (";" to the end) is the host's business; the board runs what precedes it.
    const size_t comment = command.find(';');
    if (comment != std::string::npos) command.erase(comment);
    while (!command.empty() && command.back() == ' ') command.pop_back();
    const std::vector<std::string> w = words(command);
    const std::string word = w.empty() ? std::string() : w[0];

    // The host's start-up line: "N1 M105". After an emergency stop the numbering also
    // restarts at 1, and then it is an ordinary line.
    if (number == 1 && word == "M105" && (!handshakeSeen || expected != 1)) {
        if (onHandshake) onHandshake();
        queue.clear();
        busy = false;
        waitingForHeat = false;
        if (noiseRemaining > 0) {
            --noiseRemaining;
            emit("echo:busy: processing");
        }
        if (unknownRemaining > 0) {
            --unknownRemaining;
            emit("echo:Unknown command: \"M105\"");
            return;
        }
        handshakeSeen = true;
        if (handshakeMode == HandshakeMode::Number) {
            // The number starts at offset 11 of the reply.
            emit("Last line: " + std::to_string(handshakeNumber));
            expected = handshakeNumber;
        } else {
            emit(ok());
            expected = 2;
        }
        lastTemperatureUpdate = now;
        nextTemperatureReport = now + simulated(1.0);
        return;
    }

    if (numberedCount++ == 0) firstLine = now;
    lastLine = now;
    if (word == "M110") {
        expected = number + 1;  // sets the numbering
    } else {
        if (number != expected) {
            mismatch("line number " + std::to_string(number) + ", expected " + std::to_string(expected));
        }
        expected = number + 1;
    }
    if (word == "M112") expected = 1;  // an emergency stop restarts the numbering
    queue.push_back(Command{number, command});
}

double Board::durationOf(const std::string& command) const {
    const std::vector<std::string> w = words(command);
    if (w.empty()) return 0.0;
    const std::string& word = w[0];
    if (word == "G28") return 3.0;                    // homing
    if (word == "G27" || word == "G26") return 20.0;  // z calibration, moving up until triggered
    if (word == "G29") return 30.0;                   // automatic levelling
    if (word == "G5") return parameter(w, 'C', 0) == 9 ? 10.0 : 2.0;
    if (word == "G45") return 15.0;
    if (word == "G46") return 10.0;
    if (word == "G47") return 30.0;
    if (word == "G70" || word == "G73") return 3.0;
    if (word == "G71" || word == "G72") return 0.1;
    if (word == "G4") return parameter(w, 'P', 0) / 1000.0 + parameter(w, 'S', 0);
    if (word == "M112") return 0.5;
    return 0.0;
}

void Board::startNext(Clock::time_point now) {
    while (!busy && !held && !queue.empty()) {
        const Command command = queue.front();
        queue.pop_front();
        if (dropped.erase(command.number) > 0) continue;  // no reply at all

        emit(ok());
        const std::vector<std::string> w = words(command.text);
        const std::string word = w.empty() ? std::string() : w[0];
        if (word == "G0" || word == "G1") continue;  // a move is complete when acknowledged

        if (word == "M104" || word == "M109") {
            target = parameter(w, 'S', 0.0);
            if (word == "M109" && !options.instant) {
                // Waits until the hot end has reached its target (or cooled down to it).
                busy = true;
                waitingForHeat = true;
                nextProgress = now + simulated(1.0);
                continue;
            }
            if (options.instant) {
                temperature = target > options.ambient ? target : options.ambient;
                emit("TEMP:" + formatNumber(temperature, "%.1f"));
            }
        } else if (word == "M105") {
            emit("TEMP:" + formatNumber(temperature, "%.1f"));
        } else if (word == "M119") {
            emit(options.bedPresent ? "z_max: TRIGGERED" : "z_max: open");
        } else if (word == "M112") {
            target = 0.0;
        }
        const double seconds = options.instant ? 0.0 : durationOf(command.text);
        if (seconds <= 0.0) {
            emit("PERCENT:1");
            continue;
        }
        busy = true;
        busyStart = now;
        busyEnd = now + simulated(seconds);
        nextProgress = now + simulated(1.0);
    }
}

void Board::updateTemperature(Clock::time_point now) {
    if (lastTemperatureUpdate == Clock::time_point{}) lastTemperatureUpdate = now;
    const double seconds =
        std::chrono::duration<double>(now - lastTemperatureUpdate).count() * options.timeScale;
    lastTemperatureUpdate = now;
    const double goal = target > options.ambient ? target : options.ambient;
    if (temperature < goal) {
        temperature = std::min(goal, temperature + HeatingRate * seconds);
    } else if (temperature > goal) {
        temperature = std::max(goal, temperature - CoolingRate * seconds);
    }
}

Clock::time_point Board::advance(Clock::time_point now) {
    updateTemperature(now);
    Clock::time_point next = now + std::chrono::seconds(1);

    if (handshakeSeen && options.temperatureReports) {
        if (now >= nextTemperatureReport) {
            emit("TEMP:" + formatNumber(temperature, "%.1f"));
            nextTemperatureReport += simulated(1.0);
            if (nextTemperatureReport <= now) nextTemperatureReport = now + simulated(1.0);
        }
        next = std::min(next, nextTemperatureReport);
    }

    startNext(now);
    if (busy && waitingForHeat) {
        const double goal = target > options.ambient ? target : options.ambient;
        if (std::fabs(temperature - goal) > 0.5) return std::min(next, now + simulated(0.25));
        waitingForHeat = false;
        busy = false;
        emit("PERCENT:1");
        startNext(now);
    }
    while (busy && !waitingForHeat) {
        // Progress as of each simulated second, however late the loop runs.
        while (now >= nextProgress && nextProgress < busyEnd) {
            const double p = std::chrono::duration<double>(nextProgress - busyStart).count() /
                             std::chrono::duration<double>(busyEnd - busyStart).count();
            emit("PERCENT:" + formatNumber(std::floor(p * 100.0 + 1e-9) / 100.0, "%.2f"));
            nextProgress += simulated(1.0);
        }
        if (now < busyEnd) {
            next = std::min(next, std::min(busyEnd, nextProgress));
            break;
        }
        emit("PERCENT:1");
        busy = false;
        startNext(now);
    }
    return next;
}

}  // namespace BoardSim
