#include "Vant/Driver/Driver.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "BoardSimProcess.h"
#include "support/AsyncTest.h"

namespace Vant {
namespace Driver {
namespace {

using std::chrono::milliseconds;

const milliseconds Deadline(10000);

std::size_t count(const std::string& text, const std::string& wanted) {
    std::size_t n = 0;
    for (auto at = text.find(wanted); at != std::string::npos; at = text.find(wanted, at + 1)) ++n;
    return n;
}

// What one command's callback heard, in order. The callback shares the record, so
// a late call after the test's end finds it alive.
class Progress {
public:
    Driver::ProgressCallback callback() {
        std::shared_ptr<State> shared = state;
        return [shared](boost::system::error_code error, double progress) {
            std::lock_guard<std::mutex> lock(shared->mutex);
            if (error) shared->errors.push_back(error);
            shared->values.push_back(progress);
            shared->changed.notify_all();
        };
    }
    bool waitFor(double value, milliseconds timeout = Deadline) {
        std::unique_lock<std::mutex> lock(state->mutex);
        return state->changed.wait_for(lock, timeout, [&]() {
            for (double v : state->values) {
                if (v == value) return true;
            }
            return false;
        });
    }
    bool waitForError(milliseconds timeout = Deadline) {
        std::unique_lock<std::mutex> lock(state->mutex);
        return state->changed.wait_for(lock, timeout, [&]() { return !state->errors.empty(); });
    }
    // The first error heard (none when none was).
    boost::system::error_code error() {
        std::lock_guard<std::mutex> lock(state->mutex);
        return state->errors.empty() ? boost::system::error_code() : state->errors.front();
    }
    std::vector<double> heard() {
        std::lock_guard<std::mutex> lock(state->mutex);
        return state->values;
    }

private:
    struct State {
        std::mutex mutex;  // guards values and errors; the driver's strand and the test thread contend
        std::condition_variable changed;
        std::vector<double> values;
        std::vector<boost::system::error_code> errors;
    };
    std::shared_ptr<State> state = std::make_shared<State>();
};

// Handlers still queued when the driver goes (a service that runs on after it) find
// it gone and touch nothing.
TEST(Driver, HandlersQueuedPastItsEndTouchNothing) {
    BoardSim::Process sim;
    boost::asio::io_service io;
    Progress pushed;
    {
        Driver driver(io, sim.motionPath());
        driver.initialize([](boost::system::error_code) {});
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
        driver.reset(new Driver(io, sim->motionPath(), boost::posix_time::milliseconds(20)));
        for (int i = 0; i < 2; ++i) pool.emplace_back([this]() { io.run(); });
    }

    boost::system::error_code initialize() {
        auto result = std::make_shared<std::promise<boost::system::error_code>>();
        driver->initialize([result](boost::system::error_code error) { result->set_value(error); });
        auto future = result->get_future();
        if (future.wait_for(Deadline) != std::future_status::ready) {
            return boost::system::errc::make_error_code(boost::system::errc::timed_out);
        }
        return future.get();
    }

    void startAndConnect(std::vector<std::string> simulatorArguments = {"--no-temperature-reports"}) {
        start(simulatorArguments);
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

    void TearDown() override {
        work.reset();
        io.stop();
        for (auto& t : pool) t.join();
        driver.reset();
        if (sim) {
            EXPECT_EQ(0u, sim->mismatches()) << sim->output();
        }
    }

    boost::asio::io_service io;
    std::unique_ptr<boost::asio::io_service::work> work{new boost::asio::io_service::work(io)};
    std::vector<std::thread> pool;
    std::unique_ptr<BoardSim::Process> sim;
    std::unique_ptr<Driver> driver;
};

TEST(DriverErrors, CategoryNamesAndMessages) {
    EXPECT_STREQ("esocket_error", driver_error_category.name());
    EXPECT_EQ("Success", driver_error_category.message(0));
    EXPECT_EQ("Received line longer than buffer", driver_error_category.message(readLineTooLong));
    EXPECT_EQ("Unknown error", driver_error_category.message(7));
}

TEST(DriverCreation, MissingDeviceThrowsSystemError) {
    boost::asio::io_service io;
    EXPECT_THROW(Driver(io, "/nonexistent/motion-board"), boost::system::system_error);
}

TEST_F(DriverTest, HandshakeLineThenNumbersFromTwoWithCommentsAndBlanksRemoved) {
    startAndConnect();
    EXPECT_EQ(std::vector<double>({0.0, 1.0}), run("  G1 X10 ;move").heard());
    EXPECT_EQ(std::vector<std::string>({"N1 M105*38", "N2 G1 X10*83"}), sim->received());
}

TEST_F(DriverTest, HandshakeRetriesAfterUnknownCommandAndTakesTheBoardsLineNumber) {
    start({"--no-temperature-reports", "--time-scale", "50"});
    sim->control("handshake unknown 2");
    sim->control("handshake number 10");
    ASSERT_FALSE(initialize());
    driver->handleInputs();
    run("G28");
    EXPECT_EQ(std::vector<std::string>({"N1 M105*38", "N1 M105*38", "N1 M105*38", "N10 G28*34"}),
              sim->received());
}

TEST_F(DriverTest, HandshakeSkipsAReplyWithoutLineNumber) {
    start();
    sim->control("handshake noise 1");
    ASSERT_FALSE(initialize());
    driver->handleInputs();
    sync();
    EXPECT_EQ("N2 G1 X0*98", sim->received().at(1));
}

TEST_F(DriverTest, NonMoveIsAcknowledgedThenReportsProgressThenCompletes) {
    startAndConnect({"--no-temperature-reports", "--time-scale", "20"});
    EXPECT_EQ(std::vector<double>({0.0, 0.99999, 1.0}), run("M104 S200").heard());
    // Homing takes three simulated seconds: two progress reports on the way.
    EXPECT_EQ(std::vector<double>({0.0, 0.33, 0.66, 0.99999, 1.0}), run("G28").heard());
}

TEST_F(DriverTest, ProgressIsClampedAndUnreadableNumbersAreIgnored) {
    startAndConnect();
    sim->control("drop 2");  // the board leaves line 2 to the test
    Progress line;
    driver->pushGcode("M500", line.callback());
    ASSERT_TRUE(sim->waitForReceived(2));
    for (const char* reply : {"PERCENT:0", "PERCENT:2", "PERCENT:x", "TEMP:nan", "OK:abc", "PERCENT:1"}) {
        sim->control(std::string("send ") + reply);
    }
    ASSERT_TRUE(line.waitFor(1.0));
    // "OK:abc" still acknowledges (it contains "OK"), its number is ignored.
    EXPECT_EQ(std::vector<double>({0.00001, 0.99999, 0.0, 0.99999, 1.0}), line.heard());
    sync();  // the receive loop still runs
}

TEST_F(DriverTest, TemperatureWaitsReportDistanceCoveredAndComplete) {
    startAndConnect();
    sim->control("send TEMP:40");
    sync();
    EXPECT_EQ(std::vector<double>({1.0}), run("Driver:Temperature:EnsureUnder:50").heard());  // met at once

    sim->control("send TEMP:20");
    sync();
    Progress at;
    driver->pushGcode("Driver:Temperature:EnsureAt:200", at.callback());
    sync();
    for (const char* t : {"TEMP:110", "TEMP:100", "TEMP:199.5"}) sim->control(std::string("send ") + t);
    ASSERT_TRUE(at.waitFor(1.0));
    EXPECT_EQ(std::vector<double>({0.0, 0.5, 1.0}), at.heard());

    const std::vector<std::string> received = sim->received();
    EXPECT_EQ("N3 M104 S0*102", received.at(2));
    EXPECT_EQ("N5 M104 S200*98", received.at(4));
}

TEST_F(DriverTest, TemperatureWaitStartingAtItsTargetReportsNothingUntilMet) {
    startAndConnect();
    sim->control("send TEMP:60");
    sync();
    Progress under;
    driver->pushGcode("Driver:Temperature:EnsureUnder:60", under.callback());
    sync();
    sim->control("send TEMP:60");
    sim->control("send TEMP:61");
    sim->control("send TEMP:59");
    ASSERT_TRUE(under.waitFor(1.0));
    EXPECT_EQ(std::vector<double>({1.0}), under.heard());
}

TEST_F(DriverTest, BoardReportsArePublishedAsVariables) {
    start();
    struct Published {
        std::mutex mutex;  // guards values; the driver's strand and the test thread contend
        std::condition_variable changed;
        std::vector<std::pair<std::string, bool>> values;
    };
    auto published = std::make_shared<Published>();
    driver->onVariable = [published](std::string name, kel::var value) {
        std::lock_guard<std::mutex> lock(published->mutex);
        published->values.emplace_back(name, value.booleanValue());
        published->changed.notify_all();
    };
    ASSERT_FALSE(initialize());
    driver->handleInputs();
    run("M119");
    sim->control("bed off");
    run("M119");
    sim->control("inactivity");

    std::unique_lock<std::mutex> lock(published->mutex);
    ASSERT_TRUE(published->changed.wait_for(lock, Deadline, [&]() { return published->values.size() >= 3; }));
    EXPECT_EQ((std::vector<std::pair<std::string, bool>>{
                  {"LightSensorOn", true}, {"LightSensorOn", false}, {"XY-Calibrated", false}}),
              published->values);
}

TEST_F(DriverTest, EmergencyStopRestartsNumberingAndDropsTheTemperatureWait) {
    startAndConnect({"--no-temperature-reports", "--time-scale", "20"});
    Progress heating;
    driver->pushGcode("Driver:Temperature:EnsureAt:200", heating.callback());
    run("M112");
    sim->control("send TEMP:200");
    run("G1 X1");
    EXPECT_EQ("N1 G1 X1*96", sim->received().back());
    EXPECT_EQ(std::vector<double>({0.0}), heating.heard());  // the wait's first call only
}

TEST_F(DriverTest, CorrectionSkipsToItsLineAndOneOutsideTheLinesInFlightIsIgnored) {
    startAndConnect();
    for (const char* line : {"drop 2", "drop 3", "drop 4"}) sim->control(line);
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
    sim->control("correction 4000000000");  // far beyond the lines in flight
    sim->control("correction 3");           // already completed
    sim->control("send PERCENT:1");
    ASSERT_TRUE(heater.waitFor(1.0));
    // Each correction still acknowledges the oldest line (the reply contains "OK").
    EXPECT_EQ(std::vector<double>({0.0, 0.0, 0.99999, 1.0}), heater.heard());
}

TEST_F(DriverTest, LinesBeyondTheRingAreHeldAndSentInOrder) {
    startAndConnect();
    sim->control("hold");
    const int count = 250;
    std::vector<Progress> lines(count);
    for (int i = 0; i < count; ++i) driver->pushGcode("G1 X" + std::to_string(i), lines[i].callback());
    ASSERT_TRUE(sim->waitForReceived(1 + Driver::RingSize));
    EXPECT_EQ(1 + Driver::RingSize, sim->received().size());  // the rest wait for free slots
    sim->control("release");
    ASSERT_TRUE(lines[count - 1].waitFor(1.0));
    for (int i = 0; i < count; ++i) EXPECT_EQ(std::vector<double>({0.0, 1.0}), lines[i].heard()) << i;
    const std::vector<std::string> received = sim->received();
    ASSERT_EQ(static_cast<size_t>(count + 1), received.size());
    for (int i = 0; i < count; ++i) {
        EXPECT_EQ(0u, received[i + 1].find("N" + std::to_string(i + 2) + " G1 X" + std::to_string(i) + "*"));
    }
}

TEST_F(DriverTest, CallbacksThatPushTheNextLineStreamInOrder) {
    startAndConnect({"--instant", "--no-temperature-reports"});
    const int count = 300;
    auto finished = std::make_shared<std::promise<void>>();
    // As the job streamer does: the next line is pushed on the acknowledgement.
    std::function<void(int)> push = [this, &push, finished](int i) {
        driver->pushGcode("G1 X" + std::to_string(i),
                          [&push, finished, i](boost::system::error_code, double p) {
                              if (p == 0.0 && i + 1 < count) push(i + 1);
                              if (p == 1.0 && i + 1 == count) finished->set_value();
                          });
    };
    push(0);
    ASSERT_EQ(std::future_status::ready, finished->get_future().wait_for(Deadline));
    const std::vector<std::string> received = sim->received();
    ASSERT_EQ(static_cast<size_t>(count + 1), received.size());
    for (int i = 0; i < count; ++i) {
        EXPECT_EQ(0u, received[i + 1].find("N" + std::to_string(i + 2) + " G1 X" + std::to_string(i) + "*"));
    }
}

TEST_F(DriverTest, ALostBoardFailsWhatWaitedForItAndIsBackAfterAFreshHandshake) {
    testsupport::CapturedStdout log;
    start();
    auto published = std::make_shared<testsupport::Collector<std::string>>();
    driver->onVariable = [published](std::string name, kel::var value) {
        published->add(name + "=" + value.toJsonString());
    };
    ASSERT_FALSE(initialize());
    driver->handleInputs();
    sim->control("hold");  // the board takes the line but runs nothing
    Progress inFlight;
    driver->pushGcode("G28", inFlight.callback());
    ASSERT_TRUE(sim->waitForReceived(2));

    sim->control("close");
    ASSERT_TRUE(inFlight.waitForError());
    EXPECT_EQ(make_error_code(boardLost), inFlight.error());
    EXPECT_EQ(std::vector<double>({0.0}), inFlight.heard());
    // While it is away a command fails at once, unless it waits for the board's return.
    Progress refused, awaited;
    driver->pushGcode("G1 X1", refused.callback());
    driver->pushGcode("G1 X2", awaited.callback(), Driver::WhileAway::WaitForReturn);
    ASSERT_TRUE(refused.waitForError());
    EXPECT_EQ(make_error_code(boardLost), refused.error());

    sim->control("release");
    sim->control("reopen");
    ASSERT_TRUE(awaited.waitFor(1.0));
    EXPECT_FALSE(awaited.error());
    // A fresh handshake, the board's state asked for again, then the line that waited.
    const std::vector<std::string> received = sim->received();
    ASSERT_EQ(6u, received.size());
    EXPECT_EQ(std::vector<std::string>({"N1 M105*38", "N2 M105*37", "N3 M119*41", "N4 G1 X2*102"}),
              std::vector<std::string>(received.begin() + 2, received.end()));
    // The board may have restarted: its axes count as uncalibrated.
    ASSERT_TRUE(published->waitFor(2));
    EXPECT_EQ(std::vector<std::string>({"XY-Calibrated=false", "LightSensorOn=true"}), published->snapshot());
    const std::string text = log.text();
    EXPECT_EQ(1u, count(text, "Driver::portLost() motion board lost : ")) << text;
    EXPECT_EQ(1u, count(text, "Driver::reopen() motion board back on " + sim->motionPath())) << text;
    EXPECT_EQ(0u, count(text, "Driver::handleInputs() error")) << text;
}

TEST_F(DriverTest, ABoardGoneForGoodFailsEveryCommandAndIsLoggedAtABoundedRate) {
    testsupport::CapturedStdout log;
    start();
    driver->returnWait = boost::posix_time::milliseconds(300);
    driver->unavailableLogInterval = boost::posix_time::milliseconds(400);
    ASSERT_FALSE(initialize());
    driver->handleInputs();
    sync();
    const auto lost = std::chrono::steady_clock::now();
    sim->control("close");
    ASSERT_TRUE(log.waitFor("Driver::portLost() motion board lost"));

    Progress awaited;
    driver->pushGcode("G1 X1", awaited.callback(), Driver::WhileAway::WaitForReturn);
    ASSERT_TRUE(awaited.waitForError());
    EXPECT_EQ(make_error_code(boardLost), awaited.error());
    Progress late;  // pushed once the return wait is over: no longer waits
    driver->pushGcode("G1 X2", late.callback(), Driver::WhileAway::WaitForReturn);
    ASSERT_TRUE(late.waitForError(milliseconds(200)));

    // Reopening is tried every 20 ms; its failures are logged once per 400 ms at most.
    const std::string unavailable = "Driver::reopen() " + sim->motionPath() + " still unavailable";
    ASSERT_TRUE(testsupport::waitUntil([&] { return count(log.text(), unavailable) >= 2; }, Deadline));
    const auto elapsed = std::chrono::steady_clock::now() - lost;
    const std::string text = log.text();
    EXPECT_LE(count(text, unavailable), static_cast<std::size_t>(elapsed / milliseconds(400))) << text;
    EXPECT_EQ(1u, count(text, "Driver::portLost()")) << text;
}

TEST_F(DriverTest, StopFailsWhatIsPendingAndEndsTheSearchForALostBoard) {
    testsupport::CapturedStdout log;
    startAndConnect();
    sync();
    sim->control("close");
    ASSERT_TRUE(log.waitFor("Driver::portLost() motion board lost"));
    Progress awaited;
    driver->pushGcode("G1 X1", awaited.callback(), Driver::WhileAway::WaitForReturn);
    driver->stop();
    ASSERT_TRUE(awaited.waitForError());
    EXPECT_EQ(boost::asio::error::operation_aborted, awaited.error());
    Progress afterStop;
    driver->pushGcode("G1 X2", afterStop.callback(), Driver::WhileAway::WaitForReturn);
    ASSERT_TRUE(afterStop.waitForError());
    EXPECT_EQ(boost::asio::error::operation_aborted, afterStop.error());
    // The port is back, and nobody looks for it any more (attempts would come every 20 ms).
    const std::size_t before = sim->received().size();
    sim->control("reopen");
    EXPECT_FALSE(sim->waitForReceived(before + 1, milliseconds(300)));
}

TEST_F(DriverTest, OverLongReplyIsReportedAndReadingRecovers) {
    start();
    ASSERT_FALSE(initialize());
    sim->control("longline 1200");
    sim->control("send hello");
    auto first = std::make_shared<std::promise<std::pair<boost::system::error_code, std::string>>>();
    driver->readLine([first](boost::system::error_code e, std::string l) { first->set_value({e, l}); });
    auto result = first->get_future();
    ASSERT_EQ(std::future_status::ready, result.wait_for(Deadline));
    const auto tooLong = result.get();
    EXPECT_EQ(make_error_code(readLineTooLong), tooLong.first);
    EXPECT_EQ("", tooLong.second);

    auto second = std::make_shared<std::promise<std::string>>();
    driver->readLine([second](boost::system::error_code, std::string l) { second->set_value(l); });
    auto next = second->get_future();
    ASSERT_EQ(std::future_status::ready, next.wait_for(Deadline));
    EXPECT_EQ("hello", next.get());

    driver->handleInputs();
    sim->control("longline 3000");
    sync();
}

}  // namespace
}  // namespace Driver
}  // namespace Vant
