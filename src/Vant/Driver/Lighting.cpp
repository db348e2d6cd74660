#include "Vant/Driver/Lighting.h"

#include <memory>

#include <boost/asio/write.hpp>

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

Lighting::Lighting(boost::asio::io_service& service, const std::string& device)
    : io(service), serial(io, device), strand(io) {
    serial.set_option(boost::asio::serial_port_base::baud_rate(115200));
}

Lighting::~Lighting() = default;

void Lighting::sendCodeByte(byte code, std::function<void(boost::system::error_code)> done) {
    strand.post([this, code, done]() {
        lastCodeByte = code;
        // Each write has its own copy of its byte, so a later call never changes what
        // an earlier write sends.
        auto buffer = std::make_shared<byte>(code);
        boost::asio::async_write(serial, boost::asio::buffer(buffer.get(), 1),
                                 [buffer, done](const boost::system::error_code& error, size_t) {
                                     if (done) done(error);
                                 });
    });
}

}  // namespace Driver
}  // namespace Vant
