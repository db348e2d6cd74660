#include "BoardSimProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <string>

// The simulator as a process, over its pseudo-terminal as a host opens it. Its
// lighting port and its reconnection are exercised by the driver's tests.
namespace BoardSim {
namespace {

// A host end of the motion port, opened raw as a serial device would be.
struct Port {
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
    bool write(const std::string& s) { return ::write(fd, s.data(), s.size()) == static_cast<ssize_t>(s.size()); }
    // Reads until a line containing `text` arrives; empty at the deadline.
    std::string readLineWith(const std::string& text) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        for (std::string input; std::chrono::steady_clock::now() < deadline;) {
            for (size_t newline; (newline = input.find('\n')) != std::string::npos; input.erase(0, newline + 1)) {
                if (input.substr(0, newline).find(text) != std::string::npos) return input.substr(0, newline);
            }
            pollfd p{fd, POLLIN, 0};
            char buffer[1024];
            ssize_t n = 0;
            if (::poll(&p, 1, 50) > 0 && (n = ::read(fd, buffer, sizeof buffer)) <= 0) return std::string();
            input.append(buffer, static_cast<size_t>(n));
        }
        return std::string();
    }
    int fd;
};

TEST(BoardSimProcess, LogsEveryLineCountsMismatchesAndSendsWhatItIsTold) {
    Process sim({"--no-temperature-reports"});
    Port port(sim.motionPath());
    ASSERT_TRUE(port.write("N1 M105*38\n"));
    EXPECT_EQ("OK", port.readLineWith("OK"));
    ASSERT_TRUE(port.write("N2 G1 X1*85\n"));  // wrong checksum: "N2 G1 X1" sums to 99
    ASSERT_TRUE(port.write("N4 G28*17\n"));    // skips 3 (checksum correct)
    ASSERT_TRUE(sim.waitForReceived(3));
    EXPECT_EQ(2u, sim.mismatches());
    EXPECT_EQ(std::vector<std::string>({"N1 M105*38", "N2 G1 X1*85", "N4 G28*17"}), sim.received());
    EXPECT_EQ("ok", sim.control("correction 7"));
    EXPECT_EQ("OK:7", port.readLineWith("OK:"));
}

}  // namespace
}  // namespace BoardSim
