// Vant::Runtime::Slicer: turns a cached model (STL) into a G-code file by running the
// external slicer, started without a shell in a process group of its own. slice()
// returns at once; the run is one handler posted on the I/O service that blocks its
// pool thread while the slicer works, following its output for progress.
//
// clang-format off
//   caller (runner) --slice()--> post --> I/O thread: start slicer, read its lines
//                                          |-- "Slicing: NN"      -> onProgress(NN / 100, below 1)
//                                          |-- "GCode file saved" -> onProgress(1.0)
//                                          |-- crash, end of output or false from onProgress
//                                          |   -> end the slicer's group, onProgress(-2.0)
//                                          `-- still running at the time-out
//                                              -> end the slicer's group, onProgress(TimedOut)
// clang-format on
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include <boost/asio/io_service.hpp>

#include "kel/var.h"

namespace Vant {
namespace Runtime {

class Slicer {
public:
    // How long the slicer may run: slicing a large model on the board takes many minutes.
    static constexpr std::chrono::milliseconds DefaultTimeout{std::chrono::minutes(90)};
    // The final report of a slicer that was still running at its time-out.
    static constexpr double TimedOut = -3.0;

    // The interpreter and the slicer's script; the daemon's come from the platform.
    explicit Slicer(std::string python = defaultPython(), std::string script = defaultScript(),
                    std::chrono::milliseconds timeout = DefaultTimeout);
    virtual ~Slicer();

    // Slices `stl` into `gcode` with the print settings of `properties` (a map; keys
    // "transformMatrix", "layerHeight", "adhesion", "support", all optional).
    // onProgress gets 0 to 0.999999 while slicing, then one final 1.0, -2.0 (failed)
    // or TimedOut; returning false stops the slicer.
    void slice(boost::asio::io_service& io, std::string stl, std::string gcode, kel::var properties,
               std::function<bool(double)> onProgress);

    // The slicer's argument vector (the interpreter first) for these settings.
    std::vector<std::string> arguments(const std::string& stl, const std::string& gcode,
                                       const kel::var& properties) const;

    // The percentage of a "Slicing: NN" line as a share below 1.0; -1 when the line
    // has no such report or no whole number follows it.
    static double progressOf(const std::string& line);

    static std::string defaultPython();
    static std::string defaultScript();

private:
    void run(const std::vector<std::string>& argv, const std::function<bool(double)>& onProgress) const;

    std::string python;
    std::string script;
    std::chrono::milliseconds timeout;
};

}  // namespace Runtime
}  // namespace Vant
