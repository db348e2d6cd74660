// Helpers for tests of asynchronous components: an I/O pool like the daemon's, waiting
// for a condition with a deadline, a thread-safe collector of reported events, and a
// capture of standard output. Header-only.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <boost/asio/io_service.hpp>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace testsupport {

// Runs `io` on `threadCount` threads until stop(); declare it before what uses it.
class IoPool {
public:
    explicit IoPool(unsigned threadCount = 3) : work(new boost::asio::io_service::work(io)) {
        for (unsigned i = 0; i < threadCount; ++i) threads.emplace_back([this]() { io.run(); });
    }
    ~IoPool() { stop(); }
    IoPool(const IoPool&) = delete;
    IoPool& operator=(const IoPool&) = delete;
    void stop() {
        work.reset();
        io.stop();
        for (auto& thread : threads)
            if (thread.joinable()) thread.join();
    }
    boost::asio::io_service io;

private:
    std::unique_ptr<boost::asio::io_service::work> work;
    std::vector<std::thread> threads;
};

// How many times `wanted` occurs in `text` (a captured log, say), overlapping ones included.
inline std::size_t occurrences(const std::string& text, const std::string& wanted) {
    std::size_t n = 0;
    for (auto at = text.find(wanted); at != std::string::npos; at = text.find(wanted, at + 1)) ++n;
    return n;
}

// Polls `condition` until it holds or `deadline` passes; returns its last value.
inline bool waitUntil(const std::function<bool()>& condition,
                      std::chrono::milliseconds deadline = std::chrono::milliseconds(5000)) {
    const auto end = std::chrono::steady_clock::now() + deadline;
    for (; !condition(); std::this_thread::sleep_for(std::chrono::milliseconds(2)))
        if (std::chrono::steady_clock::now() >= end) return condition();
    return true;
}

template <typename T>
class Collector {
public:
    // Notifies under the lock: a waiter that returns may destroy the collector at once.
    void add(T value) {
        std::lock_guard<std::mutex> lock(mutex);
        values.push_back(std::move(value));
        changed.notify_all();
    }
    std::function<void(T)> adder() {
        return [this](T value) { add(std::move(value)); };
    }
    // Waits until at least `count` values arrived; false on time-out.
    bool waitFor(std::size_t count, std::chrono::milliseconds deadline = std::chrono::milliseconds(5000)) {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, deadline, [&]() { return values.size() >= count; });
    }
    std::vector<T> snapshot() const {
        std::lock_guard<std::mutex> lock(mutex);
        return values;
    }
    void clear() {
        std::lock_guard<std::mutex> lock(mutex);
        values.clear();
    }
    std::size_t size() const { return snapshot().size(); }

private:
    mutable std::mutex mutex;  // guards values: reporting threads against the test thread
    std::condition_variable changed;
    std::vector<T> values;
};

// Captures this process's standard output (every thread's log lines) while it lives.
class CapturedStdout {
public:
    CapturedStdout() : saved(::dup(1)), file(::memfd_create("captured-stdout", MFD_CLOEXEC)) {
        std::fflush(stdout);
        ::dup2(file, 1);
    }
    ~CapturedStdout() {
        std::fflush(stdout);
        ::dup2(saved, 1);
        ::close(saved);
        ::close(file);
    }
    CapturedStdout(const CapturedStdout&) = delete;
    CapturedStdout& operator=(const CapturedStdout&) = delete;

    std::string text() {
        std::fflush(stdout);
        std::string all;
        char buffer[4096];
        for (ssize_t n; (n = ::pread(file, buffer, sizeof buffer, static_cast<off_t>(all.size()))) > 0;)
            all.append(buffer, static_cast<std::size_t>(n));
        return all;
    }
    bool waitFor(const std::string& wanted,
                 std::chrono::milliseconds deadline = std::chrono::milliseconds(5000)) {
        return waitUntil([&]() { return text().find(wanted) != std::string::npos; }, deadline);
    }

private:
    int saved = -1;
    int file = -1;
};

}  // namespace testsupport
