#include "Vant/Driver/Lighting.h"

#include <memory>

#include <boost/asio/write.hpp>
#include <boost/system/system_error.hpp>

#include "Vant/Log.h"
#include "Vant/Platform.h"

namespace Vant {
namespace Driver {

const Lighting::byte Lighting::Mode::Loading;
const Lighting::byte Lighting::Mode::Idle;
const Lighting::byte Lighting::Mode::Error;
const Lighting::byte Lighting::Mode::Notification;
const Lighting::byte Lighting::Mode::Preparing;
const Lighting::byte Lighting::Mode::Printing;

bool Lighting::Mode::fromName(const std::string& name, byte& code) {
    static const struct {
        const char* name;
        byte code;
    } modes[] = {{"Loading", Loading},           {"Idle", Idle},           {"Error", Error},
                 {"Notification", Notification}, {"Preparing", Preparing}, {"Printing", Printing}};
    for (const auto& mode : modes) {
        if (name == mode.name) {
            code = mode.code;
            return true;
        }
    }
    return false;
}

std::string Lighting::defaultDevice() {
    return Platform::lightingPort();
}

Lighting::Lighting(boost::asio::io_service& service, const std::string& devicePath,
                   boost::posix_time::time_duration reopenDelay)
    : io(service),
      device(devicePath),
      serial(io),
      strand(io),
      reconnector(io, strand, life, "Lighting", "lighting controller", device, reopenDelay,
                  [this]() { reopen(); }) {
    boost::system::error_code error;
    openSerial(serial, device, error);
    if (error) throw boost::system::system_error(error);
    strand.post(guarded([this]() { watch(); }));
}

Lighting::~Lighting() {
    life->end();
}

void Lighting::sendCodeByte(byte code, std::function<void(boost::system::error_code)> done) {
    strand.post(guarded([this, code, done]() {
        lastCodeByte = code;
        anySent = true;
        if (stopped) {
            if (done) done(boost::asio::error::operation_aborted);
        } else if (!up) {
            if (done) done(make_error_code(boardLost));
        } else {
            write(code, done);
        }
    }));
}

void Lighting::write(byte code, std::function<void(boost::system::error_code)> done) {
    // Each write has its own copy of its byte, so a later call never changes what an
    // earlier write sends.
    auto buffer = std::make_shared<byte>(code);
    const unsigned generation = connection;
    boost::asio::async_write(
        serial, boost::asio::buffer(buffer.get(), 1),
        strand.wrap(guarded([this, buffer, done, generation](const boost::system::error_code& error, size_t) {
            boost::system::error_code result = error;
            // The device went away under the write (this one noticed, or the watch did).
            if (error && !stopped && (meansDeviceGone(error) || generation != connection)) {
                if (generation == connection) portLost(error);
                result = make_error_code(boardLost);
            }
            if (done) done(result);
        })));
}

void Lighting::watch() {
    const unsigned generation = connection;
    serial.async_read_some(
        boost::asio::buffer(watchBuffer),
        strand.wrap(guarded([this, generation](const boost::system::error_code& error, size_t) {
            if (generation != connection || error == boost::asio::error::operation_aborted) return;
            if (!error) {
                watch();
            } else if (meansDeviceGone(error)) {
                portLost(error);
            } else {
                // Writes still notice a loss.
                logLine("Lighting::watch() error : " + error.message());
            }
        })));
}

void Lighting::closePort() {
    boost::system::error_code ignoredCloseError;
    serial.close(ignoredCloseError);
    ++connection;
    up = false;
}

void Lighting::portLost(const boost::system::error_code& error) {
    if (!up || stopped) return;
    closePort();
    reconnector.unavailableLogInterval = unavailableLogInterval;
    reconnector.lost(error);
}

void Lighting::reopen() {
    if (stopped || up || !reconnector.open(serial)) return;
    ++connection;
    up = true;
    reconnector.back();
    if (anySent) write(lastCodeByte, nullptr);
    watch();
}

void Lighting::stop() {
    stopped = true;
    strand.dispatch(guarded([this]() {
        reconnector.stop();
        closePort();
    }));
}

}  // namespace Driver
}  // namespace Vant
