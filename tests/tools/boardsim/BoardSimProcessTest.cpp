#include "BoardSimProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <string>

namespace BoardSim {
namespace {

// A host end of one simulated port, opened raw as a serial device would be.
class Port {
public:
    explicit Port(const std::string& path) : fd(::open(path.c_str(), O_RDWR | O_NOCTTY)) {
        termios t;
        if (fd >= 0 && tcgetattr(fd, &t) == 0) {
            cfmakeraw(&t);
            tcsetattr(fd, TCSANOW, &t);
        }
    }
    ~Port() {
        if (fd >= 0) ::close(fd);
    }
    bool write(const std::string& s) {
        return ::write(fd, s.data(), s.size()) == static_cast<ssize_t>(s.size());
    }
    // Reads until a line containing `text` arrives; empty at the deadline.
    std::string readLineWith(const std::string& text) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (std::chrono::steady_clock::now() < deadline) {
            size_t newline;
            while ((newline = input.find('\n')) != std::string::npos) {
                const std::string line = input.substr(0, newline);
                input.erase(0, newline + 1);
                if (line.find(text) != std::string::npos) return line;
            }
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 50) > 0) {
                char buffer[1024];
                const ssize_t n = ::read(fd, buffer, sizeof buffer);
                if (n <= 0) return std::string();
                input.append(buffer, static_cast<size_t>(n));
            }
        }
        return std::string();
    }
    int fd;
    std::string input;
};

TEST(BoardSimProcess, LogsEveryLineAndCountsMismatchesOverThePseudoTerminal) {
    Process sim({"--no-temperature-reports"});
    Port port(sim.motionPath());
    ASSERT_GE(port.fd, 0);
    ASSERT_TRUE(port.write("N1 M105*38\n"));
    EXPECT_EQ("OK", port.readLineWith("OK"));
    ASSERT_TRUE(port.write("N2 G1 X1*85\n"));  // wrong checksum: "N2 G1 X1" sums to 99
    ASSERT_TRUE(port.write("N4 G28*17\n"));    // skips 3 (checksum correct)
    ASSERT_TRUE(sim.waitForReceived(3));
    EXPECT_EQ(2u, sim.mismatches());
    EXPECT_EQ(std::vector<std::string>({"N1 M105*38", "N2 G1 X1*85", "N4 G28*17"}), sim.received());
}

TEST(BoardSimProcess, RecordsLightingBytesWithModeNames) {
    Process sim;
    Port port(sim.lightingPath());
    ASSERT_TRUE(port.write("B5"));
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    std::string reply;
    while ((reply = sim.control("lighting")) != "ok Printing Idle" &&
           std::chrono::steady_clock::now() < deadline) {
        usleep(2000);
    }
    EXPECT_EQ("ok Printing Idle", reply);
}

TEST(BoardSimProcess, SendsRequestedLinesAndFailsTheHostWhenClosed) {
    Process sim({"--no-temperature-reports"});
    Port port(sim.motionPath());
    ASSERT_TRUE(port.write("N1 M105*38\n"));
    ASSERT_EQ("OK", port.readLineWith("OK"));
    EXPECT_EQ("ok", sim.control("correction 7"));
    EXPECT_EQ("OK:7", port.readLineWith("OK:"));
    EXPECT_EQ("ok", sim.control("inactivity"));
    EXPECT_EQ("Reached maximum inactivity time", port.readLineWith("inactivity"));

    // Gone as an unplugged device: I/O fails and the path is missing until it is made again.
    EXPECT_EQ("ok", sim.control("close"));
    EXPECT_FALSE(port.write("N2 G1 X1*84\n"));
    EXPECT_LT(Port(sim.motionPath()).fd, 0);
    EXPECT_EQ("ok", sim.control("reopen"));
    Port again(sim.motionPath());
    ASSERT_TRUE(again.write("N1 M105*38\n"));
    EXPECT_EQ("OK", again.readLineWith("OK"));

    Port lighting(sim.lightingPath());
    EXPECT_EQ("ok", sim.control("close lighting"));
    EXPECT_FALSE(lighting.write("B"));
    EXPECT_LT(Port(sim.lightingPath()).fd, 0);
    EXPECT_EQ("ok", sim.control("reopen lighting"));
    EXPECT_TRUE(Port(sim.lightingPath()).write("B"));
}

}  // namespace
}  // namespace BoardSim
