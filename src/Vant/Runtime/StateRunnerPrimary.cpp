// The primary states of StateRunner: one G-code line or driver command, a timed
// pause, a request that waits for a user, or one of the special jobs (download,
// slicing, layering, Wi-Fi connection and scan). The G-code and the three file jobs
// return at once and finish the state from their callbacks on I/O threads; the
// pause and the Wi-Fi jobs block the runner's own thread.
#include "Vant/Runtime/StateRunner.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <iostream>
#include <memory>
#include <sstream>
#include <thread>

#include "Vant/Runtime/Downloader.h"
#include "Vant/Runtime/Layerer.h"
#include "Vant/Runtime/Slicer.h"
#include "Vant/Runtime/StateKeeper.h"
#include "Vant/Log.h"
#include "Vant/Platform.h"
#include "Vant/Process.h"

namespace Vant {
namespace Runtime {

namespace {

const std::string LogPrefix = "StateRunner::runAsPrimary() ";

void log(const std::string& text) {
    logLine(LogPrefix + text);
}

// A new name in the temporary folder: 16 hexadecimal digits of 8 random bytes.
std::string temporaryFile() {
    return Platform::tempFileFolder() + kel::var::randomHex(8).stringValue();
}

// Failed jobs leave no half-written file behind in the temporary folder.
void discard(const std::string& path) {
    std::remove(path.c_str());
}

// A task variable read as a string; `fallback` when the task does not have it. A
// value of another kind throws, which fails the state.
std::string stringVariable(StateKeeper& keeper, const std::string& taskId, const std::string& name,
                           const std::string& fallback) {
    if (!keeper.hasVariable(taskId, name)) return fallback;
    const kel::var value = keeper.getVariable(taskId, name);
    if (value.isUndefined()) return fallback;
    return value.stringValue();
}

// The failure's name for an error the driver reported: "BoardLost" when the board
// went away (or was away), `otherwise` for any other.
std::string driverFailure(const boost::system::error_code& error, const std::string& otherwise) {
    return error == Vant::Driver::make_error_code(Vant::Driver::boardLost) ? "BoardLost" : otherwise;
}

}  // namespace

std::string escape(const std::string& s) {
    std::string escaped;
    escaped.reserve(s.size());
    for (char c : s) {
        if (c == '\\' || c == '"') escaped += '\\';
        escaped += c;
    }
    return escaped;
}

void StateRunner::runAsPrimary() {
    guarded("runAsPrimary()", [this] { runPrimary(); });
}

void StateRunner::runPrimary() {
    const StateType st = getstateType();
    const std::string name = field(st, "stateType").stringValue("");
    if (field(st, "special").isDefined()) {
        runSpecial(name);
        return;
    }
    if (name == "AskAdjustment") keeper->setCalibratingStateRunner(shared_from_this());
    const kel::var gcode = field(st, "gcode");
    // Without a command the state is a request: a user completes it through the task
    // queue, or the task's interruption ends it.
    if (gcode.isUndefined()) return;
    if (!gcode.stringValue().empty()) {
        runGcode(gcode.stringValue());
        return;
    }
    // The pause lasts one fifth of the stated duration.
    pause(number(field(st, "duration")) * 0.2);
}

void StateRunner::runGcode(const std::string& gcode) {
    // In a task already interrupted this is one of its resetting states: its command
    // waits for a lost board to come back and put the printer in order; any other
    // command fails at once while the board is away.
    const auto whileAway = keeper->sync.hasVariable(taskId, "Interrupted")
                               ? Vant::Driver::Driver::WhileAway::WaitForReturn
                               : Vant::Driver::Driver::WhileAway::Fail;
    std::shared_ptr<StateRunner> self = shared_from_this();
    keeper->driver.pushGcode(
        gcode,
        [self](boost::system::error_code error, double progress) {
            self->reportGuarded("runAsPrimary() G-code", [&] {
                if (self->interrupted()) return false;
                if (error) {
                    self->fail(driverFailure(error, "DriverError"));
                    return false;
                }
                self->setProgress(progress);
                return true;
            });
        },
        whileAway);
}

void StateRunner::pause(double duration) {
    const double step = 0.3;
    // Steps while i * step < duration; the margin keeps a rounding error of the
    // product (15 * 0.2 is a hair above 3) from adding a step.
    const int steps = static_cast<int>(std::ceil(duration / step - 1e-9));
    for (int i = 0; i < steps; ++i) {
        if (interrupted() || keeper->stopping()) return;
        std::this_thread::sleep_for(keeper->pauseStep);
        double progress = i * step / duration;
        if (progress >= 1.0) progress = 0.9999999;
        setProgress(progress);
    }
    setProgress(1.0);
}

void StateRunner::runSpecial(const std::string& name) {
    if (name == "Downloading") {
        downloadModel();
    } else if (name == "Slicing") {
        sliceModel();
    } else if (name == "Layering") {
        layerModel();
    } else if (name == "ConnectWifi") {
        connectWifi();
    } else if (name == "FetchWifiList") {
        fetchWifiList();
    } else {
        log("unknown special state " + name + ", nothing to run");
    }
}

// The cached file named by a task variable; when the cache does not have it, the
// state fails and nothing is given.
boost::optional<std::string> StateRunner::cachedFile(const std::string& idVariable,
                                                     const std::string& missing, const std::string& failure) {
    const std::string id = stringVariable(*keeper, taskId, idVariable, "");
    const boost::optional<std::string> path = keeper->fileCache.getFile(id);
    if (keeper->fileCache.hasFile(id) && path) return path;
    log(missing);
    fail(failure);
    return boost::none;
}

// A download or slicing run reports here: stop when the task is interrupted, fail
// on the job's failure, follow its progress, and at its end let `finish` take the
// file into the cache (false: the state fails). The temporary file never stays
// behind a failure.
bool StateRunner::reportFileJob(const FileJob& job, double progress, const std::function<bool()>& finish) {
    const std::string where = "runAsPrimary() " + job.name;
    return reportGuarded(where.c_str(), [&] {
        if (interrupted()) {
            discard(job.tempPath);
            return false;
        }
        if (progress < 0) {
            log(job.problem);
            discard(job.tempPath);
            fail(progress == Slicer::TimedOut && !job.timedOut.empty() ? job.timedOut : job.failure);
            return false;
        }
        if (progress < 1.0) {
            setProgress(progress);
            return true;
        }
        if (finish()) {
            setProgress(1.0);
        } else {
            discard(job.tempPath);
            fail(job.failure);
        }
        return true;
    });
}

void StateRunner::downloadModel() {
    const std::string fileId = stringVariable(*keeper, taskId, "fileId", "");
    if (keeper->fileCache.hasFile(fileId)) {
        log("Downloading : Found in cache");
        setProgress(1.0);
        return;
    }
    const kel::var link = keeper->getVariable(taskId, "fileLink");
    if (!link.isString()) {
        log("Downloading : file link missing");
        fail("FailedDownloading");
        return;
    }
    const std::string tempStlPath = temporaryFile();
    FileJob job{"Downloading", "Downloading : problem during downloading", "FailedDownloading", tempStlPath,
                ""};
    std::shared_ptr<StateRunner> self = shared_from_this();
    Downloader().download(keeper->io, link.stringValue(), tempStlPath, [self, job, fileId](double progress) {
        return self->reportFileJob(job, progress, [&] {
            if (self->keeper->fileCache.takeFile(fileId, job.tempPath)) return true;
            log("Downloading : Caching failed (checksum or writing)");
            return false;
        });
    });
}

void StateRunner::sliceModel() {
    const boost::optional<std::string> stlPath =
        cachedFile("fileId", "Slicing : stl file missing", "FailedSlicing");
    if (!stlPath) return;
    const std::string tempGcodePath = temporaryFile();
    kel::var parameters = keeper->sync.getTask(taskId)["data"];
    if (!parameters.isMap()) parameters = kel::var_map();
    FileJob job{"Slicing", "Slicing : problem during slicing", "FailedSlicing", tempGcodePath,
                TimedOutSlicing};
    std::shared_ptr<StateRunner> self = shared_from_this();
    Slicer slicer(Slicer::defaultPython(), Slicer::defaultScript(), keeper->slicerTimeout);
    slicer.slice(keeper->io, *stlPath, tempGcodePath, parameters, [self, job](double progress) {
        return self->reportFileJob(job, progress, [&] {
            const boost::optional<std::string> gcodeId = self->keeper->fileCache.takeFile(job.tempPath);
            if (gcodeId) {
                self->keeper->setVariable(self->taskId, "gcodeId", *gcodeId);
                return true;
            }
            log("Slicing : cache writing failed");
            return false;
        });
    });
}

void StateRunner::layerModel() {
    const boost::optional<std::string> gcodePath =
        cachedFile("gcodeId", "Layering : gcode file missing", "FailedLayering");
    if (!gcodePath) return;
    log("Layering : about to run gcode file : " + *gcodePath);
    // The layerer's own handlers keep it alive until the job ends; it calls back only
    // from them, so the callback may hold it by a plain pointer.
    std::shared_ptr<StateRunner> self = shared_from_this();
    auto layerer = std::make_shared<Layerer>(keeper->io, keeper->driver, *gcodePath);
    const Layerer* job = layerer.get();
    layerer->layer([self, job](double progress) {
        return self->reportGuarded("runAsPrimary() Layering", [&] {
            if (progress < 0) {
                log("Layering problem");
                progress = -2.0;
            }
            if (self->interrupted()) progress = -2.0;
            if (progress > 1.0) progress = 1.0;
            if (progress < 0) {
                self->fail(driverFailure(job->failure(), "FailedLayering"));
                return false;
            }
            self->setProgress(progress);
            return true;
        });
    });
}

void StateRunner::connectWifi() {
    const std::string ssid = stringVariable(*keeper, taskId, "WifiDetails.Ssid", "unknownSsid");
    const std::string password = stringVariable(*keeper, taskId, "WifiDetails.Password", "missingPassword");
    // The script takes the network name with its blanks written as "++"; the pass
    // phrase goes unchanged. Both travel as arguments of their own, never through a
    // shell, so no character in them can run anything.
    std::string ssidArgument;
    for (char c : ssid) {
        if (c == ' ') {
            ssidArgument += "++";
        } else {
            ssidArgument += c;
        }
    }
    const std::vector<std::string> argv{Platform::python(), Platform::wifiScriptPath(), "connect",
                                        ssidArgument, password};
    log("[ConnectWifi] command : " + argv[0] + " " + argv[1] + " connect \"" + escape(ssidArgument) +
        "\" \"" + escape(password) + "\"");
    runWifiScript("[ConnectWifi]", argv, "no answer from the script", [this](const std::string& line) {
        log("[ConnectWifi] returned : " + line);
        if (line.find("onnect") == std::string::npos) return false;
        const bool success = line.find("wifi") != std::string::npos &&
                             line.find("Connected to wifi: None") == std::string::npos;
        keeper->setVariable(taskId, "ConnectWifi.Connected", success);
        setProgress(1.0);
        return true;
    });
}

void StateRunner::fetchWifiList() {
    const std::vector<std::string> argv{Platform::python(), Platform::wifiScriptPath(), "scan"};
    log("[FetchWifiList] command : " + argv[0] + " " + argv[1] + " " + argv[2]);
    runWifiScript("[FetchWifiList]", argv, "no list from the script", [this](const std::string& line) {
        log("[FetchWifiList] returned : " + line);
        const kel::var wifiList = kel::var::fromJsonString(line);
        log("[FetchWifiList] setting FetchWifiList.Ssids = " + wifiList.toJsonString());
        keeper->setVariable(taskId, "FetchWifiList.Ssids", wifiList);
        log("[FetchWifiList] Progress to 1");
        setProgress(1.0);
        return true;
    });
}

void StateRunner::runWifiScript(const std::string& tag, const std::vector<std::string>& argv,
                                const std::string& noAnswer,
                                const std::function<bool(const std::string&)>& take) {
    Process script(argv);
    if (!script.started()) {
        log(tag + " the script did not start: " + script.error());
        fail("FailedWifi");
        return;
    }
    const Process::Clock::time_point deadline = Process::Clock::now() + keeper->wifiScriptTimeout;
    // Waits in steps of the poll interval, so that a stopping keeper is not held.
    auto nextStep = [&] { return std::min(deadline, Process::Clock::now() + keeper->pollInterval); };
    auto givingUp = [&] { return keeper->stopping() || Process::Clock::now() >= deadline; };
    bool answered = false;
    bool outOfTime = false;
    std::string line;
    for (;;) {
        const Process::Read read = script.readLine(line, nextStep());
        if (read == Process::Read::End) break;
        if (read == Process::Read::Line) {
            // Once answered, the rest of the output is only drained.
            if (!answered) answered = take(line);
        } else if (givingUp()) {
            outOfTime = true;
            break;
        }
    }
    while (!outOfTime && !script.endsBy(nextStep())) outOfTime = givingUp();
    if (!outOfTime) {
        script.wait();
    } else {
        // Only the script's own process group: it may have started helpers of its own.
        log(tag + " the script did not end within " + std::to_string(keeper->wifiScriptTimeout.count()) +
            " ms; ended.");
        script.end();
    }
    if (answered || keeper->stopping()) return;
    // A script that ends or hangs without an answer would leave the task waiting forever.
    log(tag + " " + noAnswer);
    fail(outOfTime ? TimedOutWifi : "FailedWifi");
}

}  // namespace Runtime
}  // namespace Vant
