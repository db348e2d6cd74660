#include "Vant/Driver/Driver.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <sstream>
#include <vector>

#include <boost/algorithm/string/trim.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>
#include <boost/system/system_error.hpp>

#include "Vant/Log.h"
#include "Vant/Platform.h"

namespace Vant {
namespace Driver {

namespace {

const char* const HandshakeLine = "N1 M105*38\n";
// A handshake reply other than "OK" reads "Last line: <n>": the board's next line
// number stands right after this prefix (read at its length, whatever comes before).
const char* const LastLinePrefix = "Last line: ";
// The temperature commands a caller pushes, written at the start of the command and
// followed by a temperature.
const char* const TemperatureCommand = "Driver:Temperature:";
const char* const SetTargetCommand = "Driver:Temperature:SetTarget:";
const char* const EnsureUnderCommand = "Driver:Temperature:EnsureUnder:";
const char* const EnsureAtCommand = "Driver:Temperature:EnsureAt:";
// Board replies that carry a number: the oldest uncompleted line, the progress of
// the current command, the hot end's temperature.
const char* const CorrectionReply = "OK:";
const char* const PercentReply = "PERCENT:";
const char* const TemperatureReply = "TEMP:";
const unsigned ReadBufferSize = 1000;
const unsigned MinimumFreeSpace = 50;

boost::system::error_code ok() {
    return make_error_code(success);
}

boost::system::error_code aborted() {
    return boost::asio::error::operation_aborted;
}

// The driver's texts end with their newline (most carry a board line, which has one).
void log(const std::string& text) {
    logLine(text.data(), !text.empty() && text.back() == '\n' ? text.size() - 1 : text.size());
}

bool contains(const std::string& text, const char* part) {
    return text.find(part) != std::string::npos;
}

// The decimal integer at the start of `text` (leading white space skipped, ends at
// the first character that cannot continue it); none when there is no number.
boost::optional<long long> readInteger(const std::string& text) {
    const char* begin = text.c_str();
    char* end = nullptr;
    errno = 0;
    const long long value = std::strtoll(begin, &end, 10);
    if (end == begin || errno == ERANGE) return boost::none;
    return value;
}

// The decimal floating-point number at the start of `text`; none when there is no
// finite number.
boost::optional<double> readReal(const std::string& text) {
    const char* begin = text.c_str();
    char* end = nullptr;
    const double value = std::strtod(begin, &end);
    if (end == begin || !std::isfinite(value)) return boost::none;
    return value;
}

// The text after the first occurrence of `marker` in `reply` (the board writes the
// marker at the start of its reply).
std::string after(const std::string& reply, const char* marker) {
    return reply.substr(reply.find(marker) + std::strlen(marker));
}

// The text of `command` past the length of `prefix`, which it is written to start with.
std::string pastPrefix(const std::string& command, const char* prefix) {
    return command.substr(std::min(std::strlen(prefix), command.size()));
}

}  // namespace

std::string Driver::defaultDevice() {
    return Platform::motionPort();
}

Driver::Driver(boost::asio::io_service& service, const std::string& devicePath,
               boost::posix_time::time_duration readRetry, boost::posix_time::time_duration handshakeRetry)
    : io(service),
      device(devicePath),
      serial(service),
      readBuffer(ReadBufferSize),
      usedReadBuffer(readBuffer.subBytes(0, 0)),
      strand(io),
      retryTimer(io),
      returnTimer(io),
      answerTimer(io),
      readRetryDelay(readRetry),
      handshakeRetryDelay(handshakeRetry),
      reconnector(io, strand, life, "Driver", "motion board", device, readRetry, [this]() { reopen(); }) {
    boost::system::error_code error;
    openSerial(serial, device, error);
    if (error) throw boost::system::system_error(error);
}

Driver::~Driver() {
    life->end();
}

std::string Driver::makeLine(unsigned n, const std::string& gcode) {
    const std::string text = "N" + std::to_string(n) + " " + gcode;
    unsigned char checksum = 0;
    for (unsigned char c : text) checksum ^= c;
    return text + "*" + std::to_string(static_cast<unsigned>(checksum)) + "\n";
}

// ---------------------------------------------------------------- handshake

void Driver::initialize(std::function<void(boost::system::error_code)> done) {
    strand.post(guarded([this, done]() { startHandshake(done); }));
}

void Driver::startHandshake(std::function<void(boost::system::error_code)> done, bool announce) {
    if (announce) log(std::string("Driver::initialize() <<<<< ") + HandshakeLine);
    boost::asio::async_write(
        serial, boost::asio::buffer(HandshakeLine, std::strlen(HandshakeLine)),
        strand.wrap(guarded([this, done, announce](const boost::system::error_code& error, size_t) {
            if (announce) log("Driver::initialize() sent. " + error.message() + "\n");
            if (error) {
                done(error);
                return;
            }
            readHandshakeReply(done, announce);
        })));
}

void Driver::readHandshakeReply(std::function<void(boost::system::error_code)> done, bool announce) {
    readLine([this, done, announce](const boost::system::error_code& error, const std::string& line) {
        if (announce) log("Driver::initialize() read. " + error.message() + "\n");
        if (error) {
            done(error);
            return;
        }
        if (contains(line, "Unknown command")) {
            log("Driver::initialize() failed. Retrying\u2026 \n");
            if (handshakeRetryDelay <= boost::posix_time::seconds(0)) {
                startHandshake(done, announce);
                return;
            }
            retryTimer.expires_from_now(handshakeRetryDelay);
            retryTimer.async_wait(
                strand.wrap(guarded([this, done, announce](const boost::system::error_code& timerError) {
                    if (timerError == boost::asio::error::operation_aborted) return;
                    startHandshake(done, announce);
                })));
            return;
        }
        unsigned counter = 2;
        if (!contains(line, "OK")) {
            // The board names the number of its next line after LastLinePrefix. A reply
            // without one (a report that crossed the handshake) is not the answer: wait for it.
            const boost::optional<long long> number = line.size() > std::strlen(LastLinePrefix)
                                                          ? readInteger(pastPrefix(line, LastLinePrefix))
                                                          : boost::optional<long long>();
            if (!number || *number < 0 || *number > 0xffffffffLL) {
                log("Driver::initialize() ignoring reply without a line number.\n");
                readHandshakeReply(done, announce);
                return;
            }
            counter = static_cast<unsigned>(*number);
        }
        sendCounter = bufferCounter = completionCounter = counter;
        done(ok());
    });
}

// ---------------------------------------------------------------- reading

boost::optional<std::string> Driver::extractLineFromReadBuffer() {
    const kel::byte* begin = usedReadBuffer.begin();
    const kel::byte* newline =
        static_cast<const kel::byte*>(std::memchr(begin, '\n', usedReadBuffer.length()));
    if (discardingLongLine) {
        // The rest of a reply too long for the buffer: drop it up to its newline.
        if (newline == nullptr) {
            usedReadBuffer = usedReadBuffer.subBytes(static_cast<int>(usedReadBuffer.length()), 0);
            return boost::none;
        }
        discardingLongLine = false;
        usedReadBuffer = usedReadBuffer.subBytes(static_cast<int>(newline - begin + 1));
        return extractLineFromReadBuffer();
    }
    if (newline == nullptr) return boost::none;
    const unsigned length = static_cast<unsigned>(newline - begin);
    std::string line(reinterpret_cast<const char*>(begin), length);
    usedReadBuffer = usedReadBuffer.subBytes(static_cast<int>(length + 1));
    return line;
}

void Driver::fillReadBuffer(std::function<void(boost::system::error_code)> handler) {
    unsigned usedFrom = static_cast<unsigned>(usedReadBuffer.begin() - readBuffer.begin());
    unsigned freeFrom = usedFrom + usedReadBuffer.length();
    if (readBuffer.length() - freeFrom < MinimumFreeSpace) {
        // Move the unconsumed bytes to the front.
        if (usedReadBuffer.length() > 0)
            std::memmove(readBuffer.begin(), usedReadBuffer.begin(), usedReadBuffer.length());
        usedReadBuffer = readBuffer.subBytes(0, usedReadBuffer.length());
        usedFrom = 0;
        freeFrom = usedReadBuffer.length();
        if (readBuffer.length() - freeFrom < MinimumFreeSpace) {
            // No newline in almost a whole buffer: drop this reply, up to its end, so
            // that the next read starts on a fresh line instead of failing forever.
            usedReadBuffer = readBuffer.subBytes(0, 0);
            discardingLongLine = true;
            handler(make_error_code(readLineTooLong));
            return;
        }
    }
    boost::asio::mutable_buffer space(readBuffer.begin() + freeFrom, readBuffer.length() - freeFrom);
    const unsigned generation = connection;
    serial.async_read_some(
        boost::asio::buffer(space),
        strand.wrap(guarded(
            [this, generation, usedFrom, handler](const boost::system::error_code& error, size_t received) {
                // The port was closed since: the buffer belongs to the next one now.
                if (generation != connection) {
                    handler(aborted());
                    return;
                }
                if (error) {
                    handler(error);
                    return;
                }
                usedReadBuffer = readBuffer.subBytes(
                    static_cast<int>(usedFrom), usedReadBuffer.length() + static_cast<unsigned>(received));
                handler(ok());
            })));
}

void Driver::readLine(std::function<void(boost::system::error_code, std::string)> handler) {
    const boost::optional<std::string> line = extractLineFromReadBuffer();
    if (line) {
        log("Driver::readLine() >>>>> " + *line + "\n");
        handler(ok(), *line);
        return;
    }
    fillReadBuffer([this, handler](const boost::system::error_code& error) {
        if (error) {
            handler(error, std::string());
            return;
        }
        readLine(handler);
    });
}

void Driver::handleInputs() {
    strand.post(guarded([this]() {
        receiving = true;
        receiveLoop();
    }));
}

void Driver::receiveLoop() {
    if (link != Link::Up) return;
    // Lines already buffered are handled in a loop, not by recursion.
    for (boost::optional<std::string> line = extractLineFromReadBuffer(); line;
         line = extractLineFromReadBuffer()) {
        log("Driver::readLine() >>>>> " + *line + "\n");
        handlingReply = true;
        handleReply(*line);
        handlingReply = false;
        while (!deferredPushes.empty()) {
            Push push = std::move(deferredPushes.front());
            deferredPushes.pop_front();
            enqueue(std::move(push.gcode), std::move(push.callback), push.whileAway);
        }
    }
    // A write of a reply's callback may have found the board gone.
    if (link != Link::Up) return;
    fillReadBuffer([this](const boost::system::error_code& error) {
        if (!error) {
            receiveLoop();
            return;
        }
        // Closed by stop(), or by a loss already seen: the loop ends here.
        if (error == boost::asio::error::operation_aborted) return;
        if (meansDeviceGone(error)) {
            portLost(error);
            return;
        }
        log("Driver::handleInputs() error : " + error.message() + "\n");
        const unsigned generation = connection;
        retryTimer.expires_from_now(readRetryDelay);
        retryTimer.async_wait(
            strand.wrap(guarded([this, generation](const boost::system::error_code& timerError) {
                if (timerError == boost::asio::error::operation_aborted || generation != connection) return;
                receiveLoop();
            })));
    });
}

// ---------------------------------------------------------------- replies

void Driver::handleReply(const std::string& reply) {
    if (completionCounter != sendCounter) {
        // 1. Correction: the board says its oldest uncompleted line is k. Only a k among
        // the lines in flight can be followed; any other is ignored.
        if (contains(reply, CorrectionReply)) {
            const boost::optional<long long> k = readInteger(after(reply, CorrectionReply));
            const unsigned inFlight = sendCounter - completionCounter;
            if (k && *k >= 0 && *k <= 0xffffffffLL &&
                static_cast<unsigned>(*k) - completionCounter < inFlight) {
                while (completionCounter != static_cast<unsigned>(*k)) {
                    log("Driver::handleInputs() Correctively setting as completed " +
                        std::to_string(completionCounter) + "\n");
                    ++completionCounter;
                }
                admitHeldLines();
            } else {
                log("Driver::handleInputs() Ignoring correction outside the lines in flight: " + reply +
                    "\n");
            }
        }
        const unsigned slot = completionCounter % RingSize;
        const ProgressCallback callback = callbackBuffer[slot];
        // 2. Acknowledgement.
        if (contains(reply, startingOnBuffer[slot].c_str())) {
            log("Driver::handleInputs() Aknowledging " + std::to_string(completionCounter) + "\n");
            if (callback) callback(ok(), 0.0);
        }
        // 3. Progress, kept strictly between 0 and 1.
        if (contains(reply, PercentReply)) {
            const boost::optional<double> p = readReal(after(reply, PercentReply));
            if (p && callback) callback(ok(), *p <= 0.0 ? 0.00001 : (*p >= 1.0 ? 0.99999 : *p));
        }
        // 4. Completion.
        if (contains(reply, completionOnBuffer[slot].c_str())) {
            log("Driver::handleInputs() Setting as completed " + std::to_string(completionCounter) + "\n");
            if (callback) callback(ok(), 1.0);
            completeOldest();
        }
    }
    if (contains(reply, "z_max:")) publish("LightSensorOn", kel::var(contains(reply, "TRIGGERED")));
    if (contains(reply, "Reached maximum inactivity time")) publish("XY-Calibrated", kel::var(false));
    if (contains(reply, TemperatureReply)) {
        const boost::optional<double> t = readReal(after(reply, TemperatureReply));
        if (t) {
            lastTemperature = *t;
            temperatureChanged(*t);
        }
    }
}

void Driver::completeOldest() {
    const unsigned slot = completionCounter % RingSize;
    const bool emergencyStop = contains(lineBuffer[slot], "M112");
    callbackBuffer[slot] = nullptr;  // releases what the caller's callback holds
    if (emergencyStop) {
        // The board restarts its numbering after an emergency stop.
        sendCounter = bufferCounter = completionCounter = 1;
        temperatureTarget = boost::none;
    } else {
        ++completionCounter;
    }
    admitHeldLines();
}

void Driver::publish(const std::string& name, kel::var value) {
    if (onVariable) onVariable(name, value);
}

// ---------------------------------------------------------------- temperature

void Driver::temperatureChanged(double temperature) {
    if (!temperatureTarget) return;
    TemperatureWait& wait = *temperatureTarget;
    const bool met =
        wait.ensureUnder ? temperature < wait.target : std::fabs(temperature - wait.target) < 1.0;
    if (met) {
        const ProgressCallback callback = wait.callback;
        temperatureTarget = boost::none;
        if (callback) callback(ok(), 1.0);
        return;
    }
    // A wait that starts at its target has no distance to cover: it reports no
    // progress until its condition holds.
    const double span = std::fabs(wait.start - wait.target);
    if (!(span > 0.0)) return;
    const double progress = 1.0 - std::fabs(temperature - wait.target) / span;
    if (lastTemperatureProgress <= progress) {
        lastTemperatureProgress = progress;
        if (wait.callback) wait.callback(ok(), progress);
    }
}

// ---------------------------------------------------------------- sending

void Driver::pushGcode(std::string gcode, ProgressCallback callback, WhileAway whileAway) {
    // A callback of a reply (the job streamer pushing its next line) runs on the
    // strand: its push waits in `deferredPushes` until that reply is handled, which
    // saves a hop to another pool thread per line. Every other caller posts.
    if (strand.running_in_this_thread() && handlingReply) {
        deferredPushes.push_back(Push{std::move(gcode), std::move(callback), whileAway});
        return;
    }
    strand.post(guarded([this, gcode, callback, whileAway]() mutable {
        enqueue(std::move(gcode), std::move(callback), whileAway);
    }));
}

void Driver::enqueue(std::string gcode, ProgressCallback callback, WhileAway whileAway) {
    if (link != Link::Up) {
        if (link == Link::Away && whileAway == WhileAway::WaitForReturn) {
            awaitedLines.push_back(Push{std::move(gcode), std::move(callback), whileAway});
        } else if (callback) {
            callback(link == Link::Stopped ? aborted() : make_error_code(boardLost), 0.0);
        }
        return;
    }
    if (contains(gcode, SetTargetCommand)) {
        gcode = "M104 S" + pastPrefix(gcode, SetTargetCommand);
    } else if (contains(gcode, TemperatureCommand)) {
        const bool under = contains(gcode, EnsureUnderCommand);
        const std::string target = pastPrefix(gcode, under ? EnsureUnderCommand : EnsureAtCommand);
        const boost::optional<double> value = readReal(target);
        temperatureTarget = TemperatureWait{under, value ? *value : 0.0, lastTemperature, callback};
        lastTemperatureProgress = 0.0;
        gcode = under ? std::string("M104 S0") : "M104 S" + target;
        callback = nullptr;  // the caller hears only from the temperature wait
        temperatureChanged(lastTemperature);
    }
    HeldLine line;
    line.completionText = (contains(gcode, "G1 ") || contains(gcode, "G0 ")) ? "OK" : "PERCENT:1";
    const size_t comment = gcode.find(';');
    if (comment != std::string::npos) gcode.erase(comment);
    boost::algorithm::trim(gcode);
    line.command = std::move(gcode);
    line.callback = std::move(callback);
    if (!heldLines.empty() || bufferCounter - completionCounter >= RingSize) {
        heldLines.push_back(std::move(line));
        return;
    }
    place(std::move(line));
}

void Driver::place(HeldLine line) {
    const unsigned slot = bufferCounter % RingSize;
    startingOnBuffer[slot] = "OK";
    completionOnBuffer[slot] = std::move(line.completionText);
    lineBuffer[slot] = makeLine(bufferCounter, line.command);
    callbackBuffer[slot] = std::move(line.callback);
    ++bufferCounter;
    // Already on the strand: the only line pending is sent at once; behind others it
    // waits for its turn in the sending chain.
    if (sendCounter + 1 == bufferCounter) {
        sendOne();
    } else {
        postNextSend();
    }
}

void Driver::admitHeldLines() {
    while (!heldLines.empty() && bufferCounter - completionCounter < RingSize) {
        HeldLine line = std::move(heldLines.front());
        heldLines.pop_front();
        place(std::move(line));
    }
}

void Driver::postNextSend() {
    strand.post(guarded([this]() { sendOne(); }));
}

void Driver::sendOne() {
    if (link != Link::Up || sendCounter == bufferCounter) return;
    const unsigned slot = sendCounter % RingSize;
    // Nothing changes the ring's slot until the write is done: the line is read in place.
    const std::string& line = lineBuffer[slot];
    // The log calls this step by the name it has always had there.
    log("Driver::emptyBuffer() <<<<< " + line);
    ++sendCounter;
    boost::system::error_code error;
    boost::asio::write(serial, boost::asio::buffer(line), error);
    if (error && meansDeviceGone(error)) {
        portLost(error);  // the line fails with every other one in flight
        return;
    }
    if (error) {
        log("Driver::emptyBuffer() error : " + error.message() + "\n");
        // A copy: the callback may push or stop, which changes the ring under it.
        const ProgressCallback callback = callbackBuffer[slot];
        if (callback) callback(error, 0.0);
        return;
    }
    if (sendCounter != bufferCounter) postNextSend();
}

// ---------------------------------------------------------------- loss and return

void Driver::closePort() {
    boost::system::error_code ignoredCloseError;
    serial.close(ignoredCloseError);
    ++connection;
}

void Driver::portLost(const boost::system::error_code& error) {
    if (link != Link::Up) return;
    closePort();
    link = Link::Away;
    const unsigned loss = ++losses;
    returnTimer.expires_from_now(returnWait);
    returnTimer.async_wait(strand.wrap(guarded([this, loss](const boost::system::error_code& timerError) {
        if (timerError == boost::asio::error::operation_aborted || loss != losses || link != Link::Away)
            return;
        link = Link::Gone;
        failAwaitedLines(make_error_code(boardLost));
    })));
    // Whatever was in flight may or may not have run: nothing waits for it. The reply
    // being handled (when a write of its callback found the board gone) ends first.
    strand.post(guarded([this]() { failLinesInFlight(make_error_code(boardLost)); }));
    reconnector.unavailableLogInterval = unavailableLogInterval;
    reconnector.lost(error);
}

void Driver::reopen() {
    if (stopped || link == Link::Up || link == Link::Stopped || !reconnector.open(serial)) return;
    ++connection;
    usedReadBuffer = readBuffer.subBytes(0, 0);
    discardingLongLine = false;
    const unsigned generation = connection;
    // A board that is still starting may swallow the handshake: open it again then.
    answerTimer.expires_from_now(answerTimeout);
    answerTimer.async_wait(
        strand.wrap(guarded([this, generation](const boost::system::error_code& timerError) {
            if (timerError == boost::asio::error::operation_aborted || generation != connection) return;
            reopenFailed(boost::asio::error::timed_out);
        })));
    startHandshake(
        [this, generation](const boost::system::error_code& handshakeError) {
            if (generation != connection) return;
            if (handshakeError) {
                reopenFailed(handshakeError);
                return;
            }
            back();
        },
        false);
}

void Driver::reopenFailed(const boost::system::error_code& error) {
    closePort();
    boost::system::error_code ignoredCancelError;
    answerTimer.cancel(ignoredCancelError);
    reconnector.attemptFailed(error);
}

void Driver::back() {
    boost::system::error_code ignoredCancelError;
    answerTimer.cancel(ignoredCancelError);
    returnTimer.cancel(ignoredCancelError);
    link = Link::Up;
    reconnector.back();
    // The board may have restarted: its axes must be homed again, and its temperature
    // and bed sensor are asked for afresh.
    publish("XY-Calibrated", kel::var(false));
    enqueue("M105", nullptr, WhileAway::Fail);
    enqueue("M119", nullptr, WhileAway::Fail);
    std::deque<Push> awaited;
    awaited.swap(awaitedLines);
    for (Push& push : awaited) enqueue(std::move(push.gcode), std::move(push.callback), push.whileAway);
    if (receiving) receiveLoop();
}

void Driver::failLinesInFlight(const boost::system::error_code& error) {
    std::vector<ProgressCallback> waiting;
    for (unsigned n = completionCounter; n != bufferCounter; ++n) {
        ProgressCallback& callback = callbackBuffer[n % RingSize];
        if (callback) waiting.push_back(std::move(callback));
        callback = nullptr;
    }
    for (HeldLine& line : heldLines) {
        if (line.callback) waiting.push_back(std::move(line.callback));
    }
    heldLines.clear();
    if (temperatureTarget && temperatureTarget->callback) waiting.push_back(temperatureTarget->callback);
    temperatureTarget = boost::none;
    sendCounter = completionCounter = bufferCounter;
    for (const ProgressCallback& callback : waiting) callback(error, 0.0);
}

void Driver::failAwaitedLines(const boost::system::error_code& error) {
    std::deque<Push> awaited;
    awaited.swap(awaitedLines);
    for (const Push& push : awaited) {
        if (push.callback) push.callback(error, 0.0);
    }
}

void Driver::stop() {
    stopped = true;
    strand.dispatch(guarded([this]() { shutDown(); }));
}

void Driver::shutDown() {
    if (link == Link::Stopped) return;
    link = Link::Stopped;
    reconnector.stop();
    boost::system::error_code ignoredCancelError;
    retryTimer.cancel(ignoredCancelError);
    returnTimer.cancel(ignoredCancelError);
    answerTimer.cancel(ignoredCancelError);
    closePort();
    failLinesInFlight(aborted());
    failAwaitedLines(aborted());
}

}  // namespace Driver
}  // namespace Vant
