// Helpers of the job pipeline's tests: progress reports, the board's handshake and
// the commands it received, G-code files and the catalogue's request states.
#pragma once

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include "BoardSimProcess.h"
#include "Vant/Driver/Driver.h"
#include "Vant/Runtime/Layerer.h"
#include "Vant/StateMachine/StateType.h"
#include "support/AsyncTest.h"

using testsupport::IoPool;
using testsupport::occurrences;

class ProgressLog {
public:
    // Answers `keepGoing` below 1.0; shares the record so that a late report finds it.
    std::function<bool(double)> callback(std::function<bool(double)> keepGoing = [](double) {
        return true;
    }) {
        auto shared = reports;
        return [shared, keepGoing](double p) {
            shared->add(p);
            return p < 0 || p >= 1.0 || keepGoing(p);
        };
    }
    // Waits for a final report (negative, or 1.0 and above).
    bool waitForEnd(std::chrono::milliseconds deadline = std::chrono::seconds(60)) {
        return testsupport::waitUntil(
            [&] {
                const auto seen = all();
                return std::any_of(seen.begin(), seen.end(), [](double p) { return p < 0 || p >= 1.0; });
            },
            deadline);
    }
    std::vector<double> all() const { return reports->snapshot(); }

private:
    std::shared_ptr<testsupport::Collector<double>> reports =
        std::make_shared<testsupport::Collector<double>>();
};

// The driver's handshake, then its receive loop; false when it failed or took over 10 s.
inline bool shakeHands(Vant::Driver::Driver& driver) {
    auto handshake = std::make_shared<std::promise<boost::system::error_code>>();
    driver.initialize([handshake](boost::system::error_code error) { handshake->set_value(error); });
    auto done = handshake->get_future();
    if (done.wait_for(std::chrono::seconds(10)) != std::future_status::ready || done.get()) return false;
    driver.handleInputs();
    return true;
}

// The commands the board received after the handshake, "N7 G1 X1*45" as "G1 X1".
inline std::vector<std::string> boardCommands(BoardSim::Process& sim, size_t from = 0) {
    std::vector<std::string> found;
    const auto lines = sim.received();
    for (size_t i = from + 1; i < lines.size(); ++i) {
        const auto blank = lines[i].find(' ');
        found.push_back(lines[i].substr(blank + 1, lines[i].rfind('*') - blank - 1));
    }
    return found;
}

inline bool isMovement(const std::string& command) {
    return command.compare(0, 3, "G0 ") == 0 || command.compare(0, 3, "G1 ") == 0;
}

inline bool exists(const std::string& path) {
    struct stat info;
    return ::stat(path.c_str(), &info) == 0;
}

// The movement lines of a G-code file, as the layerer reads them.
inline std::vector<std::string> gcodeLines(const std::string& path) {
    std::vector<std::string> lines;
    FILE* file = std::fopen(path.c_str(), "r");
    char buffer[Vant::Runtime::Layerer::lineBufferSize];
    while (Vant::Runtime::getNextGcodeLine(buffer, sizeof buffer, file) != nullptr) lines.push_back(buffer);
    std::fclose(file);
    return lines;
}

inline bool isRequest(const std::string& stateType) {
    const kel::var& types = Vant::StateMachine::StateTypes;
    return types.has(stateType) && types[stateType].has("request") &&
           types[stateType]["request"].booleanValue(false);
}
