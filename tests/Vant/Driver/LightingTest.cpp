#include "Vant/Driver/Lighting.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>

#include "BoardSimProcess.h"
#include "Vant/Driver/ErrorCode.h"
#include "support/AsyncTest.h"

namespace Vant {
namespace Driver {
namespace {

// The pool stops before the controller goes: no handler runs on a destroyed one.
struct LightingWorld {
    ~LightingWorld() { pool.stop(); }
    bool shows(const std::string& modes) {
        return testsupport::waitUntil([&] { return sim.control("lighting") == "ok" + modes; }, std::chrono::seconds(10));
    }
    BoardSim::Process sim;
    testsupport::IoPool pool{2};
    Lighting lighting{pool.io, sim.lightingPath(), boost::posix_time::milliseconds(20)};
};

TEST(Lighting, EachModeWritesItsOneByteInCallOrder) {
    LightingWorld world;
    testsupport::Collector<boost::system::error_code> results;
    for (const char* name : {"Loading", "Idle", "Error", "Notification", "Preparing", "Printing"}) {
        Lighting::byte mode = 0;
        ASSERT_TRUE(Lighting::Mode::fromName(name, mode)) << name;
        world.lighting.sendCodeByte(mode, results.adder());
    }
    world.lighting.sendCodeByte(Lighting::Mode::Idle, nullptr);  // an empty completion is allowed
    EXPECT_TRUE(world.shows(" Loading Idle Error Notification Preparing Printing Idle"));
    ASSERT_TRUE(results.waitFor(6));
    EXPECT_EQ(std::vector<boost::system::error_code>(6), results.snapshot());
    Lighting::byte unknown = 0;
    EXPECT_FALSE(Lighting::Mode::fromName("Sleeping", unknown));
}

TEST(Lighting, ShowsTheLastModeAgainWhenTheControllerComesBackAndNothingAfterStop) {
    testsupport::CapturedStdout log;
    testsupport::Collector<boost::system::error_code> results;
    LightingWorld world;
    world.lighting.sendCodeByte(Lighting::Mode::Printing, results.adder());
    ASSERT_TRUE(world.shows(" Printing"));

    // Noticed without a write: the controller's port is watched.
    world.sim.control("close lighting");
    ASSERT_TRUE(log.waitFor("Lighting::portLost()"));
    world.lighting.sendCodeByte(Lighting::Mode::Error, results.adder());
    world.sim.control("reopen lighting");
    EXPECT_TRUE(world.shows(" Printing Error"));

    world.lighting.stop();
    world.lighting.sendCodeByte(Lighting::Mode::Idle, results.adder());
    ASSERT_TRUE(results.waitFor(3));
    EXPECT_EQ((std::vector<boost::system::error_code>{boost::system::error_code(), make_error_code(boardLost),
                                                      boost::asio::error::operation_aborted}),
              results.snapshot());
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

}  // namespace
}  // namespace Driver
}  // namespace Vant
