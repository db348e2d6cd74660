#include "JobFollower.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <utility>

#include "Vant/StateMachine/StateType.h"
#include "kel/var.h"

namespace {

// A running step shows its progress in steps of this many percent.
const int Step = 10;
// What `shown` holds for a step whose end was printed.
const int Ended = 101;

bool has(const std::string& stateType, const char* key) {
    const kel::var& types = Vant::StateMachine::StateTypes;
    return types.has(stateType) && types[stateType].has(key);
}

bool isPrimary(const std::string& stateType) {
    const kel::var& types = Vant::StateMachine::StateTypes;
    return types.has(stateType) && types[stateType]["mode"].stringValue("") == "primary";
}

int percentOf(double progress) {
    return static_cast<int>(std::floor(std::max(0.0, std::min(progress, 1.0)) * 100));
}

}  // namespace

JobFollower::JobFollower(Vant::Synchronization::LocalSynchronizer& queue, std::string taskId, std::FILE* out,
                         Answer answer)
    : queue(queue), taskId(std::move(taskId)), out(out), answer(std::move(answer)) {}

bool JobFollower::poll() {
    const kel::var task = queue.getTask(taskId);
    if (!task.isMap() || !task.has("instances") || !task["instances"].isMap()) return false;
    const std::string rootType = task["stateType"].stringValue("");
    const kel::var instances = task["instances"];
    if (instances.size() == 0) return false;

    // The task's own percentage: its first instance of the task's type (ids in order).
    int taskPercent = 0;
    for (const std::string& id : instances.keys()) {
        if (instances[id]["stateType"].stringValue("") != rootType) continue;
        taskPercent = percentOf(instances[id]["progress"].realValue(0.0));
        break;
    }

    for (const std::string& id : instances.keys()) {
        const std::string type = instances[id]["stateType"].stringValue("");
        if (!isPrimary(type)) continue;
        const double progress = instances[id]["progress"].realValue(0.0);
        if (has(type, "request")) {
            if (progress < 1.0 && progress >= 0 && answered.insert(id).second) answer(taskId, id, type);
            continue;
        }
        auto last = shown.find(id);
        if (last != shown.end() && last->second == Ended) continue;
        std::string status;
        if (progress < 0) {
            status = "failed";
        } else if (progress >= 1.0) {
            status = "done";
        } else {
            const int step = percentOf(progress) / Step * Step;
            if (last != shown.end() && last->second >= step) continue;
            shown[id] = step;
            status = step == 0 ? "started" : std::to_string(step) + "%";
        }
        if (status == "done" || status == "failed") shown[id] = Ended;
        const std::string dots(type.size() < 28 ? 28 - type.size() : 1, '.');
        std::fprintf(out, "  [%3d%%]  %s %s %s\n", taskPercent, type.c_str(), dots.c_str(), status.c_str());
    }
    std::fflush(out);
    return queue.isTaskDone(taskId);
}

std::string JobFollower::interruption() {
    if (!queue.isTaskInterrupted(taskId)) return std::string();
    const kel::var failure = queue.getVariable(taskId, "Interrupted");
    return failure.isString() ? failure.stringValue() : failure.toJsonString();
}
