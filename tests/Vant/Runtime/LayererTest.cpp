#include "Vant/Runtime/Layerer.h"

#include <gtest/gtest.h>

#include <tuple>

#include "RuntimeWorld.h"
#include "support/StagedHome.h"

using namespace testsupport;
using Vant::Runtime::Layerer;

namespace {

std::vector<std::string> movementLines(const std::string& content) {
    const std::string path = scratchFolder() + "/job.gcode";
    writeFile(path, content);
    const auto lines = gcodeLines(path);
    EXPECT_EQ(lines.size(), Vant::Runtime::countGcode(path));
    return lines;
}

class LayererTest : public ::testing::Test {
protected:
    RuntimeWorld world{{"--instant", "--no-temperature-reports"}};
    Vant::Driver::Driver& driver = *world.driver;
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

// Progress reaches 1.0 only once the last line is done; a missing file fails.
TEST_F(LayererTest, StreamsMovementLinesInOrderAndReachesOneOnlyWhenDone) {
    typedef std::vector<std::string> Lines;
    const std::vector<std::tuple<const char*, std::vector<double>, Lines>> files = {
        {"G28\nG1 X10 Y10\nM104 S200\nG0 Z5\nG1X3\nG1 X1\nG1 X2",
         {0.25, 0.5, 0.75, 0.999999, 1.0},
         {"G1 X10 Y10", "G0 Z5", "G1 X1", "G1 X2"}},
        {"G28\nM84\n", {1.0}, {}},
        {nullptr, {-2.0}, {}}};
    for (const auto& file : files) {
        const std::string path = scratchFolder() + "/job.gcode";
        if (std::get<0>(file) != nullptr) writeFile(path, std::get<0>(file));
        const size_t before = world.commands().size();
        ProgressLog log;
        std::make_shared<Layerer>(world.pool.io, driver, path)->layer(log.callback());
        ASSERT_TRUE(log.waitForEnd());
        EXPECT_EQ(log.all(), std::get<1>(file));
        const Lines sent = world.commands();
        EXPECT_EQ(Lines(sent.begin() + static_cast<long>(before), sent.end()), std::get<2>(file));
    }
}

TEST_F(LayererTest, SendsNothingMoreOnceTheCallbackSaysStop) {
    const std::string path = scratchFolder() + "/job.gcode";
    writeFile(path, "G1 X1\nG1 X2\nG1 X3\n");
    std::promise<void> stopped;
    auto layerer = std::make_shared<Layerer>(world.pool.io, driver, path);
    layerer->layer([this, &stopped](double) {
        driver.pushGcode("G1 X99", [&stopped](boost::system::error_code, double progress) {
            if (progress == 1.0) stopped.set_value();
        });
        return false;
    });
    ASSERT_EQ(stopped.get_future().wait_for(std::chrono::seconds(10)), std::future_status::ready);
    driver.pushGcode("G1 X98", nullptr);
    ASSERT_TRUE(world.sim.waitForReceived(4));
    EXPECT_EQ(world.commands(), (std::vector<std::string>{"G1 X1", "G1 X99", "G1 X98"}));
}
