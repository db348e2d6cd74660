// Vant::UdpBroadcasting::UdpListener: receives announcement datagrams on a UDP port
// and fires pushBroadcast(sender, payload) for each, on a private I/O service run by
// a thread of its own (the subscribers run on that thread). Subscribe before start();
// start and stop are called from the owner's thread.
#pragma once

#include <memory>
#include <mutex>
#include <thread>

#include <boost/asio/io_service.hpp>
#include <boost/asio/ip/address.hpp>
#include <boost/asio/ip/udp.hpp>

#include "kel/bytes.h"
#include "kel/signal.h"

namespace Vant {
namespace UdpBroadcasting {

class UdpListener {
public:
    static constexpr unsigned BufferSize = 6500;  // bytes of a datagram that are read

    // Binds all IPv4 addresses on `port` (0: any free port) with address reuse.
    // Throws boost::system::system_error when the port cannot be bound.
    explicit UdpListener(int port);
    UdpListener(const UdpListener&) = delete;
    UdpListener& operator=(const UdpListener&) = delete;
    virtual ~UdpListener();

    void start();
    bool started() const;
    // Stops the thread; start() may run the listener again.
    void stop();
    unsigned short localPort() const { return port; }

    kel::signal::pusher<boost::asio::ip::address, kel::bytes> pushBroadcast;

private:
    void receive();
    void received(boost::system::error_code error, std::size_t n);
    void bind();

    unsigned short port;
    boost::asio::io_service service;
    boost::asio::ip::udp::socket socket;  // the service's thread, or the owner's while it is stopped
    kel::bytes buffer;
    boost::asio::ip::udp::endpoint sender;
    bool receiving = false;  // a receive is pending; same access as socket

    // Guards thread: start, stop and started from the owner's threads.
    mutable std::mutex lifecycleMutex;
    std::unique_ptr<std::thread> thread;
};

}  // namespace UdpBroadcasting
}  // namespace Vant
