// Collects the progress reports of one pipeline job (download, slicing, layering),
// which arrive on I/O threads, and lets the test wait for the final one.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include <future>

#include "Vant/Driver/Driver.h"

class ProgressLog {
public:
    // The callback to hand to the job; it answers `keepGoing` for reports below 1.0.
    // It shares the record, so a report that comes late finds it alive.
    std::function<bool(double)> callback(std::function<bool(double)> keepGoing = [](double) { return true; }) {
        std::shared_ptr<State> shared = state;
        return [shared, keepGoing](double p) {
            {
                std::lock_guard<std::mutex> lock(shared->mutex);
                shared->reports.push_back(p);
                shared->changed.notify_all();
            }
            return p < 0 || p >= 1.0 ? true : keepGoing(p);
        };
    }

    // Waits for a final report (negative, or 1.0 and above); false at the deadline.
    bool waitForEnd(std::chrono::milliseconds deadline = std::chrono::seconds(60)) {
        std::unique_lock<std::mutex> lock(state->mutex);
        return state->changed.wait_for(lock, deadline, [this] {
            for (double p : state->reports) {
                if (p < 0 || p >= 1.0) return true;
            }
            return false;
        });
    }

    std::vector<double> all() {
        std::lock_guard<std::mutex> lock(state->mutex);
        return state->reports;
    }

private:
    struct State {
        std::mutex mutex;  // guards reports; the job's I/O thread adds, the test reads
        std::condition_variable changed;
        std::vector<double> reports;
    };
    std::shared_ptr<State> state = std::make_shared<State>();
};

// Runs an I/O service on two threads (as the daemon runs its pool) for one test.
#include <boost/asio/io_service.hpp>
#include <memory>
#include <thread>

class IoPool {
public:
    IoPool() : work(new boost::asio::io_service::work(io)) {
        for (int i = 0; i < 2; ++i) threads.emplace_back([this] { io.run(); });
    }
    ~IoPool() { stop(); }
    // Ends the threads; objects bound to `io` may be destroyed after this.
    void stop() {
        work.reset();
        io.stop();
        for (auto& t : threads) t.join();
        threads.clear();
    }
    boost::asio::io_service io;

private:
    std::unique_ptr<boost::asio::io_service::work> work;
    std::vector<std::thread> threads;
};

// Runs the driver's handshake with the board and starts its receive loop; false when
// the handshake failed or took more than 10 s.
inline bool shakeHands(Vant::Driver::Driver& driver) {
    auto handshake = std::make_shared<std::promise<boost::system::error_code>>();
    driver.initialize([handshake](boost::system::error_code error) { handshake->set_value(error); });
    auto done = handshake->get_future();
    if (done.wait_for(std::chrono::seconds(10)) != std::future_status::ready || done.get()) return false;
    driver.handleInputs();
    return true;
}
