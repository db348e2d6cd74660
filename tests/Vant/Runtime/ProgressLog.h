// Helpers of the job pipeline's tests: a record of one job's progress reports (they
// arrive on I/O threads), the driver's handshake with the simulated board, and the
// commands the board received.
#pragma once

#include <future>
#include <memory>
#include <string>
#include <vector>

#include "BoardSimProcess.h"
#include "Vant/Driver/Driver.h"
#include "support/AsyncTest.h"

using testsupport::IoPool;

class ProgressLog {
public:
    // The callback to hand to the job; it answers `keepGoing` for reports below 1.0.
    // It shares the record, so a report that comes late finds it alive.
    std::function<bool(double)> callback(std::function<bool(double)> keepGoing = [](double) {
        return true;
    }) {
        auto shared = reports;
        return [shared, keepGoing](double p) {
            shared->add(p);
            return p < 0 || p >= 1.0 || keepGoing(p);
        };
    }
    // Waits for a final report (negative, or 1.0 and above); false at the deadline.
    bool waitForEnd(std::chrono::milliseconds deadline = std::chrono::seconds(60)) {
        return testsupport::waitUntil(
            [&] {
                for (double p : all())
                    if (p < 0 || p >= 1.0) return true;
                return false;
            },
            deadline);
    }
    std::vector<double> all() const { return reports->snapshot(); }

private:
    std::shared_ptr<testsupport::Collector<double>> reports =
        std::make_shared<testsupport::Collector<double>>();
};

// Runs the driver's handshake with the board and starts its receive loop; false when
// the handshake failed or took more than 10 s.
inline bool shakeHands(Vant::Driver::Driver& driver) {
    auto handshake = std::make_shared<std::promise<boost::system::error_code>>();
    driver.initialize([handshake](boost::system::error_code error) { handshake->set_value(error); });
    auto done = handshake->get_future();
    if (done.wait_for(std::chrono::seconds(10)) != std::future_status::ready || done.get()) return false;
    driver.handleInputs();
    return true;
}

// The commands the board received after the handshake ("N7 G1 X1*45" gives "G1 X1"),
// from the `from`th on.
inline std::vector<std::string> boardCommands(BoardSim::Process& sim, size_t from = 0) {
    std::vector<std::string> found;
    const auto lines = sim.received();
    for (size_t i = from + 1; i < lines.size(); ++i) {
        const auto blank = lines[i].find(' ');
        found.push_back(lines[i].substr(blank + 1, lines[i].rfind('*') - blank - 1));
    }
    return found;
}

// How often `wanted` occurs in `text` (log lines counted in captured output).
inline size_t occurrences(const std::string& text, const std::string& wanted) {
    size_t n = 0;
    for (auto at = text.find(wanted); at != std::string::npos; at = text.find(wanted, at + 1)) ++n;
    return n;
}
