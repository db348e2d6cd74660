#include "Vant/Messaging/SimpleContainer.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <malloc.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include <boost/asio/error.hpp>

#include "support/RawPeer.h"
#include "support/AsyncTest.h"

using boost::system::error_code;
using std::chrono::milliseconds;
using testsupport::Collector;
using testsupport::RawPeer;
using Vant::Messaging::SimpleContainer;
using Vant::Messaging::SimpleSocket;

// Provided by the sanitizer runtimes; absent (null) in a plain build.
extern "C" void __sanitizer_purge_allocator() __attribute__((weak));
extern "C" std::size_t __sanitizer_get_current_allocated_bytes() __attribute__((weak));

namespace {

// Resident size of this process in kB, from /proc/self/status, after handing freed
// memory back (a sanitizer's quarantine would otherwise look like growth).
long residentKb() {
    if (__sanitizer_purge_allocator != nullptr) __sanitizer_purge_allocator();
    malloc_trim(0);
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.compare(0, 6, "VmRSS:") == 0) return std::stol(line.substr(6));
    }
    return -1;
}

// Bytes currently allocated on the heap.
std::size_t heapBytes() {
    if (__sanitizer_get_current_allocated_bytes != nullptr) return __sanitizer_get_current_allocated_bytes();
    const struct mallinfo2 info = mallinfo2();
    return info.uordblks + info.hblkhd;
}

// Sends this process's standard output to /dev/null while it lives: thousands of
// connections write thousands of log lines.
class QuietStdout {
public:
    QuietStdout() {
        std::fflush(stdout);
        saved = ::dup(1);
        const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
        ::dup2(null, 1);
        ::close(null);
    }
    ~QuietStdout() {
        std::fflush(stdout);
        ::dup2(saved, 1);
        ::close(saved);
    }

private:
    int saved;
};

class SimpleContainerTest : public ::testing::Test {
protected:
    // Accepted sockets are started with callbacks that ignore everything.
    static void startSilently(SimpleContainer& server) {
        server.startServer(0, [](std::shared_ptr<SimpleSocket> socket) {
            socket->start(
                nullptr, [](kel::bytes) {}, [](error_code) {});
        });
    }

    void TearDown() override { pool.stop(); }

    testsupport::IoPool pool{2};
};

}  // namespace

TEST_F(SimpleContainerTest, LogsEveryPassOfTheAcceptLoop) {
    SimpleContainer server(pool.io);
    Collector<std::shared_ptr<SimpleSocket>> accepted;
    const std::string expected =
        "SimpleContainer::acceptConnections() waiting for next connection\xE2\x80\xA6\n"
        "SimpleContainer::acceptConnections() connection received\n"
        "SimpleContainer::acceptConnections() waiting for next connection\xE2\x80\xA6\n";
    bool logged;
    std::string log;
    {
        testsupport::CapturedStdout captured;
        server.startServer(0, [&](std::shared_ptr<SimpleSocket> socket) {
            accepted.add(socket);
            socket->start(nullptr, nullptr, nullptr);
        });
        RawPeer peer(server.localPort());
        logged = captured.waitFor(expected);
        log = captured.text();
    }
    EXPECT_TRUE(logged) << log;
    ASSERT_TRUE(accepted.waitFor(1));
    EXPECT_EQ(accepted.snapshot()[0]->getAddress(), boost::asio::ip::address_v4::loopback());
    pool.stop();
}

TEST_F(SimpleContainerTest, StoppingEndsTheLoopAndRefusesNewConnections) {
    SimpleContainer server(pool.io);
    Collector<std::shared_ptr<SimpleSocket>> accepted;
    server.startServer(0, [&](std::shared_ptr<SimpleSocket> socket) {
        accepted.add(socket);
        socket->start(nullptr, nullptr, nullptr);
    });
    const unsigned short port = server.localPort();
    RawPeer kept(port);
    ASSERT_TRUE(accepted.waitFor(1));

    bool ended;
    std::string log;
    {
        testsupport::CapturedStdout captured;
        server.stop();
        ended = captured.waitFor("Ending server.");
        log = captured.text();
    }
    EXPECT_TRUE(ended) << log;
    EXPECT_NE(log.find("Error listening for connection : "), std::string::npos) << log;
    EXPECT_THROW(RawPeer refused(port), std::runtime_error);
    // The open connection is not the acceptor's: it stays up.
    EXPECT_TRUE(kept.quietFor(milliseconds(100)));
    EXPECT_FALSE(accepted.snapshot()[0]->isClosing());
    pool.stop();
}

