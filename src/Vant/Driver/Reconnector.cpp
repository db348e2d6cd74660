#include "Vant/Driver/Reconnector.h"

#include <cerrno>

#include <boost/asio/error.hpp>

#include "Vant/Log.h"

namespace Vant {
namespace Driver {

bool meansDeviceGone(const boost::system::error_code& error) {
    if (error == boost::asio::error::eof) return true;
    if (error.category() != boost::system::system_category()) return false;
    switch (error.value()) {
        case EIO:
        case ENXIO:
        case ENODEV:
        case EBADF:
            return true;
        default:
            return false;
    }
}

void openSerial(boost::asio::serial_port& port, const std::string& device, boost::system::error_code& error) {
    port.open(device, error);
    if (!error) port.set_option(boost::asio::serial_port_base::baud_rate(115200), error);
    if (error) {
        boost::system::error_code ignoredCloseError;
        port.close(ignoredCloseError);
    }
}

Reconnector::Reconnector(boost::asio::io_service& io, boost::asio::io_service::strand& strand,
                         std::shared_ptr<Vant::Liveness> ownerLife, std::string owner, std::string what,
                         std::string device, Duration pace, std::function<void()> attempt)
    : strand(strand),
      ownerLife(std::move(ownerLife)),
      timer(io),
      owner(std::move(owner)),
      what(std::move(what)),
      device(std::move(device)),
      pace(pace),
      attempt(std::move(attempt)) {}

void Reconnector::lost(const boost::system::error_code& error) {
    logLine(owner + "::portLost() " + what + " lost : " + error.message() + "; trying to open " + device +
            " again");
    lastLog = std::chrono::steady_clock::now();
    scheduleAttempt();
}

bool Reconnector::open(boost::asio::serial_port& port) {
    boost::system::error_code error;
    openSerial(port, device, error);
    if (error) attemptFailed(error);
    return !error;
}

void Reconnector::attemptFailed(const boost::system::error_code& error) {
    const auto now = std::chrono::steady_clock::now();
    if (now - lastLog >= std::chrono::microseconds(unavailableLogInterval.total_microseconds())) {
        logLine(owner + "::reopen() " + device + " still unavailable : " + error.message());
        lastLog = now;
    }
    scheduleAttempt();
}

void Reconnector::back() {
    logLine(owner + "::reopen() " + what + " back on " + device);
}

void Reconnector::stop() {
    stopped = true;
    boost::system::error_code ignoredCancelError;
    timer.cancel(ignoredCancelError);
}

void Reconnector::scheduleAttempt() {
    if (stopped) return;
    timer.expires_from_now(pace);
    timer.async_wait(
        strand.wrap(Vant::Liveness::guard(ownerLife, [this](const boost::system::error_code& error) {
            if (error == boost::asio::error::operation_aborted || stopped) return;
            attempt();
        })));
}

}  // namespace Driver
}  // namespace Vant
