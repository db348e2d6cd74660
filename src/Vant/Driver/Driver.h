// Vant::Driver::Driver: the only component that talks to the motion board. It owns
// the board's serial port, numbers and checksums every command, keeps the lines in
// flight in a 100-slot ring and reports acknowledgement, progress and completion of
// each to its caller. Callable from any thread; all of its state is touched only by
// handlers on its strand (`strand`), which also serialises the reads and writes of the port.
// Owned by printer mode (or a test); the printer service and the state keeper hold a
// reference. Before it is destroyed, stop() is called, so that every pending command
// hears operation_aborted, and its users are gone (the service destroyed: the keeper
// has joined the runner threads). Its handlers hold a Liveness guard with `this`:
// one that completes after the destructor does nothing, and the destructor waits for
// one that runs.
//
// clang-format off
//   caller --pushGcode--> post(strand): temperature wait, ring slot (or held) --> postNextSend
//   (a reply's callback --pushGcode--> deferred, enqueued once that reply is handled)
//   postNextSend: post(strand) --> write one line (synchronous) --> post again while pending
//   handleInputs: async_read_some (strand) --> lines --> reply handling --> callbacks
//                 read error --> retryTimer (readRetryDelay) --> handleInputs
//   initialize: write "N1 M105*38" --> read a line --> retry | set counters --> done
//   device gone (read or write: end of file, EIO, ENXIO, ENODEV, EBADF) --> portLost:
//                 close; every line in flight, held or waited on fails with boardLost;
//                 reconnector every readRetryDelay --> open --> handshake (answerTimeout)
//                 --> back: XY-Calibrated false, M105 and M119, lines that waited for the
//                 return, receive loop;  returnTimer (returnWait) --> the waiting lines fail
//   stop --> port closed, timers cancelled, everything pending fails with operation_aborted
// clang-format on
#pragma once

#include <array>
#include <atomic>
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
#include "Vant/Driver/Reconnector.h"
#include "Vant/Liveness.h"
#include "kel/bytes.h"
#include "kel/var.h"

namespace Vant {
namespace Driver {

class Driver {
public:
    typedef std::function<void(boost::system::error_code, double)> ProgressCallback;

    static const unsigned RingSize = 100;

    // What a command pushed while the board is away does: fail at once with boardLost,
    // or wait until the board is back (for at most `returnWait` after the loss). The
    // resetting states of an interrupted task wait; everything else fails.
    enum class WhileAway { Fail, WaitForReturn };

    // Opens the motion board's serial device (raw, 115200 baud); throws
    // boost::system::system_error when it cannot be opened. `readRetryDelay` is the
    // pause of the receive loop after a read error and between two attempts to open a
    // lost device again, `handshakeRetryDelay` the pause before the handshake is
    // repeated after "Unknown command".
    explicit Driver(boost::asio::io_service& io, const std::string& device = defaultDevice(),
                    boost::posix_time::time_duration readRetryDelay = boost::posix_time::seconds(2),
                    boost::posix_time::time_duration handshakeRetryDelay = boost::posix_time::seconds(0));
    virtual ~Driver();
    Driver(const Driver&) = delete;
    Driver& operator=(const Driver&) = delete;

    // Publishes a board report as a named variable ("LightSensorOn", "XY-Calibrated").
    // Set once before the receive loop starts; called on the driver's strand.
    std::function<void(std::string name, kel::var value)> onVariable;

    // Durations of a loss, set before initialize(): how long commands pushed with
    // WaitForReturn wait for the board, how long a reopened board has to answer the
    // handshake, and the least time between two "still unavailable" log lines.
    boost::posix_time::time_duration returnWait = boost::posix_time::seconds(10);
    boost::posix_time::time_duration answerTimeout = boost::posix_time::seconds(5);
    boost::posix_time::time_duration unavailableLogInterval = boost::posix_time::seconds(30);

