#include "Vant/Driver/Lighting.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

#include "BoardSimProcess.h"

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

TEST(Lighting, ModeNamesMapToTheirBytes) {
    Lighting::byte code = 0;
    ASSERT_TRUE(Lighting::Mode::fromName("Printing", code));
    EXPECT_EQ(0x42, code);
    ASSERT_TRUE(Lighting::Mode::fromName("Notification", code));
    EXPECT_EQ(0x45, code);
    EXPECT_FALSE(Lighting::Mode::fromName("Sleeping", code));
}

TEST(Lighting, MissingDeviceThrowsSystemError) {
    boost::asio::io_service io;
    EXPECT_THROW(Lighting(io, "/nonexistent/lighting"), boost::system::system_error);
}

}  // namespace
}  // namespace Driver
}  // namespace Vant
