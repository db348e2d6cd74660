// Vant::Driver::Reconnector: brings a serial device back after it went away (a USB
// adapter that re-enumerates, a board that resets, a loose cable). Owned by the
// driver or the lighting controller whose port it reopens, and used only on that
// owner's strand: the owner reports the loss, its `attempt` runs on the strand at a
// steady pace and reports back. It writes the three kinds of log line: one on the
// loss, at most one per `unavailableLogInterval` while the device stays away, one
// when it is back.
//
// clang-format off
//   owner: I/O error that means the device is gone --> lost() --> timer (pace)
//   timer --> attempt() (owner: open, and for the motion board a handshake)
//             --> back()                 the owner carries on with the new port
//             --> attemptFailed() --> timer (pace) --> attempt() ...
//   stop() --> timer cancelled, no further attempt
// clang-format on
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include <boost/asio/deadline_timer.hpp>
#include <boost/asio/io_service.hpp>
#include <boost/asio/serial_port.hpp>
#include <boost/asio/strand.hpp>
#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <boost/system/error_code.hpp>

#include "Vant/Liveness.h"

namespace Vant {
namespace Driver {

// Whether an I/O error of a serial port means that its device is gone: end of file,
// EIO, ENXIO, ENODEV or EBADF.
bool meansDeviceGone(const boost::system::error_code& error);

// Opens `device` on `port` (Boost.Asio puts the line in raw mode) at 115200 baud.
void openSerial(boost::asio::serial_port& port, const std::string& device, boost::system::error_code& error);

class Reconnector {
public:
    typedef boost::posix_time::time_duration Duration;

    // `owner` and `what` name the device in the log ("Driver", "motion board");
    // `ownerLife` is the owner's guard, which its timer's handler runs under.
    Reconnector(boost::asio::io_service& io, boost::asio::io_service::strand& strand,
                std::shared_ptr<Vant::Liveness> ownerLife, std::string owner, std::string what,
                std::string device, Duration pace, std::function<void()> attempt);
    Reconnector(const Reconnector&) = delete;
    Reconnector& operator=(const Reconnector&) = delete;

    // The least time between two "still unavailable" lines, counted from the loss.
    Duration unavailableLogInterval = boost::posix_time::seconds(30);

    // The device is gone (the owner has closed it): logs it and starts the attempts.
    void lost(const boost::system::error_code& error);
    // Opens the device on `port` for an attempt; when it cannot, the attempt has failed
    // (as attemptFailed) and the answer is false.
    bool open(boost::asio::serial_port& port);
    // The last attempt did not bring it back: the next one follows after the pace.
    void attemptFailed(const boost::system::error_code& error);
    // The last attempt brought it back.
    void back();
    // No further attempt.
    void stop();

private:
    void scheduleAttempt();

    boost::asio::io_service::strand& strand;
    std::shared_ptr<Vant::Liveness> ownerLife;
    boost::asio::deadline_timer timer;
    std::string owner;
    std::string what;
    std::string device;
    Duration pace;
    std::function<void()> attempt;
    std::chrono::steady_clock::time_point lastLog;  // the loss, or the last "still unavailable" line
    bool stopped = false;
};

}  // namespace Driver
}  // namespace Vant
