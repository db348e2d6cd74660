// A client's settings with short durations and a free announcement port, and
// announcements sent to it over loopback.
#pragma once

#include <chrono>
#include <string>

#include <boost/asio/io_service.hpp>
#include <boost/asio/ip/udp.hpp>

#include "Vant/UdpBroadcasting/Announcement.h"
#include "Vant/User/User.h"
#include "kel/bytes.h"

namespace clienttest {

inline Vant::User::ClientSettings fastSettings(unsigned short printerPort) {
    Vant::User::ClientSettings settings;
    settings.announcementPort = 0;
    settings.printerPort = printerPort;
    settings.autoDeletionDelay = std::chrono::milliseconds(300);
    settings.calibrationPause = std::chrono::milliseconds(100);
    settings.resendAfter = std::chrono::milliseconds(200);
    settings.sendingInterval = std::chrono::milliseconds(50);
    return settings;
}

inline void announce(unsigned short port, const std::string& payload) {
    boost::asio::io_service io;
    boost::asio::ip::udp::socket socket(io, boost::asio::ip::udp::v4());
    socket.send_to(boost::asio::buffer(payload),
                   boost::asio::ip::udp::endpoint(boost::asio::ip::address_v4::loopback(), port));
}

inline void announce(unsigned short port, const kel::bytes& printerKey) {
    announce(port, Vant::UdpBroadcasting::makeAnnouncement(printerKey));
}

}  // namespace clienttest
