// Vant::Client::TaskView: what a person or a script is shown of one task of a
// printer's queue: its running states, overall progress, a time-left estimate, the
// stages of a print and the question the printer waits on. Built from a copy of the
// task record (LocalSynchronizer::getTask) on the caller's thread; holds no lock.
#pragma once

#include <chrono>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "kel/var.h"

namespace Vant {
namespace Client {

// One stage of a print as the client shows it.
struct Stage {
    std::string name;       // "download", "slicing", "heating", "layers"
    std::string stateType;  // the state type behind it ("Downloading", ...)
    bool started = false;   // an instance exists
    double progress = 0.0;  // its progress (-2.0 failed, 1.0 done)
};

// A request state the printer waits on: its state type and instance.
struct Question {
    std::string type;
    std::string instance;
};

struct TaskView {
    std::string id;
    std::string type;                  // the task's root state type
    std::vector<std::string> running;  // primary states running now
    double progress = 0.0;             // the root instance's progress, 0..1
    double secondsLeft = -1;           // estimate; -1 when unknown
    bool done = false;                 // the root instance has completed
    bool deleted = false;              // a tombstone (or no such task)
    std::string interrupted;           // the "Interrupted" value as text; "" when not set
    // The request the printer waits on, "" when none: its state type and instance.
    std::string question;
    std::string questionInstance;
    // Every request waited on, in instance order (a print asks for its model and
    // whether the bed is clear at the same time); `question` is the first.
    std::vector<Question> questions;
    std::vector<Stage> stages;  // the stages of a "Printing" task; empty otherwise

    // A printer-side failure or a person's interruption has ended or is ending it.
    bool isInterrupted() const { return !interrupted.empty(); }
    bool live() const { return !deleted && !done; }
};

// The view of a task record; `now` and `clock` refine the time left of the running
// file jobs from their observed rate (pass the same clock on every call).
class TaskClock {
public:
    // Remaining seconds of a job instance at `progress`, from its rate since first
    // seen; -1 while too little has moved.
    double remaining(const std::string& instanceId, double progress,
                     std::chrono::steady_clock::time_point now);

private:
    std::map<std::string, std::pair<std::chrono::steady_clock::time_point, double>> firstSeen;
};

TaskView viewOf(const kel::var& task, TaskClock* clock = nullptr,
                std::chrono::steady_clock::time_point now = std::chrono::steady_clock::now());

// What a request state asks, in a person's words ("is the bed clear?").
std::string questionText(const std::string& requestType);
// Whether the catalogue marks the state type as a request (it waits for a user).
bool isRequest(const std::string& stateType);

// "42%", "done", "failed", "waiting".
std::string percentText(double progress);
// "1 h 05 min", "3 min 20 s", "12 s"; "" for a negative value.
std::string durationText(double seconds);
// A one-line summary: "Printing 42% (Layering, about 3 min left)".
std::string summaryLine(const TaskView& view);

// The view as one JSON object (field names in docs/cli.md).
kel::var toJson(const TaskView& view);

}  // namespace Client
}  // namespace Vant
