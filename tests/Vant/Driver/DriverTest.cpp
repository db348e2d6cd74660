#include "Vant/Driver/Driver.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include "BoardSimProcess.h"
#include "Vant/Driver/Lighting.h"
#include "support/AsyncTest.h"

namespace Vant {
namespace Driver {
namespace {

using std::chrono::milliseconds;
using boost::system::error_code;
using testsupport::occurrences;

const milliseconds Deadline(10000);

// What one command's callback heard, in order. The callback shares the record, so
// a late call after the test's end finds it alive.
struct Progress {
    std::shared_ptr<testsupport::Collector<std::pair<error_code, double>>> calls =
        std::make_shared<testsupport::Collector<std::pair<error_code, double>>>();

    Driver::ProgressCallback callback() {
        auto shared = calls;
        return [shared](error_code error, double progress) { shared->add({error, progress}); };
    }
    std::vector<double> heard() const {
        std::vector<double> values;
        for (const auto& call : calls->snapshot()) values.push_back(call.second);
        return values;
    }
    bool waitFor(double value) const {
        return testsupport::waitUntil(
            [&] {
                const auto values = heard();
                return std::find(values.begin(), values.end(), value) != values.end();
            },
            Deadline);
    }
    // Waits for the first error heard and returns it (none at the deadline).
    error_code error(milliseconds deadline = Deadline) const {
        error_code first;
        auto heardOne = [&] {
            for (const auto& call : calls->snapshot()) {
                if ((first = call.first)) return true;
            }
            return false;
        };
        testsupport::waitUntil(heardOne, deadline);
        return first;
    }
};

// Handlers still queued when the driver goes (a service that runs on after it) find
// it gone and touch nothing.
TEST(Driver, HandlersQueuedPastItsEndTouchNothing) {
    BoardSim::Process sim;
    boost::asio::io_service io;
    Progress pushed;
    {
        Driver driver(io, sim.motionPath());
        driver.initialize([](error_code) {});
        driver.pushGcode("G28", pushed.callback());
        driver.stop();
    }
    io.run();
    EXPECT_TRUE(pushed.heard().empty());
}

// A driver on a pool of two threads, talking to a fresh simulator.
class DriverTest : public ::testing::Test {
protected:
    void start(std::vector<std::string> simulatorArguments = {"--no-temperature-reports"}) {
        sim.reset(new BoardSim::Process(simulatorArguments));
        driver.reset(new Driver(pool.io, sim->motionPath(), boost::posix_time::milliseconds(20)));
    }

    error_code initialize() {
        auto result = std::make_shared<std::promise<error_code>>();
        driver->initialize([result](error_code error) { result->set_value(error); });
        auto future = result->get_future();
        if (future.wait_for(Deadline) != std::future_status::ready) return make_error_code(boost::system::errc::timed_out);
        return future.get();
    }

    void connect() {
        ASSERT_FALSE(initialize());
        driver->handleInputs();
    }

    // Pushes a command and waits for its completion.
    Progress run(const std::string& gcode) {
        Progress progress;
        driver->pushGcode(gcode, progress.callback());
        EXPECT_TRUE(progress.waitFor(1.0)) << gcode;
        return progress;
    }

    // Completes a move: every reply the board sent before has been handled.
    void sync() { run("G1 X0"); }

    void control(std::initializer_list<const char*> commands) {
        for (const char* command : commands) sim->control(command);
    }

    // The moves "G1 X0".."G1 X<count-1>" reached the board in order, numbered from 2.
    void expectMovesInOrder(int count) {
        const std::vector<std::string> received = sim->received();
        ASSERT_EQ(static_cast<size_t>(count + 1), received.size());
        for (int i = 0; i < count; ++i) {
            EXPECT_EQ(0u, received[i + 1].find("N" + std::to_string(i + 2) + " G1 X" + std::to_string(i) + "*"));
        }
    }

    void TearDown() override {
        pool.stop();
        driver.reset();
        if (sim) {
            EXPECT_EQ(0u, sim->mismatches()) << sim->output();
        }
    }