TEST_F(SimpleContainerTest, ForgetsSocketsOnceTheyClose) {
    SimpleContainer server(pool.io);
    Collector<error_code> disconnections;
    server.startServer(0, [&](std::shared_ptr<SimpleSocket> socket) {
        socket->start(nullptr, nullptr, disconnections.adder());
    });
    {
        RawPeer first(server.localPort());
        RawPeer second(server.localPort());
        EXPECT_TRUE(testsupport::waitUntil([&]() { return server.openSockets().size() == 2; }));
    }
    ASSERT_TRUE(disconnections.waitFor(2));
    EXPECT_TRUE(testsupport::waitUntil([&]() { return server.openSockets().empty(); }));
    pool.stop();
}

// A closed connection must not stay in memory: a client reconnecting every few
// seconds for months, or anyone opening connections in a loop, would grow the daemon.
TEST_F(SimpleContainerTest, MemoryDoesNotGrowWithConnectionsOpenedAndClosed) {
    SimpleContainer server(pool.io);
    startSilently(server);
    const unsigned short port = server.localPort();
    auto cycle = [&](unsigned connections) {
        QuietStdout quiet;
        const unsigned batch = 100;
        for (unsigned done = 0; done < connections; done += batch) {
            std::vector<std::unique_ptr<RawPeer>> peers;
            for (unsigned i = 0; i < batch; ++i) {
                peers.emplace_back(new RawPeer(port));
                peers.back()->writeFrame(kel::bytes("hello"));
            }
            if (!testsupport::waitUntil([&]() { return server.openSockets().size() == batch; },
                                        milliseconds(20000)))
                return false;
            for (auto& peer : peers) peer->resetOnClose();
            peers.clear();
            if (!testsupport::waitUntil([&]() { return server.openSockets().empty(); }, milliseconds(20000)))
                return false;
        }
        return true;
    };
    ASSERT_TRUE(cycle(1000));  // warms up allocator caches and the reactor's descriptor pool
    const long before = residentKb();
    const std::size_t heapBefore = heapBytes();
    ASSERT_TRUE(cycle(10000));
    const long after = residentKb();
    const std::size_t heapAfter = heapBytes();
    std::cout << "resident size: " << before << " kB before, " << after
              << " kB after 10,000 connections; heap " << heapBefore / 1024 << " kB before, "
              << heapAfter / 1024 << " kB after\n";
    // Kept sockets would cost some 16 MB of heap and 30 MB of resident size here; a
    // sanitizer's allocator alone moves the resident size by up to about 10 MB.
    EXPECT_LT(after - before, 16 * 1024) << "kB of resident size grown over 10,000 connections";
    EXPECT_LT(static_cast<long>(heapAfter) - static_cast<long>(heapBefore), 1024 * 1024)
        << "bytes of heap grown over 10,000 connections";
    pool.stop();
}

