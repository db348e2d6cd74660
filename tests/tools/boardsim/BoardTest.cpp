#include "Board.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace BoardSim {
namespace {

// Builds a numbered line as a correct host would.
std::string numbered(long n, const std::string& command) {
    const std::string text = "N" + std::to_string(n) + " " + command;
    return text + "*" + std::to_string(lineChecksum(text));
}

struct Harness {
    explicit Harness(Board::Options options = Board::Options()) : board(options) {
        board.emit = [this](const std::string& line) { replies.push_back(line); };
    }
    void receive(const std::string& line) {
        board.receive(line, now);
        board.advance(now);
    }
    void pass(double seconds) {
        const auto end =
            now + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
        while (now < end) {
            now = std::min(end, board.advance(now));
        }
        board.advance(now);
    }
    void handshake() {
        receive("N1 M105*38");
        replies.clear();
    }
    Board board;
    Clock::time_point now = Clock::now();
    std::vector<std::string> replies;
};

Board::Options quiet() {
    Board::Options o;
    o.temperatureReports = false;
    return o;
}

TEST(BoardLines, ChecksumIsTheXorOfTheTextBeforeTheStar) {
    EXPECT_EQ(38, lineChecksum("N1 M105"));
    EXPECT_EQ(34, lineChecksum("N10 G28"));
}

TEST(BoardLines, CountsWrongChecksumsAndSkippedNumbersButNotGoodLines) {
    Harness h(quiet());
    h.handshake();
    h.receive(numbered(2, "G1 X1"));
    h.receive(numbered(3, "G1 X2"));
    EXPECT_EQ(0u, h.board.mismatches());

    h.receive("N4 G1 X3*1");  // wrong checksum
    EXPECT_EQ(1u, h.board.mismatches());
    h.receive(numbered(6, "G1 X4"));  // skips 5
    EXPECT_EQ(2u, h.board.mismatches());
    h.receive(numbered(7, "G1 X5"));  // consecutive again after the skip
    h.receive("G1 X6");               // no number
    h.receive("N8 G1 X6");            // no checksum
    EXPECT_EQ(4u, h.board.mismatches());
}

TEST(BoardLines, NumberingRestartsAfterEmergencyStop) {
    Harness h(quiet());
    h.handshake();
    h.receive(numbered(2, "M112"));
    h.pass(1.0);
    h.receive(numbered(1, "G28"));
    h.receive(numbered(2, "G1 X1"));
    EXPECT_EQ(0u, h.board.mismatches());
}

// What a slicer writes and a real board takes: comments, resets, extrusion modes and
// a heating command that waits for its temperature.
TEST(BoardLines, RunsSlicerOutputAndWaitsForTheHotEndOnM109) {
    Harness h(quiet());
    h.handshake();
    h.receive(numbered(2, "G21 ; set units to millimeters"));
    h.receive(numbered(3, "M82"));
    h.receive(numbered(4, "G92 E0"));
    h.receive(numbered(5, "M109 S29 ; set temperature and wait for it to be reached"));
    h.receive(numbered(6, "G1 X10 Y10 E1.5 ; first move"));
    EXPECT_EQ(0u, h.board.mismatches());
    // Three lines done; the wait holds the move back while the hot end heats (3 degrees a second).
    h.pass(2.0);
    EXPECT_EQ(4, std::count(h.replies.begin(), h.replies.end(), "OK"));
    EXPECT_EQ(3, std::count(h.replies.begin(), h.replies.end(), "PERCENT:1"));
    h.pass(2.0);
    EXPECT_EQ(5, std::count(h.replies.begin(), h.replies.end(), "OK"));
    EXPECT_EQ(4, std::count(h.replies.begin(), h.replies.end(), "PERCENT:1"));
    EXPECT_NEAR(29.0, h.board.currentTemperature(), 0.5);
}

TEST(BoardHandshake, AnswersOkUnknownCommandOrLineNumber) {
    Harness h(quiet());
    h.board.answerUnknownCommand(2);
    h.receive("N1 M105*38");
    h.receive("N1 M105*38");
    h.receive("N1 M105*38");
    ASSERT_EQ(3u, h.replies.size());
    EXPECT_NE(std::string::npos, h.replies[0].find("Unknown command"));
    EXPECT_NE(std::string::npos, h.replies[1].find("Unknown command"));
    EXPECT_EQ("OK", h.replies[2]);
    h.receive(numbered(2, "G1 X1"));
    EXPECT_EQ(0u, h.board.mismatches());

    Harness n(quiet());
    n.board.answerHandshakeWith(Board::HandshakeMode::Number, 57);
    n.receive("N1 M105*38");
    ASSERT_EQ(1u, n.replies.size());
    EXPECT_EQ("57", n.replies[0].substr(11));
    EXPECT_EQ(std::string::npos, n.replies[0].find("OK"));
    n.receive(numbered(57, "G1 X1"));
    EXPECT_EQ(0u, n.board.mismatches());
}

TEST(BoardCommands, MoveCompletesOnOkOthersReportProgressThenPercentOne) {
    Harness h(quiet());
    h.handshake();
    h.receive(numbered(2, "G1 X10"));
    EXPECT_EQ(std::vector<std::string>({"OK"}), h.replies);
    h.replies.clear();

    h.receive(numbered(3, "G28"));  // three simulated seconds
    h.receive(numbered(4, "G1 X1"));
    EXPECT_EQ(std::vector<std::string>({"OK"}), h.replies);  // the move waits for homing
    h.pass(3.5);
    EXPECT_EQ(std::vector<std::string>({"OK", "PERCENT:0.33", "PERCENT:0.66", "PERCENT:1", "OK"}), h.replies);
}

TEST(BoardCommands, TimeScaleShortensDurations) {
    Board::Options o = quiet();
    o.timeScale = 100;
    Harness h(o);
    h.handshake();
    h.receive(numbered(2, "G29"));  // thirty simulated seconds
    h.pass(0.31);
    ASSERT_FALSE(h.replies.empty());
    EXPECT_EQ("PERCENT:1", h.replies.back());
}

TEST(BoardCommands, DroppedLineGetsNoReplyAtAll) {
    Harness h(quiet());
    h.handshake();
    h.board.dropReply(3);
    h.receive(numbered(2, "G1 X1"));
    h.receive(numbered(3, "M105"));
    h.receive(numbered(4, "G1 X2"));
    EXPECT_EQ(std::vector<std::string>({"OK", "OK"}), h.replies);
}

TEST(BoardSensors, ReportsBedPresenceAndHotEndTemperature) {
    Harness h;
    h.handshake();
    h.receive(numbered(2, "M119"));
    EXPECT_EQ(std::vector<std::string>({"OK", "z_max: TRIGGERED", "PERCENT:1"}), h.replies);
    h.board.setBedPresent(false);
    h.replies.clear();
    h.receive(numbered(3, "M119"));
    EXPECT_EQ("z_max: open", h.replies[1]);

    h.replies.clear();
    h.receive(numbered(4, "M104 S200"));
    h.pass(10.0);
    EXPECT_NEAR(50.0, h.board.currentTemperature(), 1.0);
    int reports = 0;
    for (const auto& r : h.replies) reports += r.rfind("TEMP:", 0) == 0 ? 1 : 0;
    EXPECT_GE(reports, 9);
    h.pass(100.0);
    EXPECT_DOUBLE_EQ(200.0, h.board.currentTemperature());
}

TEST(BoardCommands, InstantModeAnswersAtOnceWithOkThatHostProgramsAccept) {
    Board::Options o = quiet();
    o.instant = true;
    Harness h(o);
    h.handshake();
    h.receive(numbered(2, "G28"));
    h.receive(numbered(3, "M104 S210"));
    EXPECT_EQ(std::vector<std::string>({"ok OK", "PERCENT:1", "ok OK", "TEMP:210.0", "PERCENT:1"}),
              h.replies);
}

}  // namespace
}  // namespace BoardSim
