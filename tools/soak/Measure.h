// What the soak measures of the daemon: one reading of /proc/<pid> (address space,
// resident memory, threads, open descriptors, CPU time), the idle CPU share over a
// short window, and the growth per task fitted over the readings after warm-up.
// Under qemu-user the process read is the emulator with the daemon in it; its memory
// figures are those of the daemon's part. Called from the soak's main thread only.
#pragma once

#include <sys/types.h>

#include <cstdio>
#include <string>
#include <vector>

namespace Soak {

struct Reading {
    // VmSize and VmRSS; under an emulator, what the emulated program has mapped and
    // has resident: the emulator reserves the program's whole address space up front
    // (so its VmSize stays flat while the program's mappings grow inside), and its own
    // memory is not the program's.
    double addressKb = 0;
    double residentKb = 0;
    double processResidentKb = 0;  // VmRSS of the whole process, emulator included
    double threads = 0;
    double descriptors = 0;
    double cpuSeconds = 0;  // user + system time of the whole process
};

// False when the process is gone or /proc cannot be read.
bool readProcess(pid_t pid, bool emulated, Reading& reading);

// On-CPU time of the process's live threads in seconds (nanosecond counters of
// /proc/<pid>/task/*/schedstat, finer than the clock ticks of CPU time); -1 when unknown.
double threadCpuSeconds(pid_t pid);

struct Sample {
    unsigned tasks = 0;      // tasks ended in the whole run when read
    unsigned life = 0;       // which start of the daemon (1, 2, ... after each restart)
    unsigned lifeTasks = 0;  // tasks ended in this life when read
    Reading reading;
    double idleCpuPercent = -1;  // share of one core at idle, -1 when not measured
    bool atRest = true;          // read with the printer at rest (only those count)
};

// One quantity's verdict over the counted samples.
struct Growth {
    std::string name;
    double perTask = 0;  // fitted growth per task
    double limit = 0;
    bool counted = false;  // enough samples to say
    bool ok() const { return !counted || perTask <= limit; }
};

// The bounds a run is held to, per task after warm-up.
struct Limits {
    double addressKb = 100;  // 0.1 MB
    double residentKb = 64;
    double threads = 0.02;  // one thread in 50 tasks
    double descriptors = 0.02;
    bool judgeIdleCpu = true;
    double idleCpuRatio = 1.5;  // last counted idle share against the first
    double idleCpuSlack = 0.5;  // points of a core below which idle CPU is not judged
};

class Record {
public:
    Record(unsigned warmUp, bool emulated) : warmUp(warmUp), emulatedProgram(emulated) {}

    void add(const Sample& sample) { samples.push_back(sample); }
    bool empty() const { return samples.empty(); }
    bool emulated() const { return emulatedProgram; }

    // Address space, resident memory, threads and descriptors: the slope per task of
    // a least-squares fit over the counted samples, each daemon life with its own
    // level (a restart starts the process afresh).
    std::vector<Growth> growth(const Limits& limits) const;
    // Idle CPU of the first and last counted samples (-1 when not measured).
    void idleCpu(double& first, double& last) const;
    bool idleCpuOk(const Limits& limits) const;
    unsigned countedTasks() const;

    // The table, one row per sample with its growth per task since the previous
    // sample of the same life, then the fitted growth and the bounds.
    void print(std::FILE* out, const Limits& limits) const;

private:
    bool counted(const Sample& sample) const { return sample.atRest && sample.lifeTasks >= warmUp; }
    Growth fit(const std::string& name, double Reading::*field, double limit) const;

    const unsigned warmUp;
    const bool emulatedProgram;  // the readings are of a program under an emulator
    std::vector<Sample> samples;
};

}  // namespace Soak