    // The start-up handshake; `done` gets success or the I/O error.
    void initialize(std::function<void(boost::system::error_code)> done);
    // Starts the endless receive loop; called once, after initialize succeeded.
    void handleInputs();
    // Queues one command; the callback hears acknowledgement (0.0), progress and
    // completion (1.0), or an error with 0.0: a write error, boardLost when the board
    // went away before completing it (or was away, see WhileAway), operation_aborted
    // after stop(). More than 100 lines in flight are held and sent, in order, as
    // earlier lines complete.
    void pushGcode(std::string gcode, ProgressCallback callback, WhileAway whileAway = WhileAway::Fail);
    // Closes the port and cancels the timers; every command pending or pushed later
    // fails with operation_aborted, and a lost board is no longer looked for. Any thread.
    void stop();
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

    struct Push {
        std::string gcode;
        ProgressCallback callback;
        WhileAway whileAway;
    };

    // Up: the port is open and has answered. Away: lost, not back yet; commands pushed
    // with WaitForReturn wait. Gone: away for longer than returnWait; every command fails.
    enum class Link { Up, Away, Gone, Stopped };

    struct TemperatureWait {
        bool ensureUnder;
        double target;
        double start;
        ProgressCallback callback;
    };

    // `handler` made to run only while this object lives (every handler given to the
    // strand, the port or a timer): a completion that comes after the destructor
    // finds it gone and does nothing.
    template <typename Handler>
    auto guarded(Handler handler) const {
        return Vant::Liveness::guard(life, std::move(handler));
    }

    static std::string makeLine(unsigned n, const std::string& gcode);
    boost::optional<std::string> extractLineFromReadBuffer();
    // Posts the sending of the next line placed in the ring and not yet written.
    void postNextSend();
    void sendOne();
    // The work of pushGcode, on the strand.
    void enqueue(std::string gcode, ProgressCallback callback, WhileAway whileAway);

    // `announce`: the handshake's steps are logged (not while a lost board is sought).
    void startHandshake(std::function<void(boost::system::error_code)> done, bool announce = true);
    void readHandshakeReply(std::function<void(boost::system::error_code)> done, bool announce);
    void receiveLoop();
    // Reads more bytes into the buffer; `handler` gets the read's error or success.
    void fillReadBuffer(std::function<void(boost::system::error_code)> handler);
    void handleReply(const std::string& reply);
    void place(HeldLine line);
    void admitHeldLines();
    void completeOldest();
    void temperatureChanged(double temperature);
    void publish(const std::string& name, kel::var value);

    void closePort();
    void portLost(const boost::system::error_code& error);
    void reopen();
    void reopenFailed(const boost::system::error_code& error);
    void back();
    // Every line placed or held in the ring, and the temperature wait, hear `error`.
    void failLinesInFlight(const boost::system::error_code& error);
    void failAwaitedLines(const boost::system::error_code& error);
    void shutDown();

    boost::asio::io_service& io;
    std::string device;
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
    std::deque<Push> deferredPushes;  // pushed by those callbacks
    Link link = Link::Up;
    bool receiving = false;         // handleInputs() has started the receive loop
    unsigned connection = 0;        // grows with every open and close: completions of an older port end
    unsigned losses = 0;            // grows with every loss: the return wait of an older loss ends
    std::deque<Push> awaitedLines;  // pushed with WaitForReturn while away, in push order
    boost::asio::io_service::strand strand;
    boost::asio::deadline_timer retryTimer;
    boost::asio::deadline_timer returnTimer;
    boost::asio::deadline_timer answerTimer;
    boost::posix_time::time_duration readRetryDelay;
    boost::posix_time::time_duration handshakeRetryDelay;
    // Ended first thing in the destructor; declared before the reconnector, which shares it.
    std::shared_ptr<Vant::Liveness> life = std::make_shared<Vant::Liveness>();
    Reconnector reconnector;
    // Set by stop() on the caller's thread, before the strand closes the port: a
    // reopen attempt already under way on the strand sees it and gives up.
    std::atomic<bool> stopped{false};
};

}  // namespace Driver
}  // namespace Vant
