#include "Vant/Messaging/SimpleContainer.h"

#include <gtest/gtest.h>

#include <malloc.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <boost/asio/error.hpp>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>

#include "support/AsyncTest.h"
#include "support/ChildProcess.h"
#include "support/RawPeer.h"

using boost::system::error_code;
using std::chrono::milliseconds;
using testsupport::RawPeer;
using testsupport::waitUntil;
using Vant::Messaging::SimpleContainer;
using Vant::Messaging::SimpleSocket;

// Provided by the sanitizer runtimes; absent (null) in a plain build.
extern "C" std::size_t __sanitizer_get_current_allocated_bytes() __attribute__((weak));

namespace {

// Bytes currently allocated on the heap.
long heapBytes() {
    if (__sanitizer_get_current_allocated_bytes != nullptr)
        return long(__sanitizer_get_current_allocated_bytes());
    const struct mallinfo2 info = mallinfo2();
    return long(info.uordblks + info.hblkhd);
}

class SimpleContainerTest : public ::testing::Test {
protected:
    // Accepted sockets are started with callbacks that ignore everything.
    static void startSilently(SimpleContainer& server) {
        server.startServer(
            0, [](std::shared_ptr<SimpleSocket> socket) { socket->start(nullptr, nullptr, nullptr); });
    }

    testsupport::IoPool pool{2};
};

}  // namespace

TEST_F(SimpleContainerTest, ForgetsClosedSocketsAndOnStopRefusesNewConnectionsKeepingOpenOnes) {
    SimpleContainer server(pool.io);
    startSilently(server);
    const unsigned short port = server.localPort();
    RawPeer kept(port);
    {
        RawPeer closed(port);
        ASSERT_TRUE(waitUntil([&]() { return server.openSockets().size() == 2; }));
        EXPECT_EQ(server.openSockets()[0]->getAddress(), boost::asio::ip::address_v4::loopback());
    }
    ASSERT_TRUE(waitUntil([&]() { return server.openSockets().size() == 1; }));
    server.stop();
    EXPECT_TRUE(waitUntil([&]() {
        try {
            RawPeer refused(port);
            return false;
        } catch (const std::runtime_error&) {
            return true;
        }
    }));
    EXPECT_TRUE(kept.quietFor(milliseconds(100)));
    EXPECT_FALSE(server.openSockets().at(0)->isClosing());
}

// A closed connection must not stay in memory: a client reconnecting every few
// seconds for months, or anyone opening connections in a loop, would grow the daemon.
TEST_F(SimpleContainerTest, MemoryDoesNotGrowWithConnectionsOpenedAndClosed) {
    SimpleContainer server(pool.io);
    startSilently(server);
    auto cycle = [&](unsigned connections) {
        testsupport::CapturedStdout quiet;  // thousands of connections log thousands of lines
        for (unsigned done = 0; done < connections; done += 100) {
            std::vector<std::unique_ptr<RawPeer>> peers;
            for (unsigned i = 0; i < 100; ++i) {
                peers.emplace_back(new RawPeer(server.localPort()));
                peers.back()->writeFrame(kel::bytes("hello"));
            }
            if (!waitUntil([&]() { return server.openSockets().size() == 100; }, milliseconds(20000)))
                return false;
            for (auto& peer : peers) peer->resetOnClose();
            peers.clear();
            if (!waitUntil([&]() { return server.openSockets().empty(); }, milliseconds(20000))) return false;
        }
        return true;
    };
    ASSERT_TRUE(cycle(1000));  // warms up allocator caches and the reactor's descriptor pool
    const long before = heapBytes();
    ASSERT_TRUE(cycle(10000));
    // Kept sockets would cost some 16 MB of heap here.
    EXPECT_LT(heapBytes() - before, 1024 * 1024) << "bytes of heap grown over 10,000 connections";
}

// A peer that announces the largest payload and sends nothing must cost little: the
// buffer grows with what arrives.
TEST_F(SimpleContainerTest, AnnouncedButUnsentPayloadsHoldLittleMemory) {
    SimpleContainer server(pool.io);
    startSilently(server);
    const long before = heapBytes();
    std::vector<std::unique_ptr<RawPeer>> peers;
    {
        testsupport::CapturedStdout quiet;
        for (int i = 0; i < 500; ++i) {
            peers.emplace_back(new RawPeer(server.localPort()));
            ASSERT_TRUE(peers.back()->write(kel::bytes::fromUint(1000000)));
        }
        ASSERT_TRUE(waitUntil([&]() { return server.openSockets().size() == 500; }, milliseconds(20000)));
    }
    // The headers are read within moments of the accepts; buffers of the announced
    // size would take 500 MB.
    EXPECT_FALSE(waitUntil([&]() { return heapBytes() - before > 100L * 1024 * 1024; }, milliseconds(1000)));
    for (auto& peer : peers) peer->resetOnClose();
    peers.clear();
    EXPECT_TRUE(waitUntil([&]() { return server.openSockets().empty(); }, milliseconds(20000)));
}

