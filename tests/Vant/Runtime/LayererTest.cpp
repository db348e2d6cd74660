#include "Vant/Runtime/Layerer.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include "BoardSimProcess.h"
#include "ProgressLog.h"
#include "support/StagedHome.h"

using testsupport::scratchFolder;
using testsupport::writeFile;
using Vant::Runtime::Layerer;

namespace {

std::vector<std::string> movementLines(const std::string& content) {
    const std::string path = scratchFolder() + "/job.gcode";
    writeFile(path, content);
    FILE* file = std::fopen(path.c_str(), "r");
    std::vector<std::string> lines;
    char buffer[Layerer::lineBufferSize];
    while (Vant::Runtime::getNextGcodeLine(buffer, sizeof buffer, file) != nullptr) lines.push_back(buffer);
    std::fclose(file);
    EXPECT_EQ(lines.size(), Vant::Runtime::countGcode(path));
    return lines;
}

// The command of a numbered line as the board received it ("N7 G1 X1*45" gives "G1 X1").
std::string commandOf(const std::string& line) {
    const auto blank = line.find(' ');
    const auto star = line.rfind('*');
    return line.substr(blank + 1, star - blank - 1);
}

// A driver on a pool of two threads, connected to a board simulator that answers at once.
class LayererTest : public ::testing::Test {
protected:
    void SetUp() override {
        driver.reset(new Vant::Driver::Driver(pool.io, sim.motionPath()));
        ASSERT_TRUE(shakeHands(*driver));
    }

    void TearDown() override {
        pool.stop();
        driver.reset();
    }

    // What the board received after the handshake, as plain commands.
    std::vector<std::string> commandsReceived() {
        std::vector<std::string> commands;
        const auto lines = sim.received();
        for (size_t i = 1; i < lines.size(); ++i) commands.push_back(commandOf(lines[i]));
        return commands;
    }

    // Pushes a move and waits for its completion.
    void move(const std::string& gcode) {
        auto done = std::make_shared<std::promise<void>>();
        driver->pushGcode(gcode, [done](boost::system::error_code, double progress) {
            if (progress == 1.0) done->set_value();
        });
        ASSERT_EQ(done->get_future().wait_for(std::chrono::seconds(10)), std::future_status::ready);
    }

    BoardSim::Process sim{{"--instant", "--no-temperature-reports"}};
    IoPool pool;
    std::unique_ptr<Vant::Driver::Driver> driver;
};

}  // namespace

TEST(GcodeLines, TakesOnlyMovementLinesWithoutTheirLineEnds) {
    EXPECT_EQ(movementLines("G28\nG1 X10 Y10\nM104 S200\nG0 Z5\nG1X3\n"),
              (std::vector<std::string>{"G1 X10 Y10", "G0 Z5"}));
    // A last line without a newline keeps its last character; CR LF endings go whole.
    EXPECT_EQ(movementLines("G0 Z1\r\n;G1 X1\n G1 X2\nG1 X7 Y7"),
              (std::vector<std::string>{"G0 Z1", "G1 X7 Y7"}));
    EXPECT_TRUE(movementLines("").empty());
}

TEST(GcodeLines, SkipsALineLongerThanTheBufferWhole) {
    const std::string longLine = "G1 X1 " + std::string(2 * Layerer::lineBufferSize, ';') + "G1 X666\n";
    EXPECT_EQ(movementLines("G1 X0\n" + longLine + "G1 X2\n"), (std::vector<std::string>{"G1 X0", "G1 X2"}));
    EXPECT_EQ(Vant::Runtime::countGcode(scratchFolder() + "/absent"), 0u);
}

TEST_F(LayererTest, StreamsMovementLinesInOrderAndReachesOneOnlyWhenDone) {
    const std::string path = scratchFolder() + "/job.gcode";
    writeFile(path, "G28\nG1 X10 Y10\nM104 S200\nG0 Z5\nG1X3\nG1 X1\nG1 X2");
    ProgressLog log;
    std::make_shared<Layerer>(pool.io, *driver, path)->layer(log.callback());
    ASSERT_TRUE(log.waitForEnd());
    EXPECT_EQ(log.all(), (std::vector<double>{0.25, 0.5, 0.75, 0.999999, 1.0}));
    EXPECT_EQ(commandsReceived(), (std::vector<std::string>{"G1 X10 Y10", "G0 Z5", "G1 X1", "G1 X2"}));
}

TEST_F(LayererTest, CompletesAFileWithoutMovementLinesAtOnce) {
    const std::string path = scratchFolder() + "/job.gcode";
    writeFile(path, "G28\nM84\n");
    ProgressLog log;
    std::make_shared<Layerer>(pool.io, *driver, path)->layer(log.callback());
    ASSERT_TRUE(log.waitForEnd());
    EXPECT_EQ(log.all(), std::vector<double>{1.0});
    EXPECT_TRUE(commandsReceived().empty());
}

TEST_F(LayererTest, FailsWhenTheFileCannotBeOpened) {
    ProgressLog log;
    std::make_shared<Layerer>(pool.io, *driver, scratchFolder() + "/absent")->layer(log.callback());
    ASSERT_TRUE(log.waitForEnd());
    EXPECT_EQ(log.all(), std::vector<double>{-2.0});
}

TEST_F(LayererTest, SendsNothingMoreOnceTheCallbackSaysStop) {
    const std::string path = scratchFolder() + "/job.gcode";
    writeFile(path, "G1 X1\nG1 X2\nG1 X3\n");
    std::promise<void> stopped;
    auto layerer = std::make_shared<Layerer>(pool.io, *driver, path);
    layerer->layer([this, &stopped](double) {
        // Pushed before the layerer could push its next line, were it to go on.
        driver->pushGcode("G1 X99", [&stopped](boost::system::error_code, double progress) {
            if (progress == 1.0) stopped.set_value();
        });
        return false;
    });
    ASSERT_EQ(stopped.get_future().wait_for(std::chrono::seconds(10)), std::future_status::ready);
    move("G1 X98");
    EXPECT_EQ(commandsReceived(), (std::vector<std::string>{"G1 X1", "G1 X99", "G1 X98"}));
}
