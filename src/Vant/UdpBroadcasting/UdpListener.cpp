#include "Vant/UdpBroadcasting/UdpListener.h"
#include "Vant/Log.h"

#include <iostream>
#include <sstream>

namespace Vant {
namespace UdpBroadcasting {

UdpListener::UdpListener(int port)
    : port(static_cast<unsigned short>(port)), socket(service), buffer(BufferSize) {
    bind();
    // A listener on port 0 keeps the port the system chose, also when it binds again.
    this->port = socket.local_endpoint().port();
}

UdpListener::~UdpListener() {
    stop();
}

void UdpListener::bind() {
    socket.open(boost::asio::ip::udp::v4());
    socket.set_option(boost::asio::socket_base::reuse_address(true));
    socket.bind(boost::asio::ip::udp::endpoint(boost::asio::ip::address_v4::any(), port));
}

void UdpListener::start() {
    std::lock_guard<std::mutex> lifecycle(lifecycleMutex);
    if (thread) return;
    // A receive left pending by stop() is still armed and continues when the service runs.
    if (!receiving) receive();
    thread.reset(new std::thread([this]() { service.run(); }));
}

bool UdpListener::started() const {
    std::lock_guard<std::mutex> lifecycle(lifecycleMutex);
    return thread != nullptr;
}

void UdpListener::stop() {
    std::lock_guard<std::mutex> lifecycle(lifecycleMutex);
    service.stop();
    if (thread) {
        thread->join();
        thread.reset();
    }
    service.restart();
}

void UdpListener::receive() {
    receiving = true;
    socket.async_receive_from(boost::asio::buffer(buffer.begin(), buffer.length()), sender,
                              [this](boost::system::error_code error, std::size_t n) { received(error, n); });
}

void UdpListener::received(boost::system::error_code error, std::size_t n) {
    receiving = false;
    if (!error) {
        try {
            pushBroadcast(sender.address(), kel::bytes(buffer.begin(), static_cast<unsigned>(n)));
        } catch (const std::exception& e) {
            logLine(std::string("UDPListener::receive handler failed: ") + e.what());
        }
    } else if (error == boost::asio::error::not_connected) {
        boost::system::error_code ignoredCloseError;  // replaced by a fresh socket right away
        socket.close(ignoredCloseError);
        try {
            bind();
        } catch (const boost::system::system_error& e) {
            logLine(std::string("UDPListener::receive cannot bind again: ") + e.what());
            return;
        }
    } else if (error == boost::asio::error::operation_aborted ||
               error == boost::asio::error::bad_descriptor) {
        return;  // the socket was closed: nothing more will arrive on it
    } else {
        std::ostringstream line;
        line << "UDPListener::receive ERROR THAT IS NOT \"ENOTCONN\" Error Value: " << error.value()
             << " Error: " << error;
        logLine(line.str());
    }
    receive();
}

}  // namespace UdpBroadcasting
}  // namespace Vant
