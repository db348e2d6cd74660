// Reads and writes the compact text of a task queue (1000 tasks, each with 20 state
// instances and 8 variables of mixed kinds) with kel::var and, on the same text,
// with RapidJSON's DOM, and prints the throughput of both side by side.
//   bench_json [tasks]
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "kel/var.h"

using kel::var;

namespace {

const char* const StateTypes[] = {
    "StartingUp", "TakingBed",        "PrintingHeatingNozzle", "LevellingBed",      "LoadingFilament",
    "Printing",   "EjectingFilament", "WaitingForUser",        "CalibratingNozzle", "DetectingBed"};

var makeInstance(const std::string& id, int k) {
    var instance;
    instance["id"] = id;
    instance["class"] = "StateInstance";
    instance["stateType"] = StateTypes[k % 10];
    instance["progress"] = k % 3 == 0 ? 1.0 : (k % 8) / 8.0;
    return instance;
}

var makeTask(int t) {
    var task;
    task["id"] = var::randomHex(4);
    task["class"] = "Task";
    task["stateType"] = StateTypes[t % 10];
    var instances = task["instances"];
    for (int k = 0; k < 20; ++k) {
        const std::string id = var::randomHex(4).stringValue();
        instances[id] = makeInstance(id, k + t);
    }
    var data = task["data"];
    data["Interrupted"] = t % 7 == 0 ? "NozzleTooCold" : "";
    data["TakingBed.BedOn"] = t % 2 == 0;
    data["TakingBed.PreHeating"] = 0.5 + t % 4;
    data["layer"] = t * 13;
    data["fileLink"] = "http://127.0.0.1:8000/models/part-" + std::to_string(t) + ".stl";
    data["WifiDetails"]["Ssid"] = "workshop";
    data["WifiDetails"]["Security"] = "wpa2";
    data["offsets"] = {var(0.25), var(-1.5), var(12.75)};
    data["retries"] = t % 5;
    return task;
}

var makeQueue(int tasks) {
    var queue;
    var list = queue["tasks"];
    for (int t = 0; t < tasks; ++t) list.add(makeTask(t));
    return queue;
}

// CPU time of the calling thread, so that a busy machine (a build beside the
// benchmark) slows both sides alike instead of whichever runs at the wrong moment.
double threadSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// Best time of several runs of f, in seconds (at least 10 runs and half a second).
// Each run includes releasing what it built.
template <typename F>
double bestSeconds(F&& f) {
    double best = 1e9;
    const double start = threadSeconds();
    for (int run = 0; run < 10 || threadSeconds() - start < 0.5; ++run) {
        const double t0 = threadSeconds();
        f();
        best = std::min(best, threadSeconds() - t0);
    }
    return best;
}

}  // namespace

int main(int argc, char** argv) {
    const int tasks = argc > 1 ? std::atoi(argv[1]) : 1000;
    const var queue = makeQueue(tasks);
    const std::string text = queue.toJsonString();
    const double mb = static_cast<double>(text.size()) / 1e6;

    size_t sink = 0;
    const double kelRead = bestSeconds([&] { sink += var::fromJsonString(text).size(); });
    const double kelWrite = bestSeconds([&] { sink += queue.toJsonString().size(); });

    rapidjson::Document document;
    document.Parse(text.c_str(), text.size());
    if (document.HasParseError()) {
        std::fprintf(stderr, "RapidJSON refused the text\n");
        return 1;
    }
    const double rjRead = bestSeconds([&] {
        rapidjson::Document d;
        d.Parse(text.c_str(), text.size());
        sink += d.MemberCount();
    });
    const double rjWrite = bestSeconds([&] {
        rapidjson::StringBuffer buffer;
        rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
        document.Accept(writer);
        sink += buffer.GetSize();
    });

    if (!(var::fromJsonString(text) == queue)) {
        std::fprintf(stderr, "the text does not read back to the queue\n");
        return 1;
    }
    std::printf("bench_json: %d tasks, %.2f MB of compact text (check %zu)\n", tasks, mb, sink % 10);
    std::printf("%-8s %12s %12s %8s\n", "", "kel MB/s", "RapidJSON", "ratio");
    std::printf("%-8s %12.1f %12.1f %8.2f\n", "read", mb / kelRead, mb / rjRead, rjRead / kelRead);
    std::printf("%-8s %12.1f %12.1f %8.2f\n", "write", mb / kelWrite, mb / rjWrite, rjWrite / kelWrite);
    return 0;
}
