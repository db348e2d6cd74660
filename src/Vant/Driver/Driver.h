// Vant::Driver::Driver: the only component that talks to the motion board. It owns
// the board's serial port, numbers and checksums every command, keeps the lines in
// flight in a 100-slot ring and reports acknowledgement, progress and completion of
// each to its caller. Callable from any thread; all of its state is touched only by
// handlers on its strand (`writingStrand`), which also serialises writes to the port.
//
//   caller --pushGcode--> post(strand): temperature wait, ring slot (or held) --> emptyBuffer
//   (a reply's callback --pushGcode--> deferred, enqueued once that reply is handled)
//   emptyBuffer: post(strand) --> write one line (synchronous) --> post again while pending
//   handleInputs: async_read_some (strand) --> lines --> reply handling --> callbacks
//                 read error --> retryTimer (readRetryDelay) --> handleInputs
//   initialize: write "N1 M105*38" --> read a line --> retry | set counters --> done
#pragma once

#include <array>
#include <deque>
#include <functional>
#include <string>

#include <boost/asio/deadline_timer.hpp>
#include <boost/asio/io_service.hpp>
#include <boost/asio/serial_port.hpp>
#include <boost/asio/strand.hpp>
#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <boost/optional.hpp>
#include <boost/system/error_code.hpp>

#include "Vant/Driver/ErrorCode.h"
#include "kel/bytes.h"
#include "kel/var.h"

namespace Vant {
namespace Driver {

class Driver {
public:
    typedef std::function<void(boost::system::error_code, double)> ProgressCallback;

    static const unsigned RingSize = 100;

    // Opens the motion board's serial device (raw, 115200 baud); throws
    // boost::system::system_error when it cannot be opened. `readRetryDelay` is the
    // pause of the receive loop after a read error, `handshakeRetryDelay` the pause
    // before the handshake is repeated after "Unknown command".
    explicit Driver(boost::asio::io_service& io, const std::string& device = defaultDevice(),
                    boost::posix_time::time_duration readRetryDelay = boost::posix_time::seconds(2),
                    boost::posix_time::time_duration handshakeRetryDelay = boost::posix_time::seconds(0));
    virtual ~Driver();
    Driver(const Driver&) = delete;
    Driver& operator=(const Driver&) = delete;

    // Publishes a board report as a named variable ("LightSensorOn", "XY-Calibrated").
    // Set once before the receive loop starts; called on the driver's strand.
    std::function<void(std::string name, kel::var value)> onVariable;

    // The start-up handshake; `done` gets success or the I/O error.
    void initialize(std::function<void(boost::system::error_code)> done);
    // Starts the endless receive loop; called once, after initialize succeeded.
    void handleInputs();
    // Queues one command; the callback hears acknowledgement (0.0), progress and
    // completion (1.0), or a write error with 0.0. More than 100 lines in flight are
    // held and sent, in order, as earlier lines complete.
    void pushGcode(std::string gcode, ProgressCallback callback);
    // Delivers the next complete line from the board. The handshake uses it; any
    // other caller calls it while neither the handshake nor the receive loop reads.
    void readLine(std::function<void(boost::system::error_code, std::string)> handler);

    static std::string defaultDevice();

private:
    struct HeldLine {
        std::string command;
        std::string completionText;
        ProgressCallback callback;
    };

    struct TemperatureWait {
        bool ensureUnder;
        double target;
        double start;
        ProgressCallback callback;
    };

    static std::string makeLine(unsigned n, const std::string& gcode);
    boost::optional<std::string> extractLineFromReadBuffer();
    void emptyBuffer();
    void sendOne();
    // The work of pushGcode, on the strand.
    void enqueue(std::string gcode, ProgressCallback callback);

    void startHandshake(std::function<void(boost::system::error_code)> done);
    void readHandshakeReply(std::function<void(boost::system::error_code)> done);
    void receiveLoop();
    // Reads more bytes into the buffer; `handler` gets the read's error or success.
    void fillReadBuffer(std::function<void(boost::system::error_code)> handler);
    void handleReply(const std::string& reply);
    void place(HeldLine line);
    void admitHeldLines();
    void completeOldest();
    void temperatureChanged(double temperature);
    void publish(const std::string& name, kel::var value);

    boost::asio::io_service& io;
    boost::asio::serial_port serial;
    kel::bytes readBuffer;
    kel::bytes usedReadBuffer;
    // Only the driver's strand reads and writes everything below.
    unsigned int sendCounter = 0;
    unsigned int bufferCounter = 0;
    unsigned int completionCounter = 0;
    std::array<std::string, RingSize> lineBuffer;
    std::array<std::string, RingSize> startingOnBuffer;
    std::array<std::string, RingSize> completionOnBuffer;
    std::array<ProgressCallback, RingSize> callbackBuffer;
    std::deque<HeldLine> heldLines;  // pushed while the ring was full, in push order
    double lastTemperature = 0.0;
    double lastTemperatureProgress = 0.0;
    boost::optional<TemperatureWait> temperatureTarget;
    bool discardingLongLine = false;  // the rest of an over-long reply is being skipped
    bool handlingReply = false;       // a reply's callbacks are running (receive loop)
    std::deque<std::pair<std::string, ProgressCallback>> deferredPushes;  // pushed by those callbacks
    boost::asio::io_service::strand writingStrand;
    boost::asio::deadline_timer retryTimer;
    boost::posix_time::time_duration readRetryDelay;
    boost::posix_time::time_duration handshakeRetryDelay;
};

}  // namespace Driver
}  // namespace Vant
