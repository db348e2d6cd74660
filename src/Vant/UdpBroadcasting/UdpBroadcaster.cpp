#include "Vant/UdpBroadcasting/UdpBroadcaster.h"
#include "Vant/Log.h"

#include <iostream>

#include <boost/asio/io_service.hpp>
#include <boost/asio/ip/udp.hpp>

namespace Vant {
namespace UdpBroadcasting {

UdpBroadcaster::UdpBroadcaster(int port, kel::bytes broadcasted, std::vector<std::string> destinations)
    : port(port), destinations(std::move(destinations)), broadcasted(broadcasted) {}

UdpBroadcaster::~UdpBroadcaster() {
    stop();
}

void UdpBroadcaster::setBroadcasted(const kel::bytes& payload) {
    std::lock_guard<std::mutex> lock(mutex);
    broadcasted = payload;
}

void UdpBroadcaster::setSendingInterval(unsigned ms) {
    {
        std::lock_guard<std::mutex> lock(mutex);
        sendingInterval = std::chrono::milliseconds(ms);
    }
    wake.notify_all();
}

void UdpBroadcaster::start() {
    std::lock_guard<std::mutex> lifecycle(lifecycleMutex);
    if (thread) return;
    {
        // Cleared before the thread exists, so that it cannot see a stop left from before.
        std::lock_guard<std::mutex> lock(mutex);
        stopped = false;
    }
    thread.reset(new std::thread([this]() { run(); }));
}

bool UdpBroadcaster::started() const {
    std::lock_guard<std::mutex> lifecycle(lifecycleMutex);
    return thread != nullptr;
}

void UdpBroadcaster::stop() {
    std::lock_guard<std::mutex> lifecycle(lifecycleMutex);
    {
        std::lock_guard<std::mutex> lock(mutex);
        stopped = true;
    }
    wake.notify_all();
    if (!thread) return;
    thread->join();
    thread.reset();
}

void UdpBroadcaster::run() {
    boost::asio::io_service service;
    boost::asio::ip::udp::socket socket(service);
    std::vector<boost::asio::ip::udp::endpoint> targets;
    for (const std::string& destination : destinations) {
        boost::system::error_code error;
        const auto address = boost::asio::ip::make_address_v4(destination, error);
        if (error) {
            logLine("UdpBroadcaster::run() ignoring destination " + destination + " : " + error.message());
            continue;
        }
        targets.emplace_back(address, static_cast<unsigned short>(port));
    }

    // Measured on the monotonic clock: the board sets its wall clock after start-up,
    // and a step backwards must not silence the printer.
    std::unique_lock<std::mutex> lock(mutex);
    while (!stopped) {
        const kel::bytes payload = broadcasted;
        lock.unlock();
        boost::system::error_code error;
        if (!socket.is_open()) {
            socket.open(boost::asio::ip::udp::v4(), error);
            if (!error) socket.set_option(boost::asio::socket_base::broadcast(true), error);
            if (!error) socket.set_option(boost::asio::socket_base::reuse_address(true), error);
            if (error) {
                logLine("UdpBroadcaster::run() cannot open the socket : " + error.message());
                boost::system::error_code ignoredCloseError;  // tried again at the next pass
                socket.close(ignoredCloseError);
            }
        }
        if (socket.is_open()) {
            for (const auto& target : targets) {
                boost::system::error_code ignoredSendError;  // the other destinations are still tried
                socket.send_to(boost::asio::buffer(payload.begin(), payload.length()), target, 0,
                               ignoredSendError);
            }
        }
        const auto sent = std::chrono::steady_clock::now();
        lock.lock();
        // A new interval applies to the wait under way.
        while (!stopped && std::chrono::steady_clock::now() < sent + sendingInterval) {
            wake.wait_until(lock, sent + sendingInterval);
        }
    }
}

}  // namespace UdpBroadcasting
}  // namespace Vant
