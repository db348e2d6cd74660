#include "Vant/StateMachine/TaskQueue.h"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <string>
#include <vector>

#include "support/QueueContent.h"

using kel::var;
using Vant::StateMachine::StateInstance;
using Vant::StateMachine::Task;
using Vant::StateMachine::TaskQueue;

namespace {

// A printer's queue growing the only ways it grows.
class History {
public:
    explicit History(unsigned seed) : random(seed) {}

    void step() {
        std::vector<Task> live = liveTasks();
        const int choice = pick(live.empty() ? 1 : 10);
        if (choice == 0) {
            queue.makeTask(pickOf({"Printing", "Packaging", "Maintaining", "WifiSetup"}));
        } else if (choice <= 2) {
            live[pick(live.size())].makeStateInstance(pickOf({"Heating", "Layering", "AskClearBed"}));
        } else if (choice <= 5) {
            raiseProgress(live[pick(live.size())]);
        } else if (choice <= 8) {
            live[pick(live.size())].setVariable(pickOf({"Interrupted", "fileLink", "TakingBed.BedOn", "n"}),
                                                randomValue());
        } else {
            queue.deleteTask(live[pick(live.size())]["id"]);
        }
    }

    TaskQueue snapshot() const { return TaskQueue(queue.clone()); }
    TaskQueue after(int steps) {
        for (int s = 0; s < steps; ++s) step();
        return snapshot();
    }

    TaskQueue queue;

private:
    std::vector<Task> liveTasks() const {
        std::vector<Task> live;
        for (unsigned i = 0; queue.has("tasks") && i < queue["tasks"].size(); ++i)
            if (!Task(queue["tasks"][i]).isDeletion()) live.push_back(queue["tasks"][i]);
        return live;
    }

    void raiseProgress(Task task) {
        std::vector<StateInstance> instances = task.instances();
        if (instances.empty()) return;
        StateInstance instance = instances[pick(instances.size())];
        const double now = instance.progress();
        instance["progress"] = now + (1.0 - now) * (pick(4) == 0 ? 1.0 : 0.5);
    }

    var randomValue() {
        const unsigned kind = pick(5);
        if (kind == 0) return var(static_cast<int>(pick(3)));
        if (kind == 1) return var(0.25 * pick(4));
        if (kind == 2) return var(pick(2) == 0);
        if (kind == 3) return var(pickOf({"Cancelled", "http://127.0.0.1/a.stl"}));
        return var::fromJsonString("{\"ssid\": \"home\", \"list\": [1, 2]}");
    }

    unsigned pick(size_t n) {
        return std::uniform_int_distribution<unsigned>(0, static_cast<unsigned>(n) - 1)(random);
    }
    const char* pickOf(std::initializer_list<const char*> names) { return names.begin()[pick(names.size())]; }

    std::mt19937 random;
};

// The entries by id; an id twice in one queue fails the test.
std::map<std::string, var> byId(const TaskQueue& queue) {
    const std::map<std::string, var> entries = entriesById(queue);
    EXPECT_EQ(entries.size(), queue.has("tasks") ? queue["tasks"].size() : 0u) << "id twice in the queue";
    return entries;
}

void expectProgressKept(const TaskQueue& before, const TaskQueue& after, const std::string& context) {
    const std::map<std::string, var> result = byId(after);
    for (const auto& entry : byId(before)) {
        Task task = entry.second;
        if (task.isDeletion()) continue;
        auto found = result.find(entry.first);
        ASSERT_NE(found, result.end()) << context;
        Task summed = found->second;
        if (summed.isDeletion()) continue;
        for (const StateInstance& instance : task.instances()) {
            EXPECT_GE(summed.getInstance(instance["id"]).progress(), instance.progress()) << context;
        }
    }
}

}  // namespace

TEST(TaskQueueProperty, DifferencesAndSumsAgreeWithTheHistory) {
    for (unsigned seed = 1; seed <= 60; ++seed) {
        History history(seed);
        TaskQueue mirror, previous = history.snapshot(), previousDifference;
        for (int round = 0; round < 12; ++round) {
            const TaskQueue older = history.snapshot(), newer = history.after(1 + seed % 7);
            const std::string context = "seed " + std::to_string(seed) + " round " + std::to_string(round);

            TaskQueue d = newer - older;
            ASSERT_TRUE(d.isDifference());
            EXPECT_EQ(byId(older + d), byId(newer)) << context;
            EXPECT_FALSE(older.isDifference() || (older + d).isDifference()) << context;
            TaskQueue again = newer - newer;
            EXPECT_FALSE(again.hasDifference() || again.has("tasks")) << context;
            mirror += newer - older;
            EXPECT_EQ(byId(mirror), byId(newer)) << context << " mirror";

            if (round > 0) {
                const TaskQueue combined = previousDifference + d;
                ASSERT_TRUE(combined.isDifference());
                EXPECT_EQ(byId(previous + combined), byId(newer)) << context << " combined";
            }
            previous = older;
            previousDifference = newer - older;

            // Older minus newer meets tasks deleted since and logs them as illegal.
            testing::internal::CaptureStdout();
            const TaskQueue backwards = older - newer;
            testing::internal::GetCapturedStdout();
            expectProgressKept(newer, newer + older, context);
            expectProgressKept(newer, newer + backwards, context);
            expectProgressKept(older, older + d, context);
        }
    }
}
