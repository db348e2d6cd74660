// Vant::Runtime::Layerer: streams the movement lines (G0/G1) of a sliced G-code file
// to the motion-board driver, one line in flight at a time, and reports the share
// of lines sent. Each step runs as a handler on the I/O service; the driver's
// acknowledgement of one line (on its strand) posts the next. Create it with
// std::make_shared: its handlers hold it alive until the job ends.
//
// clang-format off
//   layer() --count lines, open--> post pushNextLine
//   pushNextLine: read next movement line --> driver.pushGcode(line)
//                 `-- none left --> post onProgress(1.0)              (the only 1.0)
//   driver callback (strand): progress 0.0 = acknowledged
//                 --> onProgress(sent / total, below 1.0) --> post pushNextLine
//                 error --> post onProgress(-2.0);  onProgress false --> stop
// clang-format on
#pragma once

#include <cstdio>
#include <functional>
#include <memory>
#include <string>

#include <boost/asio/io_service.hpp>

#include "Vant/Driver/Driver.h"

namespace Vant {
namespace Runtime {

class Layerer : public std::enable_shared_from_this<Layerer> {
public:
    Layerer(boost::asio::io_service& io, Driver::Driver& driver, std::string gcodePath);
    virtual ~Layerer();
    Layerer(const Layerer&) = delete;
    Layerer& operator=(const Layerer&) = delete;

    // Starts the job and returns at once. onProgress gets -2.0 on failure, values
    // that grow with each line and stay below 1.0 while lines remain, and 1.0 once
    // the file is done; when it returns false nothing more is sent.
    void layer(std::function<bool(double)> onProgress);

    // Sends the next movement line; runs as a posted handler.
    void pushNextLine();

    // The driver's error that ended the job with -2.0 (none when it ended otherwise);
    // read from the progress callback.
    const boost::system::error_code& failure() const { return driverError; }

    static const unsigned int lineBufferSize = 1000;

private:
    void lineTaken(unsigned int line, const boost::system::error_code& error, double progress);
    void post(std::function<void()> step);
    void finish(double progress);

    boost::asio::io_service& io;
    Driver::Driver& driver;
    std::string gcodePath;
    unsigned int gcodeCount = 0;
    // Lines the board has acknowledged. Only the step in flight touches it (the
    // driver's acknowledgement, then the next posted step): never two threads at once.
    unsigned int gcodeIt = 0;
    FILE* gcode = nullptr;
    std::function<bool(double)> onProgress;
    boost::system::error_code driverError;  // written before the failure is posted to onProgress
};

// Reads lines until a movement line ("G0 " or "G1 " at its start) and returns it in
// `buffer` without its line ending, or null at the end of the file. A line longer
// than the buffer is skipped whole.
char* getNextGcodeLine(char* buffer, unsigned int size, FILE* file);

// The number of movement lines of a file; 0 when it cannot be opened.
unsigned int countGcode(std::string path);

}  // namespace Runtime
}  // namespace Vant
