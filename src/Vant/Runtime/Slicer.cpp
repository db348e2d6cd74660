#include "Vant/Runtime/Slicer.h"

#include <iostream>
#include <memory>

#include "Vant/Log.h"
#include "Vant/Platform.h"
#include "Vant/Process.h"

namespace Vant {
namespace Runtime {

namespace {

const char* const SlicingMark = "Slicing: ";

std::string matrixText(const kel::var& properties) {
    if (properties.isMap() && properties.has("transformMatrix")) {
        const kel::var& matrix = properties["transformMatrix"];
        bool valid = matrix.isArray() && matrix.size() == 9;
        for (unsigned i = 0; valid && i < 9; ++i) valid = matrix[i].isReal();
        if (valid) return matrix.toJsonString();
    }
    return "[1.0,0.0,0.0,0.0,1.0,0.0,0.0,0.0,1.0]";
}

std::string layerHeightText(const kel::var& properties) {
    if (properties.isMap() && properties.has("layerHeight")) {
        const kel::var& height = properties["layerHeight"];
        if (height.isReal() && height.realValue() > 0.01 && height.realValue() <= 0.5) {
            return "layer_height=" + height.toJsonString();
        }
    }
    return "layer_height=" + kel::var(0.1).toJsonString();
}

std::string adhesionText(const kel::var& properties) {
    if (properties.isMap() && properties.has("adhesion")) {
        const kel::var& adhesion = properties["adhesion"];
        if (adhesion.isString()) {
            const std::string value = adhesion.stringValue();
            if (value == "Raft" || value == "Brim" || value == "None") return "platform_adhesion=" + value;
        }
    }
    return "platform_adhesion=None";
}

std::string supportText(const kel::var& properties) {
    if (properties.isMap() && properties.has("support")) {
        const kel::var& support = properties["support"];
        if (support.isBoolean() && support.booleanValue()) return "support=Touching++buildplate";
    }
    return "support=None";
}

// The command as one line for the log, with the settings in double quotes as a
// shell would be given them; nothing ever runs it through a shell.
std::string commandText(const std::vector<std::string>& argv) {
    std::string text;
    for (size_t i = 0; i < argv.size(); ++i) {
        if (i > 0) text += " ";
        const bool quoted = i > 0 && argv[i - 1] == "-p";
        text += quoted ? "\"" + argv[i] + "\"" : argv[i];
    }
    return text;
}

}  // namespace

std::string Slicer::defaultPython() {
    return Platform::python();
}
std::string Slicer::defaultScript() {
    return Platform::slicerScriptPath();
}

Slicer::Slicer(std::string python, std::string script, std::chrono::milliseconds timeout)
    : python(std::move(python)), script(std::move(script)), timeout(timeout) {}

Slicer::~Slicer() = default;

std::vector<std::string> Slicer::arguments(const std::string& stl, const std::string& gcode,
                                           const kel::var& properties) const {
    const std::string settings =
        layerHeightText(properties) + "," + adhesionText(properties) + "," + supportText(properties);
    return {python, script, "-s", "-t", matrixText(properties), "-p", settings, "-o", gcode, stl};
}

double Slicer::progressOf(const std::string& line) {
    const std::string::size_type mark = line.find(SlicingMark);
    if (mark == std::string::npos) return -1;
    std::string::size_type i = mark + std::char_traits<char>::length(SlicingMark);
    long percent = 0;
    const std::string::size_type first = i;
    for (; i < line.size() && line[i] >= '0' && line[i] <= '9' && i - first < 9; ++i) {
        percent = percent * 10 + (line[i] - '0');
    }
    if (i == first) return -1;  // no number: not a progress report
    const double progress = static_cast<double>(percent) / 100.0;
    return progress >= 1.0 ? 0.999999 : progress;
}

void Slicer::slice(boost::asio::io_service& io, std::string stl, std::string gcode, kel::var properties,
                   std::function<bool(double)> onProgress) {
    // The settings are read here, on the caller's thread, which owns the task's
    // data; the handler gets plain strings.
    std::vector<std::string> argv;
    try {
        argv = arguments(stl, gcode, properties);
    } catch (const std::exception& e) {
        Vant::LogLine() << "Slicer::slice() unreadable settings = " << e.what();
    }
    auto self = std::make_shared<Slicer>(*this);
    io.post([self, argv, onProgress] {
        try {
            if (argv.empty()) {
                onProgress(-2.0);
                return;
            }
            self->run(argv, onProgress);
        } catch (const std::exception& e) {
            Vant::LogLine() << "Slicer::slice() error = " << e.what();
            onProgress(-2.0);
        }
    });
}

void Slicer::run(const std::vector<std::string>& argv, const std::function<bool(double)>& onProgress) const {
    Vant::LogLine() << "Slicer::slice() command : " << commandText(argv);
    // Standard error joins the output: a crash's "Traceback" is written there.
    Process slicer(argv, true);
    double progress = 0;
    bool outOfTime = false;
    const Process::Clock::time_point deadline = Process::Clock::now() + timeout;
    if (!slicer.started()) {
        Vant::LogLine() << "Slicer::slice() cannot start the slicer: " << slicer.error();
    } else {
        std::string line;
        for (;;) {
            const Process::Read read = slicer.readLine(line, deadline);
            if (read == Process::Read::End) break;
            if (read == Process::Read::TimedOut) {
                logLine("Slicer::slice() the slicer did not finish within " +
                        std::to_string(timeout.count()) + " ms; ended.");
                outOfTime = true;
                break;
            }
            if (line.find("Traceback") != std::string::npos) break;
            const double reported = progressOf(line);
            if (reported >= 0) {
                progress = reported;
                if (!onProgress(progress)) break;
            }
            if (line.find("GCode file saved") != std::string::npos) {
                progress = 1.0;
                onProgress(1.0);
                break;
            }
        }
    }
    if (progress < 1.0) {
        // Failed, stopped, out of time, or ended without saving: end the slicer and
        // whatever it started (its engine), and nothing else on the printer.
        slicer.end();
        onProgress(outOfTime ? TimedOut : -2.0);
        return;
    }
    // Saved: let the slicer finish its output and exit, then reap it; one that lingers
    // past its time-out is ended (the destructor).
    std::string rest;
    while (slicer.readLine(rest, deadline) == Process::Read::Line) {
    }
    if (slicer.endsBy(deadline)) slicer.wait();
}

}  // namespace Runtime
}  // namespace Vant
