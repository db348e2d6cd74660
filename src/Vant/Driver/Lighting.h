// Vant::Driver::Lighting: the lighting controller on its own serial port, one byte
// per lighting mode, no replies. Callable from any thread: each byte is written in
// call order from the controller's strand, which also guards the rest of its state.
// A read is kept outstanding only to notice when the device goes away; then the
// port is opened again every `reopenDelay` and, once back, shows the last mode asked
// for. Owned by printer mode (or a test); the printer service and the state keeper
// hold a reference. Before it is destroyed, stop() is called and its users are gone
// (the service destroyed: the keeper has joined the runner threads). Its handlers
// hold a Liveness guard with `this`: one that completes after the destructor does
// nothing, and the destructor waits for one that runs.
//
// clang-format off
//   sendCodeByte --post(strand)--> lastCodeByte --> async_write (one byte) --> done
//   watch: async_read_some --> bytes dropped, read again | device gone --> portLost
//   portLost (read or write) --> close --> reconnector every reopenDelay --> open
//            --> back: last mode written again, watch again
//   stop --> port closed, timer cancelled, pending writes end with operation_aborted
// clang-format on
#pragma once

#include <atomic>
#include <functional>
#include <string>

#include <boost/asio/io_service.hpp>
#include <boost/asio/serial_port.hpp>
#include <boost/asio/strand.hpp>
#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <boost/system/error_code.hpp>

#include "Vant/Driver/ErrorCode.h"
#include "Vant/Driver/Reconnector.h"
#include "Vant/Liveness.h"

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
    // `reopenDelay` is the pause between two attempts to open a lost device again.
    explicit Lighting(boost::asio::io_service& io, const std::string& device = defaultDevice(),
                      boost::posix_time::time_duration reopenDelay = boost::posix_time::seconds(2));
    virtual ~Lighting();
    Lighting(const Lighting&) = delete;
    Lighting& operator=(const Lighting&) = delete;

    // The least time between two "still unavailable" log lines; set before use.
    boost::posix_time::time_duration unavailableLogInterval = boost::posix_time::seconds(30);

    // Writes `code`; `done` (may be empty) gets the write's result: boardLost while the
    // device is away (the mode is shown once it is back), operation_aborted after stop().
    void sendCodeByte(byte code, std::function<void(boost::system::error_code)> done);
    // Closes the port; nothing is written or reopened from now on. Any thread.
    void stop();

    static std::string defaultDevice();

private:
    // `handler` made to run only while this object lives (every handler given to the
    // strand, the port or a timer): a completion that comes after the destructor
    // finds it gone and does nothing.
    template <typename Handler>
    auto guarded(Handler handler) const {
        return Vant::Liveness::guard(life, std::move(handler));
    }

    void write(byte code, std::function<void(boost::system::error_code)> done);
    void watch();
    void closePort();
    void portLost(const boost::system::error_code& error);
    void reopen();

    boost::asio::io_service& io;
    std::string device;
    boost::asio::serial_port serial;
    boost::asio::io_service::strand strand;
    // Only the strand reads and writes everything below.
    byte lastCodeByte = Mode::Idle;  // the mode most recently asked for
    bool anySent = false;            // some mode was asked for: one to show again after a loss
    bool up = true;                  // the port is open
    unsigned connection = 0;         // grows with every open and close: completions of an older port end
    byte watchBuffer[16];            // what the controller sends, dropped
    // Ended first thing in the destructor; declared before the reconnector, which shares it.
    std::shared_ptr<Vant::Liveness> life = std::make_shared<Vant::Liveness>();
    Reconnector reconnector;
    // Set by stop() on the caller's thread, before the strand closes the port: a
    // reopen attempt or a write already posted sees it and gives up.
    std::atomic<bool> stopped{false};
};

}  // namespace Driver
}  // namespace Vant
