// JobFollower: follows one task in the client's copy of a printer's queue. Each
// poll prints a line for every step of the task (a primary state: one command, a
// pause or a job) that started, moved on by a tenth or ended since the last poll,
// with the task's own percentage in front; it answers the task's requests (states
// that wait for a user) through the given callback.
// Called from one thread (the demo's main thread); the queue locks itself.
#pragma once

#include <cstdio>
#include <functional>
#include <map>
#include <set>
#include <string>

#include "Vant/Synchronization/LocalSynchronizer.h"

class JobFollower {
public:
    // Answers a request state: sets what it asks for and its progress to 1.0.
    typedef std::function<void(const std::string& taskId, const std::string& instanceId,
                               const std::string& stateType)>
        Answer;

    JobFollower(Vant::Synchronization::LocalSynchronizer& queue, std::string taskId, std::FILE* out,
                Answer answer);

    // Looks at the task once; true when it has ended (done, or interrupted and reset).
    bool poll();
    // The failure that interrupted the task ("" when none).
    std::string interruption();

private:
    Vant::Synchronization::LocalSynchronizer& queue;
    const std::string taskId;
    std::FILE* out;
    Answer answer;
    std::map<std::string, int> shown;  // instance id -> last percentage printed (101: ended)
    std::set<std::string> answered;    // request instances already answered
};