    testsupport::IoPool pool{2};
    std::unique_ptr<BoardSim::Process> sim;
    std::unique_ptr<Driver> driver;
};

TEST_F(DriverTest, HandshakeLineThenNumbersFromTwoWithCommentsAndBlanksRemoved) {
    start();
    connect();
    EXPECT_EQ(std::vector<double>({0.0, 1.0}), run("  G1 X10 ;move").heard());
    EXPECT_EQ(std::vector<std::string>({"N1 M105*38", "N2 G1 X10*83"}), sim->received());
}

TEST_F(DriverTest, HandshakeRetriesAfterUnknownCommandSkipsNoiseAndTakesTheBoardsLineNumber) {
    start({"--no-temperature-reports", "--time-scale", "50"});
    control({"handshake unknown 2", "handshake noise 1", "handshake number 10"});
    connect();
    run("G28");
    EXPECT_EQ(std::vector<std::string>({"N1 M105*38", "N1 M105*38", "N1 M105*38", "N10 G28*34"}), sim->received());
}

TEST_F(DriverTest, NonMoveIsAcknowledgedThenReportsProgressThenCompletes) {
    start({"--no-temperature-reports", "--time-scale", "20"});
    connect();
    EXPECT_EQ(std::vector<double>({0.0, 0.99999, 1.0}), run("M104 S200").heard());
    // Homing takes three simulated seconds: two progress reports on the way.
    EXPECT_EQ(std::vector<double>({0.0, 0.33, 0.66, 0.99999, 1.0}), run("G28").heard());
}

TEST_F(DriverTest, ProgressIsClampedAndUnreadableNumbersAreIgnored) {
    start();
    connect();
    sim->control("drop 2");  // the board leaves line 2 to the test
    Progress line;
    driver->pushGcode("M500", line.callback());
    ASSERT_TRUE(sim->waitForReceived(2));
    control({"send PERCENT:0", "send PERCENT:2", "send PERCENT:x", "send TEMP:nan", "send OK:abc", "send PERCENT:1"});
    ASSERT_TRUE(line.waitFor(1.0));
    // "OK:abc" still acknowledges (it contains "OK"), its number is ignored.
    EXPECT_EQ(std::vector<double>({0.00001, 0.99999, 0.0, 0.99999, 1.0}), line.heard());
    sync();  // the receive loop still runs
}

TEST_F(DriverTest, TemperatureWaitsReportDistanceCoveredAndComplete) {
    start();
    connect();
    sim->control("send TEMP:40");
    sync();
    EXPECT_EQ(std::vector<double>({1.0}), run("Driver:Temperature:EnsureUnder:50").heard());  // met at once

    sim->control("send TEMP:20");
    sync();
    Progress at;
    driver->pushGcode("Driver:Temperature:EnsureAt:200", at.callback());
    sync();
    control({"send TEMP:110", "send TEMP:100", "send TEMP:199.5"});
    ASSERT_TRUE(at.waitFor(1.0));
    EXPECT_EQ(std::vector<double>({0.0, 0.5, 1.0}), at.heard());
    EXPECT_EQ("N3 M104 S0*102", sim->received().at(2));
    EXPECT_EQ("N5 M104 S200*98", sim->received().at(4));

    // A wait that starts at its target reports nothing until it is met.
    sim->control("send TEMP:60");
    sync();
    Progress under;
    driver->pushGcode("Driver:Temperature:EnsureUnder:60", under.callback());
    sync();
    control({"send TEMP:60", "send TEMP:61", "send TEMP:59"});
    ASSERT_TRUE(under.waitFor(1.0));
    EXPECT_EQ(std::vector<double>({1.0}), under.heard());
}

TEST_F(DriverTest, BoardReportsArePublishedAsVariables) {
    start();
    auto published = std::make_shared<testsupport::Collector<std::string>>();
    driver->onVariable = [published](std::string name, kel::var value) {
        published->add(name + "=" + value.toJsonString());
    };
    connect();
    run("M119");
    sim->control("bed off");
    run("M119");
    sim->control("inactivity");
    ASSERT_TRUE(published->waitFor(3, Deadline));
    EXPECT_EQ(std::vector<std::string>({"LightSensorOn=true", "LightSensorOn=false", "XY-Calibrated=false"}),
              published->snapshot());
}

TEST_F(DriverTest, EmergencyStopRestartsNumberingAndDropsTheTemperatureWait) {
    start({"--no-temperature-reports", "--time-scale", "20"});
    connect();
    Progress heating;
    driver->pushGcode("Driver:Temperature:EnsureAt:200", heating.callback());
    run("M112");
    sim->control("send TEMP:200");
    run("G1 X1");
    EXPECT_EQ("N1 G1 X1*96", sim->received().back());
    EXPECT_EQ(std::vector<double>({0.0}), heating.heard());  // the wait's first call only
}

TEST_F(DriverTest, CorrectionSkipsToItsLineAndOneOutsideTheLinesInFlightIsIgnored) {
    start();
    connect();
    control({"drop 2", "drop 3", "drop 4"});
    Progress first, second, third;
    driver->pushGcode("G1 X1", first.callback());
    driver->pushGcode("G1 X2", second.callback());
    driver->pushGcode("G1 X3", third.callback());
    ASSERT_TRUE(sim->waitForReceived(4));
    sim->control("correction 4");
    ASSERT_TRUE(third.waitFor(1.0));
    EXPECT_EQ(std::vector<double>({0.0, 1.0}), third.heard());
    EXPECT_TRUE(first.heard().empty());
    EXPECT_TRUE(second.heard().empty());

    sim->control("drop 5");
    Progress heater;
    driver->pushGcode("M104 S0", heater.callback());
    ASSERT_TRUE(sim->waitForReceived(5));
    // Far beyond the lines in flight, then one already completed; each still
    // acknowledges the oldest line (the reply contains "OK").
    control({"correction 4000000000", "correction 3", "send PERCENT:1"});
    ASSERT_TRUE(heater.waitFor(1.0));
    EXPECT_EQ(std::vector<double>({0.0, 0.0, 0.99999, 1.0}), heater.heard());
}

TEST_F(DriverTest, LinesBeyondTheRingAreHeldAndSentInOrder) {
    start();
    connect();
    sim->control("hold");
    const int count = 250;
    std::vector<Progress> lines(count);
    for (int i = 0; i < count; ++i) driver->pushGcode("G1 X" + std::to_string(i), lines[i].callback());
    ASSERT_TRUE(sim->waitForReceived(1 + Driver::RingSize));
    EXPECT_EQ(1 + Driver::RingSize, sim->received().size());  // the rest wait for free slots
    sim->control("release");
    ASSERT_TRUE(lines[count - 1].waitFor(1.0));
    for (int i = 0; i < count; ++i) EXPECT_EQ(std::vector<double>({0.0, 1.0}), lines[i].heard()) << i;
    expectMovesInOrder(count);
}

TEST_F(DriverTest, CallbacksThatPushTheNextLineStreamInOrder) {
    start({"--instant", "--no-temperature-reports"});
    connect();
    const int count = 300;
    auto finished = std::make_shared<std::promise<void>>();
    // As the job streamer does: the next line is pushed on the acknowledgement.
    std::function<void(int)> push = [this, &push, finished](int i) {
        driver->pushGcode("G1 X" + std::to_string(i), [&push, finished, i](error_code, double p) {
            if (p == 0.0 && i + 1 < count) push(i + 1);
            if (p == 1.0 && i + 1 == count) finished->set_value();
        });
    };
    push(0);
    ASSERT_EQ(std::future_status::ready, finished->get_future().wait_for(Deadline));
    expectMovesInOrder(count);
}

TEST_F(DriverTest, ALostBoardFailsWhatWaitedForItAndIsBackAfterAFreshHandshake) {
    testsupport::CapturedStdout log;
    start();
    auto published = std::make_shared<testsupport::Collector<std::string>>();
    driver->onVariable = [published](std::string name, kel::var value) {
        published->add(name + "=" + value.toJsonString());
    };
    connect();
    sim->control("hold");  // the board takes the line but runs nothing
    Progress inFlight;
    driver->pushGcode("G28", inFlight.callback());
    ASSERT_TRUE(sim->waitForReceived(2));

    sim->control("close");
    EXPECT_EQ(make_error_code(boardLost), inFlight.error());
    EXPECT_EQ(std::vector<double>({0.0}), inFlight.heard());
    // While it is away a command fails at once, unless it waits for the board's return.
    Progress refused, awaited;
    driver->pushGcode("G1 X1", refused.callback());
    driver->pushGcode("G1 X2", awaited.callback(), Driver::WhileAway::WaitForReturn);
    EXPECT_EQ(make_error_code(boardLost), refused.error());

    control({"release", "reopen"});
    ASSERT_TRUE(awaited.waitFor(1.0));
    EXPECT_EQ(std::vector<double>({0.0, 1.0}), awaited.heard());
    // A fresh handshake, the board's state asked for again, then the line that waited.
    const std::vector<std::string> received = sim->received();
    ASSERT_EQ(6u, received.size());
    EXPECT_EQ(std::vector<std::string>({"N1 M105*38", "N2 M105*37", "N3 M119*41", "N4 G1 X2*102"}),
              std::vector<std::string>(received.begin() + 2, received.end()));
    // The board may have restarted: its axes count as uncalibrated.
    ASSERT_TRUE(published->waitFor(2));
    EXPECT_EQ(std::vector<std::string>({"XY-Calibrated=false", "LightSensorOn=true"}), published->snapshot());
    EXPECT_EQ(1u, occurrences(log.text(), "Driver::portLost()")) << log.text();
    EXPECT_EQ(0u, occurrences(log.text(), "Driver::handleInputs() error")) << log.text();
}

TEST_F(DriverTest, ABoardGoneForGoodFailsEveryCommandAndIsLoggedAtABoundedRate) {
    testsupport::CapturedStdout log;
    start();
    driver->returnWait = boost::posix_time::milliseconds(300);
    driver->unavailableLogInterval = boost::posix_time::milliseconds(400);
    connect();
    sync();
    const auto lost = std::chrono::steady_clock::now();
    sim->control("close");
    ASSERT_TRUE(log.waitFor("Driver::portLost()"));

    Progress awaited;
    driver->pushGcode("G1 X1", awaited.callback(), Driver::WhileAway::WaitForReturn);
    EXPECT_EQ(make_error_code(boardLost), awaited.error());
    Progress late;  // pushed once the return wait is over: no longer waits
    driver->pushGcode("G1 X2", late.callback(), Driver::WhileAway::WaitForReturn);
    EXPECT_EQ(make_error_code(boardLost), late.error(milliseconds(200)));

    // Reopening is tried every 20 ms; its failures are logged once per 400 ms at most.
    const std::string unavailable = "Driver::reopen() " + sim->motionPath() + " still unavailable";
    ASSERT_TRUE(testsupport::waitUntil([&] { return occurrences(log.text(), unavailable) >= 2; }, Deadline));
    const auto elapsed = std::chrono::steady_clock::now() - lost;
    const std::string text = log.text();
    EXPECT_LE(occurrences(text, unavailable), static_cast<std::size_t>(elapsed / milliseconds(400))) << text;
    EXPECT_EQ(1u, occurrences(text, "Driver::portLost()")) << text;
}

TEST_F(DriverTest, StopFailsWhatIsPendingAndEndsTheSearchForALostBoard) {
    testsupport::CapturedStdout log;
    start();
    connect();
    sync();
    sim->control("close");
    ASSERT_TRUE(log.waitFor("Driver::portLost()"));
    Progress awaited, afterStop;
    driver->pushGcode("G1 X1", awaited.callback(), Driver::WhileAway::WaitForReturn);
    driver->stop();
    driver->pushGcode("G1 X2", afterStop.callback(), Driver::WhileAway::WaitForReturn);
    EXPECT_EQ(boost::asio::error::operation_aborted, awaited.error());
    EXPECT_EQ(boost::asio::error::operation_aborted, afterStop.error());
    // The port is back, and nobody looks for it any more (attempts would come every 20 ms).
    const std::size_t before = sim->received().size();
    sim->control("reopen");
    EXPECT_FALSE(sim->waitForReceived(before + 1, milliseconds(300)));
}

TEST_F(DriverTest, OverLongReplyIsReportedAndReadingRecovers) {
    start();
    ASSERT_FALSE(initialize());
    control({"longline 1200", "send hello"});
    testsupport::Collector<std::pair<error_code, std::string>> lines;
    auto read = [&lines](error_code error, std::string line) { lines.add({error, line}); };
    driver->readLine(read);
    ASSERT_TRUE(lines.waitFor(1, Deadline));
    driver->readLine(read);
    ASSERT_TRUE(lines.waitFor(2, Deadline));
    const auto heard = lines.snapshot();
    EXPECT_EQ(make_error_code(readLineTooLong), heard[0].first);
    EXPECT_FALSE(heard[1].first);
    EXPECT_EQ("hello", heard[1].second);
    driver->handleInputs();
    sim->control("longline 3000");
    sync();
}

}  // namespace
}  // namespace Driver
}  // namespace Vant
