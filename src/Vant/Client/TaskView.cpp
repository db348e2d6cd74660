#include "Vant/Client/TaskView.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "Vant/Runtime/StateRunner.h"
#include "Vant/StateMachine/StateType.h"

namespace Vant {
namespace Client {

namespace {

// The stages of a print, in the order they run, and the state behind each.
const std::vector<std::pair<const char*, const char*>> PrintStages = {
    {"download", "Downloading"}, {"slicing", "Slicing"}, {"heating", "Heating"}, {"layers", "Layering"}};

// Jobs whose time left is measured rather than taken from the catalogue's guess.
bool isMeasuredJob(const std::string& type) {
    return type == "Downloading" || type == "Slicing" || type == "Layering";
}

const kel::var* catalogueEntry(const std::string& type) {
    const kel::var& types = Vant::StateMachine::StateTypes;
    if (!types.isMap() || !types.has(type)) return nullptr;
    return &types[type];
}

bool isPrimary(const std::string& type) {
    const kel::var* entry = catalogueEntry(type);
    return entry != nullptr && (*entry)["mode"].stringValue("") == "primary";
}

double estimateOf(const std::string& type) {
    const kel::var* entry = catalogueEntry(type);
    if (entry == nullptr) return 0.0;
    return Vant::Runtime::StateRunner::estimatedDuration(Vant::StateMachine::StateType(*entry));
}

bool running(double progress) {
    return progress >= 0.0 && progress < 1.0;
}

}  // namespace

bool isRequest(const std::string& stateType) {
    const kel::var* entry = catalogueEntry(stateType);
    return entry != nullptr && entry->has("request");
}

std::string questionText(const std::string& requestType) {
    if (requestType == "AskClearBed") return "is the bed clear?";
    if (requestType == "Uploading") return "the model's link";
    if (requestType == "AskAdjustment") return "adjust the nozzle";
    if (requestType == "AskWifiDetails") return "the Wi-Fi network and pass phrase";
    if (requestType == "AskCartridgeColor") return "the cartridge's colour";
    if (requestType == "AskRemoveCartridge") return "remove the cartridge";
    return requestType;
}

double TaskClock::remaining(const std::string& instanceId, double progress,
                            std::chrono::steady_clock::time_point now) {
    auto found = firstSeen.find(instanceId);
    if (found == firstSeen.end()) {
        firstSeen[instanceId] = std::make_pair(now, progress);
        return -1;
    }
    const double moved = progress - found->second.second;
    const double seconds = std::chrono::duration<double>(now - found->second.first).count();
    if (moved < 0.01 || seconds < 1.0) return -1;
    return seconds / moved * (1.0 - progress);
}

TaskView viewOf(const kel::var& task, TaskClock* clock, std::chrono::steady_clock::time_point now) {
    TaskView view;
    view.id = task["id"].stringValue("");
    if (!task.isMap() || task.has("diff") || !task.has("stateType")) {
        view.deleted = true;
        return view;
    }
    view.type = task["stateType"].stringValue("");
    const kel::var data = task.has("data") ? task["data"] : kel::var();
    if (data.isMap() && data.has("Interrupted")) {
        const kel::var& value = data["Interrupted"];
        view.interrupted = value.isString() ? value.stringValue() : value.toJsonString();
    }
    const kel::var instances = task.has("instances") && task["instances"].isMap()
                                   ? task["instances"]
                                   : kel::var::fromJsonString("{}");

    bool rootSeen = false;
    double measuredCorrection = 0.0;
    for (const std::string& id : instances.keys()) {
        const kel::var& instance = instances[id];
        const std::string type = instance["stateType"].stringValue("");
        const double progress = instance["progress"].realValue(0.0);
        if (!rootSeen && type == view.type) {
            rootSeen = true;
            view.progress = std::max(0.0, std::min(progress, 1.0));
            view.done = progress == 1.0;
        }
        if (!isPrimary(type) || !running(progress)) continue;
        view.running.push_back(type);
        if (isRequest(type) && !view.isInterrupted()) {
            view.questions.push_back(Question{type, id});
            if (view.question.empty()) {
                view.question = type;
                view.questionInstance = id;
            }
        }
        if (clock != nullptr && isMeasuredJob(type)) {
            const double measured = clock->remaining(id, progress, now);
            if (measured >= 0) measuredCorrection += measured - estimateOf(type) * (1.0 - progress);
        }
    }
    for (const auto& stage : PrintStages) {
        if (view.type != "Printing") break;
        Stage shown;
        shown.name = stage.first;
        shown.stateType = stage.second;
        for (const std::string& id : instances.keys()) {
            if (instances[id]["stateType"].stringValue("") != shown.stateType) continue;
            shown.started = true;
            shown.progress = instances[id]["progress"].realValue(0.0);
        }
        view.stages.push_back(shown);
    }
    if (rootSeen && !view.done) {
        view.secondsLeft = std::max(0.0, estimateOf(view.type) * (1.0 - view.progress) + measuredCorrection);
    }
    return view;
}

std::string percentText(double progress) {
    if (progress < 0) return "failed";
    if (progress >= 1.0) return "done";
    char text[16];
    std::snprintf(text, sizeof text, "%d%%", static_cast<int>(std::floor(progress * 100)));
    return text;
}

std::string durationText(double seconds) {
    if (seconds < 0) return std::string();
    const long total = std::lround(seconds);
    char text[32];
    if (total >= 3600) {
        std::snprintf(text, sizeof text, "%ld h %02ld min", total / 3600, total % 3600 / 60);
    } else if (total >= 60) {
        std::snprintf(text, sizeof text, "%ld min %02ld s", total / 60, total % 60);
    } else {
        std::snprintf(text, sizeof text, "%ld s", total);
    }
    return text;
}

std::string summaryLine(const TaskView& view) {
    if (view.deleted) return view.id + " deleted";
    std::string line = view.type + " " + (view.done ? "done" : percentText(view.progress));
    std::string detail;
    for (const std::string& state : view.running) detail += (detail.empty() ? "" : ", ") + state;
    if (view.isInterrupted())
        detail += (detail.empty() ? "" : ", ") + std::string("interrupted: ") + view.interrupted;
    if (!view.question.empty())
        detail += (detail.empty() ? "" : ", ") + std::string("asks: ") + questionText(view.question);
    if (!view.done && view.secondsLeft >= 0) {
        detail +=
            (detail.empty() ? "" : ", ") + std::string("about ") + durationText(view.secondsLeft) + " left";
    }
    return detail.empty() ? line : line + " (" + detail + ")";
}

kel::var toJson(const TaskView& view) {
    kel::var object;
    object["task"] = view.id;
    object["type"] = view.type;
    kel::var running = kel::var::fromJsonString("[]");
    for (const std::string& state : view.running) running.add(kel::var(state));
    object["running"] = running;
    object["progress"] = view.progress;
    object["secondsLeft"] = view.secondsLeft < 0 ? kel::var() : kel::var(std::round(view.secondsLeft));
    object["done"] = view.done;
    object["deleted"] = view.deleted;
    object["interrupted"] = view.isInterrupted() ? kel::var(view.interrupted) : kel::var();
    object["waitingFor"] = view.question.empty() ? kel::var() : kel::var(questionText(view.question));
    object["question"] = view.question.empty() ? kel::var() : kel::var(view.question);
    if (!view.stages.empty()) {
        kel::var stages;
        for (const Stage& stage : view.stages)
            stages[stage.name] = stage.started ? kel::var(stage.progress) : kel::var();
        object["stages"] = stages;
    }
    return object;
}

}  // namespace Client
}  // namespace Vant
