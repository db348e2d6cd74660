// Reads and writes the compact text of a task queue (1000 tasks, each with 20 state
// instances and 8 variables of mixed kinds) with kel::var and, on the same text,
// with RapidJSON's DOM, and prints the throughput of both side by side; then the
// time of a deep copy and of a comparison of two equal copies, and the memory the
// value of the text takes.
//   bench_json [tasks]
#include <malloc.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <new>
#include <string>

#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "kel/var.h"

using kel::var;

// The child process that measures memory counts the bytes malloc hands out for
// every allocation (its usable size); elsewhere operator new is malloc as usual.
namespace {
bool counting = false;
long long liveBytes = 0;
}  // namespace

void* operator new(std::size_t size) {
    void* p = std::malloc(size == 0 ? 1 : size);
    if (p == nullptr) throw std::bad_alloc();
    if (counting) liveBytes += static_cast<long long>(malloc_usable_size(p));
    return p;
}
void operator delete(void* p) noexcept {
    if (counting && p != nullptr) liveBytes -= static_cast<long long>(malloc_usable_size(p));
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    operator delete(p);
}

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

// Map entries and array elements of a value, all levels.
long countEntries(const var& v) {
    long n = 0;
    if (v.isMap()) {
        for (const var& e : v.values()) n += 1 + countEntries(e);
    } else if (v.isArray()) {
        for (unsigned k = 0; k < v.size(); ++k) n += 1 + countEntries(v[k]);
    }
    return n;
}

// Bytes the value of the text keeps allocated, read by a fresh child process (so
// that no block freed earlier is reused), with the count of its entries and the
// bytes RapidJSON's document of the same text takes.
bool measureMemory(const std::string& text, long long& kelBytes, long& entries, long long& rjBytes) {
    int fds[2];
    if (pipe(fds) != 0) return false;
    const pid_t child = fork();
    if (child < 0) return false;
    if (child == 0) {
        close(fds[0]);
        long long figures[3] = {0, 0, 0};
        counting = true;
        {
            const var value = var::fromJsonString(text);
            figures[0] = liveBytes;
            figures[1] = countEntries(value);
        }
        counting = false;
        rapidjson::Document d;
        d.Parse(text.c_str(), text.size());
        figures[2] = static_cast<long long>(d.GetAllocator().Size());
        const bool written = write(fds[1], figures, sizeof figures) == static_cast<ssize_t>(sizeof figures);
        _exit(written ? 0 : 1);
    }
    close(fds[1]);
    long long figures[3] = {0, 0, 0};
    const bool read = ::read(fds[0], figures, sizeof figures) == static_cast<ssize_t>(sizeof figures);
    close(fds[0]);
    int status = 0;
    waitpid(child, &status, 0);
    kelBytes = figures[0];
    entries = static_cast<long>(figures[1]);
    rjBytes = figures[2];
    return read && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace

int main(int argc, char** argv) {
    const int tasks = argc > 1 ? std::atoi(argv[1]) : 1000;
    const var queue = makeQueue(tasks);
    const std::string text = queue.toJsonString();
    const double mb = static_cast<double>(text.size()) / 1e6;

    long long kelBytes = 0;
    long long rjBytes = 0;
    long entries = 0;
    if (!measureMemory(text, kelBytes, entries, rjBytes)) {
        std::fprintf(stderr, "the memory of the value could not be measured\n");
        return 1;
    }

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

    const var copy = queue.clone();
    const double kelClone = bestSeconds([&] { sink += queue.clone().size(); });
    const double kelEqual = bestSeconds([&] { sink += queue == copy ? 1 : 0; });
    const double rjClone = bestSeconds([&] {
        rapidjson::Document d;
        d.CopyFrom(document, d.GetAllocator());
        sink += d.MemberCount();
    });
    rapidjson::Document documentCopy;
    documentCopy.CopyFrom(document, documentCopy.GetAllocator());
    const double rjEqual = bestSeconds([&] { sink += document == documentCopy ? 1 : 0; });

    if (!(var::fromJsonString(text) == queue)) {
        std::fprintf(stderr, "the text does not read back to the queue\n");
        return 1;
    }
    std::printf("bench_json: %d tasks, %.2f MB of compact text (check %zu)\n", tasks, mb, sink % 10);
    std::printf("%-8s %12s %12s %8s\n", "", "kel MB/s", "RapidJSON", "ratio");
    std::printf("%-8s %12.1f %12.1f %8.2f\n", "read", mb / kelRead, mb / rjRead, rjRead / kelRead);
    std::printf("%-8s %12.1f %12.1f %8.2f\n", "write", mb / kelWrite, mb / rjWrite, rjWrite / kelWrite);
    std::printf("%-8s %12s %12s %8s\n", "", "kel ms", "RapidJSON", "ratio");
    std::printf("%-8s %12.2f %12.2f %8.2f\n", "clone", kelClone * 1e3, rjClone * 1e3, rjClone / kelClone);
    std::printf("%-8s %12.2f %12.2f %8.2f\n", "==", kelEqual * 1e3, rjEqual * 1e3, rjEqual / kelEqual);
    std::printf(
        "memory of the read value: kel %lld bytes (%.1f per entry, %ld entries), RapidJSON %lld bytes\n",
        kelBytes, static_cast<double>(kelBytes) / static_cast<double>(entries), entries, rjBytes);
    return 0;
}
