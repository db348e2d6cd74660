// bench_sync: what one change costs the synchronizers, and what a pass with nothing
// to send costs, as the queue's history grows. A printer's queue of live tasks (20
// instances and 8 variables each) and deleted tasks is agreed with a user's; then one
// instance's progress is raised, the printer's pass sends it, the user receives it.
// Prints the best of a few runs (processor time of the calling thread, so other load
// on the machine does not count) with 0 and 10,000 tombstones side by side, and the
// ratio beside its reference (within 2x wanted). An idle pass finds nothing changed.
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "Vant/Synchronization/LocalSynchronizer.h"
#include "Vant/Synchronization/PeerSynchronizer.h"

using kel::var;
using Vant::StateMachine::TaskQueue;
using Vant::Synchronization::LocalSynchronizer;
using Vant::Synchronization::PeerSynchronizer;

namespace {

double threadMicroseconds() {
    timespec now;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return now.tv_sec * 1e6 + now.tv_nsec / 1e3;
}

const int InstancesPerTask = 20;
const int VariablesPerTask = 8;
const int Runs = 15;

struct Figures {
    double send = 1e300;     // the printer's pass that finds the change and sends it
    double receive = 1e300;  // the user's end adding it to its queues
    double idle = 1e300;     // a pass with nothing to send
};

// Best times of `Runs` changes; negative when a pass did not send exactly the change.
Figures measure(int liveTasks, int tombstones) {
    LocalSynchronizer printerQueue, userQueue;
    PeerSynchronizer printer(printerQueue, PeerSynchronizer::Side::Printer, std::chrono::milliseconds(0));
    PeerSynchronizer user(userQueue, PeerSynchronizer::Side::User, std::chrono::milliseconds(0));
    var sent;
    printer.pushMessage >> [&sent](var message) { sent = message; };

    for (int t = 0; t < tombstones; ++t) printerQueue.deleteTask(printerQueue.makeTask("Packaging"));
    std::vector<std::pair<std::string, std::string>> instances;
    for (int t = 0; t < liveTasks; ++t) {
        const std::string task = printerQueue.makeTask("Printing");
        for (int i = 0; i < InstancesPerTask; ++i)
            instances.emplace_back(task, printerQueue.makeInstance(task, "Layering"));
        for (int v = 0; v < VariablesPerTask; ++v)
            printerQueue.setVariable(task, "variable" + std::to_string(v), v);
    }
    Figures best;
    if (!printer.synchronizeOnce()) best.send = -1;  // everything, agreed from now on
    user.onMessage(var::fromJsonString(sent.toJsonString()));
    printer.onNotification();

    for (int r = 0; r < Runs && best.send >= 0; ++r) {
        const auto& changed = instances[(instances.size() / Runs) * r + 7];
        printerQueue.updateInstanceProgress(changed.first, changed.second, 0.5);
        double start = threadMicroseconds();
        const bool found = printer.synchronizeOnce();
        best.send = std::min(best.send, threadMicroseconds() - start);
        if (!found || sent["tasks"].size() != 1) best.send = -1;
        const var received = var::fromJsonString(sent.toJsonString());
        start = threadMicroseconds();
        user.onMessage(received);
        best.receive = std::min(best.receive, threadMicroseconds() - start);
        printer.onNotification();
        start = threadMicroseconds();
        const bool idle = !printer.synchronizeOnce();
        best.idle = std::min(best.idle, threadMicroseconds() - start);
        if (!idle) best.send = -1;
    }
    if (userQueue.getInstanceProgress(instances[7].first, instances[7].second) != 0.5) best.send = -1;
    return best;
}

}  // namespace

int main() {
    const int live = 10;
    const Figures empty = measure(live, 0);
    const Figures history = measure(live, 10000);
    const Figures large = measure(1000, 10000);
    if (empty.send < 0 || history.send < 0 || large.send < 0) {
        std::printf("a pass did not find exactly the one change\n");
        return 1;
    }
    std::printf("one change (µs, CPU)     %d live tasks    + 10000 tombstones   ratio (wanted <= 2)\n", live);
    std::printf("  printer's pass sends   %14.1f %20.1f %10.2f\n", empty.send, history.send,
                history.send / empty.send);
    std::printf("  user receives          %14.1f %20.1f %10.2f\n", empty.receive, history.receive,
                history.receive / empty.receive);
    std::printf("idle pass (µs, CPU)      %14.2f %20.2f\n", empty.idle, history.idle);
    std::printf("with 1000 live tasks and 10000 tombstones: pass %.1f µs, receive %.1f µs, idle %.2f µs\n",
                large.send, large.receive, large.idle);
    return 0;
}
