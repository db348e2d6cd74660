// bench_queue: how the difference and the sum of two task queues grow with the
// number of tasks. Queues of 100, 1000 and 10000 tasks (20 instances and 8 variables
// each) where one instance's progress changed; prints the best processor time of a few runs of
// one difference and one sum at each size, and the growth from 1000 to 10000 tasks
// beside its reference (10 for linear growth, 12 or less wanted).
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <vector>

#include "Vant/StateMachine/TaskQueue.h"

using kel::var;
using Vant::StateMachine::StateInstance;
using Vant::StateMachine::Task;
using Vant::StateMachine::TaskQueue;

namespace {

const int InstancesPerTask = 20;
const int VariablesPerTask = 8;

TaskQueue makeQueue(int tasks) {
    TaskQueue queue;
    for (int t = 0; t < tasks; ++t) {
        Task task = queue.makeTask("Printing");
        for (int i = 0; i < InstancesPerTask; ++i) task.makeStateInstance("Layering")["progress"] = 0.5;
        for (int v = 0; v < VariablesPerTask; ++v) task.setVariable("variable" + std::to_string(v), v);
    }
    return queue;
}

// Processor time of this thread, so that other work on a busy machine counts less.
double threadMilliseconds() {
    timespec now;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return now.tv_sec * 1e3 + now.tv_nsec / 1e6;
}

// The best time of a few runs of one operation; its result is released after the
// clock has stopped.
double bestMilliseconds(int runs, const std::function<TaskQueue()>& operation) {
    double best = 1e300;
    for (int r = 0; r < runs; ++r) {
        const double start = threadMilliseconds();
        TaskQueue result = operation();
        best = std::min(best, threadMilliseconds() - start);
    }
    return best;
}

}  // namespace

int main() {
    std::printf("%8s %18s %18s\n", "tasks", "difference (ms)", "sum (ms)");
    std::vector<double> differences, sums;
    for (int size : {100, 1000, 10000}) {
        const TaskQueue older = makeQueue(size);
        TaskQueue newer = older.cloneLight();
        newer.getTask(Task(newer["tasks"][size / 2])["id"]).instances()[7]["progress"] = 0.75;

        const int runs = size >= 10000 ? 5 : 10;
        differences.push_back(bestMilliseconds(runs, [&] { return newer - older; }));
        TaskQueue difference = newer - older;
        if (difference["tasks"].size() != 1) {
            std::printf("unexpected difference of %u tasks\n", difference["tasks"].size());
            return 1;
        }
        sums.push_back(bestMilliseconds(runs, [&] { return older + difference; }));
        std::printf("%8d %18.3f %18.3f\n", size, differences.back(), sums.back());
    }
    std::printf(
        "growth from 1000 to 10000 tasks: difference %.1f, sum %.1f (reference: linear 10, wanted 12 or "
        "less)\n",
        differences[2] / differences[1], sums[2] / sums[1]);
    return 0;
}
