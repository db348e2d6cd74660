#include "Measure.h"

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <map>
#include <sstream>

namespace Soak {

namespace {

std::string procPath(pid_t pid, const std::string& name) {
    return "/proc/" + std::to_string(pid) + "/" + name;
}

// The names in a /proc folder, without "." and "..".
std::vector<std::string> entries(const std::string& folder) {
    std::vector<std::string> names;
    if (DIR* dir = ::opendir(folder.c_str())) {
        while (const dirent* entry = ::readdir(dir)) {
            if (entry->d_name[0] != '.') names.push_back(entry->d_name);
        }
        ::closedir(dir);
    }
    return names;
}

// What an emulated program has mapped and has resident. qemu-user reserves the
// program's whole address space (4 GiB for a 32-bit one) as one inaccessible mapping
// and maps what the program maps inside it, so that span is covered end to end by
// mappings; the emulator's own heap and code lie outside it. The longest run of
// adjoining mappings is therefore the program's space: its accessible mappings are
// what the program has mapped, and their resident pages what it has resident.
void readEmulated(pid_t pid, double& mappedKb, double& residentKb) {
    struct Mapping {
        unsigned long long begin, end;
        bool accessible;
        double residentKb;
    };
    std::vector<Mapping> mappings;
    std::ifstream smaps(procPath(pid, "smaps"));
    for (std::string line; std::getline(smaps, line);) {
        std::istringstream words(line);
        std::string first, second;
        words >> first >> second;
        const auto dash = first.find('-');
        if (first == "Rss:" && !mappings.empty()) {
            mappings.back().residentKb = std::atof(second.c_str());
        } else if (dash != std::string::npos && first.back() != ':') {
            mappings.push_back({std::stoull(first.substr(0, dash), nullptr, 16),
                                std::stoull(first.substr(dash + 1), nullptr, 16),
                                second.compare(0, 3, "---") != 0, 0});
        }
    }
    std::sort(mappings.begin(), mappings.end(),
              [](const Mapping& x, const Mapping& y) { return x.begin < y.begin; });
    unsigned long long bestSpan = 0;
    mappedKb = residentKb = 0;
    for (std::size_t first = 0, last; first < mappings.size(); first = last + 1) {
        double mapped = 0, resident = 0;
        for (last = first;; ++last) {
            if (mappings[last].accessible) {
                mapped += static_cast<double>(mappings[last].end - mappings[last].begin) / 1024;
                resident += mappings[last].residentKb;
            }
            if (last + 1 == mappings.size() || mappings[last + 1].begin != mappings[last].end) break;
        }
        const unsigned long long span = mappings[last].end - mappings[first].begin;
        if (span > bestSpan) {
            bestSpan = span;
            mappedKb = mapped;
            residentKb = resident;
        }
    }
}

}  // namespace

bool readProcess(pid_t pid, bool emulated, Reading& reading) {
    std::ifstream status(procPath(pid, "status"));
    bool seen = false;
    for (std::string line; std::getline(status, line);) {
        std::istringstream words(line);
        std::string key;
        double value = 0;
        words >> key >> value;
        if (key == "VmSize:") {
            reading.addressKb = value;
            seen = true;
        } else if (key == "VmRSS:") {
            reading.residentKb = value;
        } else if (key == "Threads:") {
            reading.threads = value;
        }
    }
    if (!seen) return false;  // gone, or a zombie without memory
    reading.processResidentKb = reading.residentKb;
    if (emulated) readEmulated(pid, reading.addressKb, reading.residentKb);
    reading.descriptors = static_cast<double>(entries(procPath(pid, "fd")).size());

    // Fields 14 and 15 of stat, counted after the command name, which may hold blanks.
    std::ifstream statFile(procPath(pid, "stat"));
    std::string stat;
    std::getline(statFile, stat);
    const auto close = stat.rfind(')');
    if (close == std::string::npos) return false;
    std::istringstream fields(stat.substr(close + 2));
    std::string field;
    double ticks = 0;
    for (int number = 3; number <= 15 && fields >> field; ++number) {
        if (number >= 14) ticks += std::atof(field.c_str());
    }
    reading.cpuSeconds = ticks / static_cast<double>(::sysconf(_SC_CLK_TCK));
    return true;
}

double threadCpuSeconds(pid_t pid) {
    const std::string tasks = procPath(pid, "task");
    double nanoseconds = 0;
    bool any = false;
    for (const std::string& thread : entries(tasks)) {
        std::ifstream schedstat(tasks + "/" + thread + "/schedstat");
        double onCpu = 0;
        if (schedstat >> onCpu) {
            nanoseconds += onCpu;
            any = true;
        }
    }
    return any ? nanoseconds / 1e9 : -1;
}

Growth Record::fit(const std::string& name, double Reading::*field, double limit) const {
    // Within-life least squares: x and y are taken from each life's own means, so a
    // restart's drop does not count as shrinking.
    std::map<unsigned, std::pair<double, double>> sums;  // life -> (sum x, sum y)
    std::map<unsigned, unsigned> counts;
    for (const Sample& s : samples) {
        if (!counted(s)) continue;
        sums[s.life].first += s.tasks;
        sums[s.life].second += s.reading.*field;
        ++counts[s.life];
    }
    double sxy = 0, sxx = 0;
    for (const Sample& s : samples) {
        if (!counted(s) || counts[s.life] < 2) continue;
        const double mx = sums[s.life].first / counts[s.life];
        const double my = sums[s.life].second / counts[s.life];
        sxy += (s.tasks - mx) * (s.reading.*field - my);
        sxx += (s.tasks - mx) * (s.tasks - mx);
    }
    Growth growth;
    growth.name = name;
    growth.limit = limit;
    growth.counted = sxx > 0;
    growth.perTask = growth.counted ? sxy / sxx : 0;
    return growth;
}

std::vector<Growth> Record::growth(const Limits& limits) const {
    return {fit("address space", &Reading::addressKb, limits.addressKb),
            fit("resident memory", &Reading::residentKb, limits.residentKb),
            fit("threads", &Reading::threads, limits.threads),
            fit("descriptors", &Reading::descriptors, limits.descriptors)};
}

void Record::idleCpu(double& first, double& last) const {
    first = last = -1;
    for (const Sample& s : samples) {
        if (!counted(s) || s.idleCpuPercent < 0) continue;
        if (first < 0) first = s.idleCpuPercent;
        last = s.idleCpuPercent;
    }
}

bool Record::idleCpuOk(const Limits& limits) const {
    double first, last;
    idleCpu(first, last);
    if (!limits.judgeIdleCpu || first < 0 || last < 0) return true;
    return last <= std::max(first * limits.idleCpuRatio, first + limits.idleCpuSlack);
}

unsigned Record::countedTasks() const {
    std::map<unsigned, std::pair<unsigned, unsigned>> spans;  // life -> first, last counted task
    for (const Sample& s : samples) {
        if (!counted(s)) continue;
        auto found = spans.find(s.life);
        if (found == spans.end()) {
            spans[s.life] = {s.tasks, s.tasks};
        } else {
            found->second.second = s.tasks;
        }
    }
    unsigned total = 0;
    for (const auto& span : spans) total += span.second.second - span.second.first;
    return total;
}

void Record::print(std::FILE* out, const Limits& limits) const {
    std::fprintf(out, "%6s %4s %10s %9s %9s %9s %7s %4s %8s %8s\n", "tasks", "life",
                 emulatedProgram ? "mapped MB" : "VmSize MB", "KB/task",
                 emulatedProgram ? "Rss MB" : "VmRSS MB", "KB/task", "threads", "fds", "CPU s", "idle CPU");
    const Sample* previous = nullptr;
    for (const Sample& s : samples) {
        char addressGrowth[32] = "-", residentGrowth[32] = "-", idle[32] = "-";
        if (previous != nullptr && previous->life == s.life && s.tasks > previous->tasks) {
            const double tasks = s.tasks - previous->tasks;
            std::snprintf(addressGrowth, sizeof addressGrowth, "%+.1f",
                          (s.reading.addressKb - previous->reading.addressKb) / tasks);
            std::snprintf(residentGrowth, sizeof residentGrowth, "%+.1f",
                          (s.reading.residentKb - previous->reading.residentKb) / tasks);
        }
        if (s.idleCpuPercent >= 0) std::snprintf(idle, sizeof idle, "%.2f %%", s.idleCpuPercent);
        std::fprintf(out, "%6u %4u %10.1f %9s %9.1f %9s %7.0f %4.0f %8.1f %8s%s\n", s.tasks, s.life,
                     s.reading.addressKb / 1024, addressGrowth, s.reading.residentKb / 1024, residentGrowth,
                     s.reading.threads, s.reading.descriptors, s.reading.cpuSeconds, idle,
                     !s.atRest    ? "  (at the failure)"
                     : counted(s) ? ""
                                  : "  (warm-up)");
        previous = &s;
    }
    std::fprintf(out, "growth per task after warm-up (%u tasks of each daemon life; %u tasks counted):\n",
                 warmUp, countedTasks());
    for (const Growth& g : growth(limits)) {
        const bool memory = g.name == "address space" || g.name == "resident memory";
        if (!g.counted) {
            std::fprintf(out, "  %-16s not enough samples after warm-up\n", g.name.c_str());
        } else if (memory) {
            std::fprintf(out, "  %-16s %+10.1f KB/task  (limit %.0f KB)  %s\n", g.name.c_str(), g.perTask,
                         g.limit, g.ok() ? "ok" : "GROWS");
        } else {
            std::fprintf(out, "  %-16s %+10.3f /task    (limit %.2f)   %s\n", g.name.c_str(), g.perTask,
                         g.limit, g.ok() ? "ok" : "GROWS");
        }
    }
    double first, last;
    idleCpu(first, last);
    if (first >= 0) {
        std::fprintf(out, "  %-16s %.2f %% -> %.2f %% of a core  (limit %.1fx, or +%.1f points)  %s\n",
                     "idle CPU", first, last, limits.idleCpuRatio, limits.idleCpuSlack,
                     !limits.judgeIdleCpu ? "not judged"
                     : idleCpuOk(limits)  ? "ok"
                                          : "GROWS");
    }
}

}  // namespace Soak
