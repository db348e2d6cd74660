// Vant::Driver::Lighting: the lighting controller on its own serial port, one byte
// per lighting mode, no replies. Callable from any thread: each byte is written in
// call order from the controller's strand, which also guards `lastCodeByte`.
#pragma once

#include <functional>
#include <string>

#include <boost/asio/io_service.hpp>
#include <boost/asio/serial_port.hpp>
#include <boost/asio/strand.hpp>
#include <boost/system/error_code.hpp>

namespace Vant {
namespace Driver {

class Lighting {
public:
    typedef unsigned char byte;

    struct Mode {
        static const byte Loading = '0';
        static const byte Idle = '5';
        static const byte Error = '3';
        static const byte Notification = 'E';
        static const byte Preparing = '6';
        static const byte Printing = 'B';
        // The byte of a mode name ("Printing"); false for any other name.
        static bool fromName(const std::string& name, byte& code);
    };

    // Opens the lighting controller's serial device (raw, 115200 baud); throws
    // boost::system::system_error when it cannot be opened. Sends nothing.
    explicit Lighting(boost::asio::io_service& io, const std::string& device = defaultDevice());
    virtual ~Lighting();
    Lighting(const Lighting&) = delete;
    Lighting& operator=(const Lighting&) = delete;

    // Writes `code`; `done` (may be empty) gets the write's result.
    void sendCodeByte(byte code, std::function<void(boost::system::error_code)> done);

    static std::string defaultDevice();

private:
    boost::asio::io_service& io;
    boost::asio::serial_port serial;
    byte lastCodeByte = Mode::Idle;  // the byte most recently sent; written on `strand` only
    boost::asio::io_service::strand strand;
};

}  // namespace Driver
}  // namespace Vant
