// Vant::UdpBroadcasting::UdpBroadcaster: sends the printer's announcement datagram to
// each broadcast destination, at start and then every sending interval, from a
// thread of its own with a private socket. The owner calls the setters, start and
// stop from any thread.
//
// Actors and order:
//
// clang-format off
//   start ──▶ thread: open socket ──▶ send to every destination ──▶ wait (interval, or stop) ──┐
//                                         ▲                                                      │
//                                         └──────────────────────────────────────────────────────┘
//   stop ──▶ wake the thread ──▶ it returns ──▶ join
// clang-format on
#pragma once

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Vant/Platform.h"
#include "Vant/Variables.h"
#include "kel/bytes.h"

namespace Vant {
namespace UdpBroadcasting {

class UdpBroadcaster {
public:
    // Sends `broadcasted` to `port` of each destination address, in order; by default
    // the platform's broadcast addresses.
    UdpBroadcaster(int port, kel::bytes broadcasted,
                   std::vector<std::string> destinations = Vant::Platform::broadcastAddresses());
    UdpBroadcaster(const UdpBroadcaster&) = delete;
    UdpBroadcaster& operator=(const UdpBroadcaster&) = delete;
    virtual ~UdpBroadcaster();

    void setBroadcasted(const kel::bytes& payload);
    void setSendingInterval(unsigned ms);
    // Starts the sending thread; the first datagrams leave at once. No effect when started.
    void start();
    bool started() const;
    // Ends the thread promptly and joins it; harmless when not started.
    void stop();

private:
    void run();

    const int port;
    const std::vector<std::string> destinations;

    // Guards broadcasted, sendingInterval and stopped, and is the condition's mutex:
    // the owner's setters and stop contend with the sending thread.
    mutable std::mutex mutex;
    std::condition_variable wake;  // signalled by stop and setSendingInterval
    kel::bytes broadcasted;
    std::chrono::milliseconds sendingInterval{UdpBroacastInterval};
    bool stopped = false;

    // Guards thread: start, stop and started from the owner's threads.
    mutable std::mutex lifecycleMutex;
    std::unique_ptr<std::thread> thread;
};

}  // namespace UdpBroadcasting
}  // namespace Vant
