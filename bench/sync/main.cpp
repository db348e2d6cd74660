// bench_sync: the cost of one pass of a peer synchronizer's worker that finds one
// change (an instance's progress raised) in a local queue of 100, 1000 and 10000
// tasks of 20 instances and 8 variables each: the light copy of the local queue, its
// difference from the agreed queue and the message pushed. Prints the best time of a
// few passes at each size (processor time of the calling thread, which makes the
// pass, so other load on the machine does not count) and the growth from 1000 to 10000 tasks beside its
// reference (10 for linear growth, 12 or less wanted).
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "Vant/Synchronization/LocalSynchronizer.h"
#include "Vant/Synchronization/PeerSynchronizer.h"

using kel::var;
using Vant::StateMachine::StateInstance;
using Vant::StateMachine::Task;
using Vant::StateMachine::TaskQueue;
using Vant::Synchronization::LocalSynchronizer;
using Vant::Synchronization::PeerSynchronizer;

namespace {

double threadMilliseconds() {
    timespec now;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return now.tv_sec * 1e3 + now.tv_nsec / 1e6;
}

const int InstancesPerTask = 20;
const int VariablesPerTask = 8;

// Best time of `runs` passes, each after one progress change; -1 when a pass sent
// nothing or more than the one change.
double bestPassMilliseconds(int tasks, int runs) {
    LocalSynchronizer local;
    TaskQueue queue = local.getEditableQueue();  // filled before anything else runs
    std::vector<std::pair<std::string, std::string>> instances;
    for (int t = 0; t < tasks; ++t) {
        Task task = queue.makeTask("Printing");
        for (int i = 0; i < InstancesPerTask; ++i) {
            StateInstance instance = task.makeStateInstance("Layering");
            instance["progress"] = 0.0;
            instances.emplace_back(task["id"].stringValue(), instance["id"].stringValue());
        }
        for (int v = 0; v < VariablesPerTask; ++v) task.setVariable("variable" + std::to_string(v), v);
    }

    PeerSynchronizer peer(std::chrono::milliseconds(0));
    peer.pushDifference >> local.onDifference;
    peer.pullLocalQueue << local.giveQueue;
    var sent;
    peer.pushMessage >> [&sent](var message) { sent = message; };
    if (!peer.synchronizeOnce()) return -1;  // the whole queue, agreed from now on
    peer.onNotification();

    double best = 1e300;
    for (int r = 0; r < runs; ++r) {
        const auto& changed = instances[(instances.size() / runs) * r + 7];
        local.updateInstanceProgress(changed.first, changed.second, 0.5);
        const double start = threadMilliseconds();
        const bool found = peer.synchronizeOnce();
        const double took = threadMilliseconds() - start;
        if (!found || sent["tasks"].size() != 1) return -1;
        peer.onNotification();
        best = std::min(best, took);
    }
    return best;
}

}  // namespace

int main() {
    std::printf("%8s %22s\n", "tasks", "one pass (ms, CPU)");
    std::vector<double> passes;
    for (int size : {100, 1000, 10000}) {
        passes.push_back(bestPassMilliseconds(size, size >= 10000 ? 5 : 15));
        if (passes.back() < 0) {
            std::printf("a pass did not find exactly the one change\n");
            return 1;
        }
        std::printf("%8d %22.3f\n", size, passes.back());
    }
    std::printf("growth from 1000 to 10000 tasks: %.1f (reference: linear 10, wanted 12 or less)\n",
                passes[2] / passes[1]);
    return 0;
}