// A peer that announces the largest payload and sends nothing must cost little: the
// buffer grows with what arrives.
TEST_F(SimpleContainerTest, AnnouncedButUnsentPayloadsHoldLittleMemory) {
    SimpleContainer server(pool.io);
    startSilently(server);
    const long residentBefore = residentKb();
    const std::size_t heapBefore = heapBytes();
    std::vector<std::unique_ptr<RawPeer>> peers;
    {
        QuietStdout quiet;
        for (int i = 0; i < 500; ++i) {
            peers.emplace_back(new RawPeer(server.localPort()));
            ASSERT_TRUE(peers.back()->write(kel::bytes::fromUint(1000000)));
        }
        ASSERT_TRUE(testsupport::waitUntil([&]() { return server.openSockets().size() == 500; },
                                           milliseconds(20000)));
    }
    // The headers are read within moments of the accepts; the largest size seen over
    // a short while is what the peers cost.
    long resident = 0;
    std::size_t heap = 0;
    const auto end = std::chrono::steady_clock::now() + milliseconds(1000);
    while (std::chrono::steady_clock::now() < end) {
        resident = std::max(resident, residentKb());
        heap = std::max(heap, heapBytes());
        std::this_thread::sleep_for(milliseconds(50));
    }
    std::cout << "500 connections announcing 1,000,000 bytes: resident +" << (resident - residentBefore)
              << " kB, heap +" << (heap - heapBefore) / 1024 << " kB\n";
    EXPECT_LT(resident - residentBefore, 100 * 1024);
    EXPECT_LT(heap - heapBefore, std::size_t(100) * 1024 * 1024);
    for (auto& peer : peers) peer->resetOnClose();
    peers.clear();
    EXPECT_TRUE(testsupport::waitUntil([&]() { return server.openSockets().empty(); }, milliseconds(20000)));
    pool.stop();
}

namespace {

// Child side of the descriptor test: a container under a descriptor limit that leaves
// room for `spare` accepted connections; it echoes every message back. Writes its port
// to `portFd`, serves until `stopFd` closes, then leaves without returning to the test.
[[noreturn]] void serveUnderDescriptorLimit(int portFd, int stopFd, int spare) {
    int status = 1;
    {
        testsupport::IoPool pool(2);
        SimpleContainer server(pool.io, SimpleSocket::Timings(), milliseconds(20));
        std::mutex acceptedMutex;  // guards lastAccepted: accept completions against this thread
        std::weak_ptr<SimpleSocket> lastAccepted;
        server.startServer(0, [&](std::shared_ptr<SimpleSocket> socket) {
            std::weak_ptr<SimpleSocket> weak = socket;
            socket->start(
                nullptr,
                [weak](kel::bytes message) {
                    if (auto self = weak.lock()) self->send(message);
                },
                nullptr);
            std::lock_guard<std::mutex> lock(acceptedMutex);
            lastAccepted = socket;
        });
        // The undefined-behaviour checker verifies the dynamic type of each kind of
        // object it sees in a virtual call once, and needs descriptors of its own to do
        // so: one whole connection, and each error category, while descriptors are free.
        {
            RawPeer warmUp(server.localPort());
            kel::bytes echo;
            if (!warmUp.writeFrame(kel::bytes("warm")) || !warmUp.readFrame(echo)) ::_exit(2);
        }
        const bool freed = testsupport::waitUntil([&]() {
            std::lock_guard<std::mutex> lock(acceptedMutex);
            return lastAccepted.expired();
        });
        if (!freed) ::_exit(3);
        for (const error_code& error :
             {error_code(EMFILE, boost::system::system_category()),
              error_code(EPIPE, boost::system::generic_category()), error_code(boost::asio::error::eof),
              error_code(boost::asio::error::operation_aborted),
              Vant::Messaging::makeSimpleError(Vant::Messaging::SimpleSuccess)}) {
            if (error.message().empty() && error) ::_exit(4);
        }
        // The lowest free descriptor number, then a limit just above it.
        const int probe = ::dup(0);
        ::close(probe);
        rlimit original{};
        ::getrlimit(RLIMIT_NOFILE, &original);
        rlimit limit = original;
        limit.rlim_cur = static_cast<rlim_t>(probe + spare);
        if (::setrlimit(RLIMIT_NOFILE, &limit) == 0) {
            const unsigned short port = server.localPort();
            if (::write(portFd, &port, sizeof port) == static_cast<ssize_t>(sizeof port)) {
                char ignored;
                while (::read(stopFd, &ignored, 1) > 0) {
                }
                status = 0;
            }
            // Ending the threads is checked like any virtual call: give the checker room.
            ::setrlimit(RLIMIT_NOFILE, &original);
        }
        pool.stop();
    }
    std::fflush(stdout);
    ::_exit(status);
}

}  // namespace

