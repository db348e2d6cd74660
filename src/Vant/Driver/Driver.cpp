#include "Vant/Driver/Driver.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <sstream>

#include <boost/algorithm/string/trim.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>

#include "Vant/Platform.h"

namespace Vant {
namespace Driver {

namespace {

const char* const HandshakeLine = "N1 M105*38\n";
const unsigned ReadBufferSize = 1000;
const unsigned MinimumFreeSpace = 50;

boost::system::error_code ok() {
    return make_error_code(success);
}

// One log line, written in one piece so that lines of several threads never mix.
void log(const std::string& text) {
    std::cout << text;
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

}  // namespace

std::string Driver::defaultDevice() {
    return Platform::motionPort();
}

Driver::Driver(boost::asio::io_service& service, const std::string& device,
               boost::posix_time::time_duration readRetry, boost::posix_time::time_duration handshakeRetry)
    : io(service),
      serial(service, device),
      readBuffer(ReadBufferSize),
      usedReadBuffer(readBuffer.subBytes(0, 0)),
      writingStrand(io),
      retryTimer(io),
      readRetryDelay(readRetry),
      handshakeRetryDelay(handshakeRetry) {
    serial.set_option(boost::asio::serial_port_base::baud_rate(115200));
}

Driver::~Driver() = default;

std::string Driver::makeLine(unsigned n, const std::string& gcode) {
    const std::string text = "N" + std::to_string(n) + " " + gcode;
    unsigned char checksum = 0;
    for (unsigned char c : text) checksum ^= c;
    return text + "*" + std::to_string(static_cast<unsigned>(checksum)) + "\n";
}

// ---------------------------------------------------------------- handshake

void Driver::initialize(std::function<void(boost::system::error_code)> done) {
    writingStrand.post([this, done]() { startHandshake(done); });
}

void Driver::startHandshake(std::function<void(boost::system::error_code)> done) {
    log(std::string("Driver::initialize() <<<<< ") + HandshakeLine);
    boost::asio::async_write(serial, boost::asio::buffer(HandshakeLine, std::strlen(HandshakeLine)),
                             writingStrand.wrap([this, done](const boost::system::error_code& error, size_t) {
                                 log("Driver::initialize() sent. " + error.message() + "\n");
                                 if (error) {
                                     done(error);
                                     return;
                                 }
                                 readHandshakeReply(done);
                             }));
}

void Driver::readHandshakeReply(std::function<void(boost::system::error_code)> done) {
    readLine([this, done](const boost::system::error_code& error, const std::string& line) {
        log("Driver::initialize() read. " + error.message() + "\n");
        if (error) {
            done(error);
            return;
        }
        if (contains(line, "Unknown command")) {
            log("Driver::initialize() failed. Retrying\u2026 \n");
            if (handshakeRetryDelay <= boost::posix_time::seconds(0)) {
                startHandshake(done);
                return;
            }
            retryTimer.expires_from_now(handshakeRetryDelay);
            retryTimer.async_wait(
                writingStrand.wrap([this, done](const boost::system::error_code& timerError) {
                    if (timerError == boost::asio::error::operation_aborted) return;
                    startHandshake(done);
                }));
            return;
        }
        unsigned counter = 2;
        if (!contains(line, "OK")) {
            // The board names the number of its next line at offset 11. A reply without
            // one (a report that crossed the handshake) is not the answer: wait for it.
            const boost::optional<long long> number =
                line.size() > 11 ? readInteger(line.substr(11)) : boost::optional<long long>();
            if (!number || *number < 0 || *number > 0xffffffffLL) {
                log("Driver::initialize() ignoring reply without a line number.\n");
                readHandshakeReply(done);
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
    serial.async_read_some(
        boost::asio::buffer(space),
        writingStrand.wrap(
            [this, usedFrom, handler](const boost::system::error_code& error, size_t received) {
                if (error) {
                    handler(error);
                    return;
                }
                usedReadBuffer = readBuffer.subBytes(
                    static_cast<int>(usedFrom), usedReadBuffer.length() + static_cast<unsigned>(received));
                handler(ok());
            }));
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
    writingStrand.post([this]() { receiveLoop(); });
}

void Driver::receiveLoop() {
    // Lines already buffered are handled in a loop, not by recursion.
    for (boost::optional<std::string> line = extractLineFromReadBuffer(); line;
         line = extractLineFromReadBuffer()) {
        log("Driver::readLine() >>>>> " + *line + "\n");
        handlingReply = true;
        handleReply(*line);
        handlingReply = false;
        while (!deferredPushes.empty()) {
            std::pair<std::string, ProgressCallback> push = std::move(deferredPushes.front());
            deferredPushes.pop_front();
            enqueue(std::move(push.first), std::move(push.second));
        }
    }
    fillReadBuffer([this](const boost::system::error_code& error) {
        if (!error) {
            receiveLoop();
            return;
        }
        log("Driver::handleInputs() error : " + error.message() + "\n");
        retryTimer.expires_from_now(readRetryDelay);
        retryTimer.async_wait(writingStrand.wrap([this](const boost::system::error_code& timerError) {
            if (timerError == boost::asio::error::operation_aborted) return;
            receiveLoop();
        }));
    });
}

// ---------------------------------------------------------------- replies

void Driver::handleReply(const std::string& reply) {
    if (completionCounter != sendCounter) {
        // 1. Correction: the board says its oldest uncompleted line is k. Only a k among
        // the lines in flight can be followed; any other is ignored.
        if (contains(reply, "OK:")) {
            const boost::optional<long long> k = readInteger(after(reply, "OK:"));
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
        if (contains(reply, "PERCENT:")) {
            const boost::optional<double> p = readReal(after(reply, "PERCENT:"));
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
    if (contains(reply, "TEMP:")) {
        const boost::optional<double> t = readReal(after(reply, "TEMP:"));
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

void Driver::pushGcode(std::string gcode, ProgressCallback callback) {
    // A callback of a reply (the job streamer pushing its next line) runs on the
    // strand: its push waits in `deferredPushes` until that reply is handled, which
    // saves a hop to another pool thread per line. Every other caller posts.
    if (writingStrand.running_in_this_thread() && handlingReply) {
        deferredPushes.emplace_back(std::move(gcode), std::move(callback));
        return;
    }
    writingStrand.post([this, gcode, callback]() mutable { enqueue(std::move(gcode), std::move(callback)); });
}

void Driver::enqueue(std::string gcode, ProgressCallback callback) {
    if (contains(gcode, "Driver:Temperature:SetTarget:")) {
        gcode = "M104 S" + gcode.substr(std::min<size_t>(29, gcode.size()));
    } else if (contains(gcode, "Driver:Temperature:")) {
        const bool under = contains(gcode, "Driver:Temperature:EnsureUnder:");
        const std::string target = gcode.substr(std::min<size_t>(under ? 31 : 28, gcode.size()));
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
        emptyBuffer();
    }
}

void Driver::admitHeldLines() {
    while (!heldLines.empty() && bufferCounter - completionCounter < RingSize) {
        HeldLine line = std::move(heldLines.front());
        heldLines.pop_front();
        place(std::move(line));
    }
}

void Driver::emptyBuffer() {
    writingStrand.post([this]() { sendOne(); });
}

void Driver::sendOne() {
    if (sendCounter == bufferCounter) return;
    const unsigned slot = sendCounter % RingSize;
    const std::string line = lineBuffer[slot];
    const ProgressCallback callback = callbackBuffer[slot];
    log("Driver::emptyBuffer() <<<<< " + line);
    ++sendCounter;
    boost::system::error_code error;
    boost::asio::write(serial, boost::asio::buffer(line), error);
    if (error) {
        log("Driver::emptyBuffer() error : " + error.message() + "\n");
        if (callback) callback(error, 0.0);
        return;
    }
    if (sendCounter != bufferCounter) emptyBuffer();
}

}  // namespace Driver
}  // namespace Vant
