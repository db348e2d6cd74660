#include "Vant/Driver/Lighting.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

#include "BoardSimProcess.h"
#include "Vant/Driver/ErrorCode.h"
#include "support/AsyncTest.h"

namespace Vant {
namespace Driver {
namespace {

TEST(Lighting, EachModeWritesItsOneByteInCallOrder) {
    BoardSim::Process sim;
    boost::asio::io_service io;
    auto work = std::make_unique<boost::asio::io_service::work>(io);
    std::thread runner([&io]() { io.run(); });
    {
        Lighting lighting(io, sim.lightingPath());
        auto succeeded = std::make_shared<std::atomic<int>>(0);
        for (Lighting::byte mode :
             {Lighting::Mode::Loading, Lighting::Mode::Idle, Lighting::Mode::Error,
              Lighting::Mode::Notification, Lighting::Mode::Preparing, Lighting::Mode::Printing}) {
            lighting.sendCodeByte(mode, [succeeded](boost::system::error_code e) {
                if (!e) ++*succeeded;
            });
        }
        lighting.sendCodeByte(Lighting::Mode::Idle, nullptr);  // an empty completion is allowed
        const std::string expected = "ok Loading Idle Error Notification Preparing Printing Idle";
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        std::string reply;
        while ((reply = sim.control("lighting")) != expected && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        EXPECT_EQ(expected, reply);
        while (*succeeded < 6 && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        EXPECT_EQ(6, succeeded->load());
        work.reset();
        io.stop();
        runner.join();
    }
}

TEST(Lighting, ShowsTheLastModeAgainWhenTheControllerComesBackAndNothingAfterStop) {
    testsupport::CapturedStdout log;
    testsupport::Collector<boost::system::error_code> results;
    // The pool stops before the controller goes: no handler runs on a destroyed one.
    struct World {
        ~World() { pool.stop(); }
        BoardSim::Process sim;
        testsupport::IoPool pool{2};
        Lighting lighting{pool.io, sim.lightingPath(), boost::posix_time::milliseconds(20)};
    } world;
    auto lightingIs = [&world](const std::string& modes) {
        return testsupport::waitUntil([&] { return world.sim.control("lighting") == "ok" + modes; });
    };
    world.lighting.sendCodeByte(Lighting::Mode::Printing, results.adder());
    ASSERT_TRUE(lightingIs(" Printing"));

    // Noticed without a write: the controller's port is watched.
    world.sim.control("close lighting");
    ASSERT_TRUE(log.waitFor("Lighting::portLost() lighting controller lost"));
    world.lighting.sendCodeByte(Lighting::Mode::Error, results.adder());
    world.sim.control("reopen lighting");
    EXPECT_TRUE(lightingIs(" Printing Error"));
    EXPECT_TRUE(log.waitFor("Lighting::reopen() lighting controller back on " + world.sim.lightingPath()));

    world.lighting.stop();
    world.lighting.sendCodeByte(Lighting::Mode::Idle, results.adder());
    ASSERT_TRUE(results.waitFor(3));
    EXPECT_EQ((std::vector<boost::system::error_code>{boost::system::error_code(), make_error_code(boardLost),
                                                      boost::asio::error::operation_aborted}),
              results.snapshot());
}

TEST(Lighting, ModeNamesMapToTheirBytes) {
    Lighting::byte code = 0;
    ASSERT_TRUE(Lighting::Mode::fromName("Printing", code));
    EXPECT_EQ(0x42, code);
    ASSERT_TRUE(Lighting::Mode::fromName("Notification", code));
    EXPECT_EQ(0x45, code);
    EXPECT_FALSE(Lighting::Mode::fromName("Sleeping", code));
}

// Handlers still queued when the controller goes find it gone and touch nothing.
TEST(Lighting, HandlersQueuedPastItsEndTouchNothing) {
    BoardSim::Process sim;
    boost::asio::io_service io;
    auto heard = std::make_shared<std::atomic<int>>(0);
    {
        Lighting lighting(io, sim.lightingPath());
        lighting.sendCodeByte(Lighting::Mode::Printing, [heard](boost::system::error_code) { ++*heard; });
        lighting.stop();
    }
    io.run();
    EXPECT_EQ(0, *heard);
}

TEST(Lighting, MissingDeviceThrowsSystemError) {
    boost::asio::io_service io;
    EXPECT_THROW(Lighting(io, "/nonexistent/lighting"), boost::system::system_error);
}

}  // namespace
}  // namespace Driver
}  // namespace Vant