// A burst of connections that uses up the process's descriptors is a passing state:
// once descriptors are free again the printer accepts again.
TEST(SimpleContainerLimits, AcceptsAgainOnceDescriptorsAreFree) {
    int portPipe[2], stopPipe[2], logPipe[2];
    ASSERT_EQ(::pipe2(portPipe, O_CLOEXEC), 0);
    ASSERT_EQ(::pipe2(stopPipe, O_CLOEXEC), 0);
    ASSERT_EQ(::pipe2(logPipe, O_CLOEXEC), 0);
    std::fflush(stdout);
    // The limit is set in a child process so that it cannot reach other tests.
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::dup2(logPipe[1], 1);
        ::close(portPipe[0]);
        ::close(stopPipe[1]);
        serveUnderDescriptorLimit(portPipe[1], stopPipe[0], 3);
    }
    ::close(portPipe[1]);
    ::close(stopPipe[0]);
    ::close(logPipe[1]);
    // The child's standard output, read all along so that its log never blocks it.
    std::mutex logMutex;  // guards logText: the reader thread against the test thread
    std::string logText;
    // Ends the child (by its id) and the log reader whatever way the test leaves.
    struct ChildGuard {
        pid_t pid;
        int stopFd;
        int logFd;
        std::thread reader;
        ~ChildGuard() {
            if (stopFd >= 0) ::close(stopFd);
            int status = 0;
            if (::waitpid(pid, &status, WNOHANG) == 0) {
                ::kill(pid, SIGKILL);
                ::waitpid(pid, &status, 0);
            }
            if (reader.joinable()) reader.join();  // ends once the child's output closes
            ::close(logFd);
        }
    } guard{child, stopPipe[1], logPipe[0], std::thread()};

    unsigned short port = 0;
    ASSERT_EQ(::read(portPipe[0], &port, sizeof port), static_cast<ssize_t>(sizeof port));
    ::close(portPipe[0]);

    // The child's standard output, read all along so that its log never blocks it.
    guard.reader = std::thread([&]() {
        char buffer[4096];
        ssize_t n;
        while ((n = ::read(logPipe[0], buffer, sizeof buffer)) > 0) {
            std::lock_guard<std::mutex> lock(logMutex);
            logText.append(buffer, static_cast<std::size_t>(n));
        }
    });

    // Three connections fill the child's descriptors; the next ones wait in the backlog.
    std::vector<std::unique_ptr<RawPeer>> first;
    for (int i = 0; i < 3; ++i) {
        first.emplace_back(new RawPeer(port));
        ASSERT_TRUE(first.back()->writeFrame(kel::bytes("first")));
        kel::bytes echo;
        ASSERT_TRUE(first.back()->readFrame(echo));
    }
    RawPeer waiting(port);
    ASSERT_TRUE(waiting.writeFrame(kel::bytes("waiting")));
    const std::string failure = "Error listening for connection : Too many open files\nEnding server.\n";
    EXPECT_TRUE(testsupport::waitUntil([&]() {
        std::lock_guard<std::mutex> lock(logMutex);
        return logText.find(failure) != std::string::npos;
    }));
    kel::bytes echo;
    EXPECT_FALSE(waiting.readFrame(echo, milliseconds(200)));

    // Closing the first connections frees descriptors: the waiting one is served and
    // new ones are accepted.
    first.clear();
    ASSERT_TRUE(waiting.readFrame(echo, milliseconds(10000)));
    EXPECT_EQ(echo, kel::bytes("waiting"));
    RawPeer later(port);
    ASSERT_TRUE(later.writeFrame(kel::bytes("later")));
    ASSERT_TRUE(later.readFrame(echo, milliseconds(10000)));
    EXPECT_EQ(echo, kel::bytes("later"));

    ::close(guard.stopFd);
    guard.stopFd = -1;
    int status = -1;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}
