// tolvane-democlient: a small client for the demo. It finds a printer by its
// announcement, connects, runs a "StartingUp" task and then a whole "Printing" job
// of a model given by its link and MD5 digest, answering the job's requests itself,
// and shows each state's progress as it goes. Exits 0 once the print has completed,
// 1 with a message saying why otherwise. The client's own log goes to a file, so the
// terminal shows only the job.
//
//   tolvane-democlient --model URL --md5 DIGEST [--log FILE] [--timeout SECONDS]
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/io_service.hpp>

#include "JobFollower.h"
#include "Vant/Ferrow/Startup.h"
#include "Vant/StateMachine/build.h"
#include "Vant/User/Printer.h"
#include "Vant/User/User.h"
#include "kel/bytes.h"
#include "kel/var.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Options {
    std::string model;
    std::string md5;
    std::string log = "/dev/null";
    int timeoutSeconds = 900;
};

bool parse(int argc, char** argv, Options& options) {
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string name = argv[i];
        const std::string value = argv[i + 1];
        if (name == "--model") {
            options.model = value;
        } else if (name == "--md5") {
            options.md5 = value;
        } else if (name == "--log") {
            options.log = value;
        } else if (name == "--timeout") {
            options.timeoutSeconds = std::atoi(value.c_str());
        } else {
            return false;
        }
    }
    return !options.model.empty() && options.md5.size() == 32 && options.timeoutSeconds > 0;
}

// The terminal keeps the job's lines; the client's own log lines go to `logPath`.
std::FILE* keepTerminalAndLogTo(const std::string& logPath) {
    std::fflush(stdout);
    std::FILE* terminal = ::fdopen(::dup(1), "w");
    const int log = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (log >= 0) {
        ::dup2(log, 1);
        ::close(log);
    }
    return terminal;
}

class Demo {
public:
    Demo(std::FILE* out, const Options& options) : out(out), options(options) {}

    // Each step returns false after printing why it did not get through.
    bool findPrinter(Vant::User::User& user) {
        say("Looking for a printer on the local network (it announces itself every 3 s)...");
        printer = nullptr;
        if (!waitFor([&]() {
                for (Vant::User::Printer* p : user.getPrinters()) {
                    if (p->connected()) printer = p;
                }
                return printer != nullptr;
            })) {
            say("No printer answered in time: is the printer running and on the same network?");
            return false;
        }
        say("Connected to printer " + shortKey(printer->getPublicKey()) + " at " +
            printer->getAvailabeAddress() + " (protocol version " + std::to_string(printer->getVersion()) +
            ").");
        return true;
    }

    bool run(const std::string& stateType, const std::string& what) {
        say("");
        say(what);
        Vant::Synchronization::LocalSynchronizer& queue = printer->taskQueue();
        const std::string taskId = queue.makeTask(stateType);
        JobFollower follower(
            queue, taskId, out,
            [this, &queue](const std::string& task, const std::string& instance, const std::string& type) {
                answer(queue, task, instance, type);
            });
        if (!waitFor([&]() { return follower.poll(); })) {
            say("The \"" + stateType + "\" task did not finish in time.");
            return false;
        }
        const std::string failure = follower.interruption();
        if (!failure.empty()) {
            say("The \"" + stateType + "\" task was interrupted: " + failure + ".");
            return false;
        }
        say("\"" + stateType + "\" has completed.");
        return true;
    }

    void say(const std::string& line) {
        std::fprintf(out, "%s\n", line.c_str());
        std::fflush(out);
    }

private:
    void answer(Vant::Synchronization::LocalSynchronizer& queue, const std::string& taskId,
                const std::string& instanceId, const std::string& type) {
        if (type == "Uploading") {
            // The printer downloads the model from this link and checks it against the digest.
            queue.setVariable(taskId, "fileLink", kel::var(options.model));
            queue.setVariable(taskId, "fileId", kel::var(options.md5));
            say("           the printer asks for the model: sending " + options.model + " (MD5 " +
                options.md5 + ")");
        } else if (type == "AskClearBed") {
            say("           the printer asks to clear the bed: answering that it is clear");
        } else {
            say("           the printer asks \"" + type + "\": answering yes");
        }
        queue.updateInstanceProgress(taskId, instanceId, 1.0);
    }

    // Polls `done` every 200 ms until it holds or the demo's time is up.
    bool waitFor(const std::function<bool()>& done) {
        const auto end = started + std::chrono::seconds(options.timeoutSeconds);
        while (!done()) {
            if (Clock::now() >= end) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        }
        return true;
    }

    static std::string shortKey(const kel::bytes& key) {
        const std::string hex = key.toHex();
        return hex.substr(0, 8) + "..." + hex.substr(hex.size() - 8);
    }

    std::FILE* out;
    const Options options;
    const Clock::time_point started = Clock::now();
    Vant::User::Printer* printer = nullptr;
};

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!parse(argc, argv, options)) {
        std::fprintf(stderr, "usage: %s --model URL --md5 DIGEST [--log FILE] [--timeout SECONDS]\n",
                     argv[0]);
        return 2;
    }
    Vant::StateMachine::buildStateMachine();
    std::FILE* out = keepTerminalAndLogTo(options.log);

    boost::asio::io_service io;
    std::unique_ptr<boost::asio::io_service::work> work(new boost::asio::io_service::work(io));
    std::vector<std::thread> pool;
    for (int i = 0; i < 3; ++i) pool.emplace_back([&io]() { Vant::Ferrow::runIoService(io); });

    bool completed = false;
    {
        Demo demo(out, options);
        Vant::User::User user(io, kel::bytes(32).randomize());
        user.start();
        completed =
            demo.findPrinter(user) &&
            demo.run("StartingUp", "Step 1 of 2: starting the printer up (homing, freeing the bed)") &&
            demo.run("Printing", "Step 2 of 2: printing the model (download, slicing, heating, layers)");
        demo.say("");
        demo.say(completed ? "The print has completed." : "The demo did not complete.");
        user.stop();
    }
    work.reset();
    io.stop();
    for (auto& thread : pool) thread.join();
    std::fclose(out);
    return completed ? 0 : 1;
}
