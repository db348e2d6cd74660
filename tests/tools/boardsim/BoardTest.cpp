#include "Board.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

// The board model alone, on a simulated clock. What the driver's tests show through
// the simulator process (handshake modes, dropped replies, progress, time scale) is
// not repeated here.
namespace BoardSim {
namespace {

// Builds a numbered line as a correct host would.
std::string numbered(long n, const std::string& command) {
    const std::string text = "N" + std::to_string(n) + " " + command;
    return text + "*" + std::to_string(lineChecksum(text));
}

struct Harness {
    Harness() : board(quiet()) {
        board.emit = [this](const std::string& line) { replies.push_back(line); };
        receive("N1 M105*38");
        replies.clear();
    }
    static Board::Options quiet() {  // no unasked temperature reports among the replies
        Board::Options o;
        o.temperatureReports = false;
        return o;
    }
    void receive(const std::string& line) {
        board.receive(line, now);
        board.advance(now);
    }
    void pass(double seconds) {
        const auto end = now + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
        while (now < end) now = std::min(end, board.advance(now));
        board.advance(now);
    }
    long count(const std::string& reply) const { return std::count(replies.begin(), replies.end(), reply); }
    Board board;
    Clock::time_point now = Clock::now();
    std::vector<std::string> replies;
};

// The driver's tests trust mismatches() to be zero only for a correct host.
TEST(Board, CountsWrongChecksumsAndSkippedNumbersButNotGoodLines) {
    Harness h;
    h.receive(numbered(2, "G1 X1"));
    EXPECT_EQ(0u, h.board.mismatches());
    h.receive("N3 G1 X3*1");          // wrong checksum
    h.receive(numbered(5, "G1 X4"));  // skips 4
    h.receive(numbered(6, "G1 X5"));  // consecutive again after the skip
    h.receive("G1 X6");               // no number
    h.receive("N8 G1 X6");            // no checksum
    EXPECT_EQ(4u, h.board.mismatches());

    Harness stopped;
    stopped.receive(numbered(2, "M112"));
    stopped.pass(1.0);
    stopped.receive(numbered(1, "G28"));  // numbering restarts after an emergency stop
    EXPECT_EQ(0u, stopped.board.mismatches());
}

// What a slicer writes: comments, resets, extrusion modes and a heating command that
// holds the next move back until its temperature is reached (3 degrees a second).
TEST(Board, RunsSlicerOutputAndWaitsForTheHotEndOnM109) {
    Harness h;
    long n = 2;
    for (const char* line : {"G21 ; set units to millimeters", "M82", "G92 E0", "M109 S29 ; wait for it",
                             "G1 X10 Y10 E1.5 ; first move"}) {
        h.receive(numbered(n++, line));
    }
    EXPECT_EQ(0u, h.board.mismatches());
    h.pass(2.0);
    EXPECT_EQ(4, h.count("OK"));
    h.pass(2.0);
    EXPECT_EQ(5, h.count("OK"));
    EXPECT_NEAR(29.0, h.board.currentTemperature(), 0.5);
}

}  // namespace
}  // namespace BoardSim