// Run by AcceptsAgainOnceDescriptorsAreFree as its child process, so that the limit
// reaches no other test: an echo server under a descriptor limit that leaves room for
// three accepted connections, until SIGTERM.
TEST(SimpleContainerLimits, DISABLED_EchoServerUnderADescriptorLimit) {
    sigset_t term;
    sigemptyset(&term);
    sigaddset(&term, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &term, nullptr);  // before the pool: its threads inherit the mask
    testsupport::IoPool pool(2);
    SimpleContainer server(pool.io, SimpleSocket::Timings(), milliseconds(20));
    server.startServer(0, [](std::shared_ptr<SimpleSocket> socket) {
        std::weak_ptr<SimpleSocket> weak = socket;
        socket->start(
            nullptr,
            [weak](kel::bytes message) {
                if (auto self = weak.lock()) self->send(message);
            },
            nullptr);
    });
    // The undefined-behaviour checker verifies the dynamic type of each kind of object
    // it sees in a virtual call once, and needs descriptors of its own to do so: one
    // whole connection, and each error category, while descriptors are free.
    {
        RawPeer warmUp(server.localPort());
        kel::bytes echo;
        ASSERT_TRUE(warmUp.writeFrame(kel::bytes("warm")) && warmUp.readFrame(echo));
    }
    ASSERT_TRUE(waitUntil([&]() { return server.openSockets().empty(); }));
    for (const error_code& error :
         {error_code(EMFILE, boost::system::system_category()),
          error_code(EPIPE, boost::system::generic_category()), error_code(boost::asio::error::eof),
          error_code(boost::asio::error::operation_aborted),
          Vant::Messaging::makeSimpleError(Vant::Messaging::SimpleSuccess)}) {
        ASSERT_FALSE(error.message().empty() && error);
    }
    // Descriptors inherited or freed leave holes below the highest in use: filled, the
    // limit leaves exactly three free.
    int highest = 0, first = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        highest = std::max(highest, std::stoi(entry.path().filename().string()));
    }
    while ((first = ::dup(0)) < highest) {
    }
    ::close(first);
    rlimit original{};
    ::getrlimit(RLIMIT_NOFILE, &original);
    rlimit limit = original;
    limit.rlim_cur = static_cast<rlim_t>(first + 3);
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &limit), 0);
    std::printf("serving on port %u under the limit\n", unsigned(server.localPort()));
    std::fflush(stdout);
    int received = 0;
    sigwait(&term, &received);
    ::setrlimit(RLIMIT_NOFILE, &original);  // ending the threads is checked too: give the checker room
}

// A burst of connections that uses up the process's descriptors is a passing state:
// once descriptors are free again the printer accepts again.
TEST(SimpleContainerLimits, AcceptsAgainOnceDescriptorsAreFree) {
    testsupport::ChildProcess child(
        {testsupport::builtProgram("messaging_tests"), "--gtest_also_run_disabled_tests",
         "--gtest_filter=SimpleContainerLimits.DISABLED_EchoServerUnderADescriptorLimit"});
    ASSERT_TRUE(child.waitForOutput(" under the limit\n", milliseconds(20000))) << child.out() << child.err();
    unsigned port = 0;
    ASSERT_EQ(
        std::sscanf(child.out().c_str() + child.out().find("serving on port "), "serving on port %u", &port),
        1);

    // Three connections fill the child's descriptors; the next one waits in the backlog.
    std::vector<std::unique_ptr<RawPeer>> first;
    kel::bytes echo;
    for (int i = 0; i < 3; ++i) {
        first.emplace_back(new RawPeer(static_cast<unsigned short>(port)));
        ASSERT_TRUE(first.back()->writeFrame(kel::bytes("first")) && first.back()->readFrame(echo));
    }
    RawPeer waiting(static_cast<unsigned short>(port));
    ASSERT_TRUE(waiting.writeFrame(kel::bytes("waiting")));
    EXPECT_TRUE(child.waitForOutput("Error listening for connection : Too many open files\nEnding server.\n",
                                    milliseconds(10000)));

    // Closing the first connections frees descriptors: the waiting one is served and
    // new ones are accepted.
    first.clear();
    ASSERT_TRUE(waiting.readFrame(echo, milliseconds(10000)));
    EXPECT_EQ(echo, kel::bytes("waiting"));
    RawPeer later(static_cast<unsigned short>(port));
    ASSERT_TRUE(later.writeFrame(kel::bytes("later")) && later.readFrame(echo, milliseconds(10000)));
    EXPECT_EQ(echo, kel::bytes("later"));
    child.signal(SIGTERM);
    EXPECT_EQ(child.wait(milliseconds(10000)), 0) << child.out() << child.err();
}
