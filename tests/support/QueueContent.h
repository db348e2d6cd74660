// A task queue's entries by id: its content with the order of the array aside (a
// sum gathers tombstones at the end, so equal queues may list their tasks apart).
#pragma once

#include <map>
#include <string>

#include "Vant/StateMachine/TaskQueue.h"

inline std::map<std::string, kel::var> entriesById(const Vant::StateMachine::TaskQueue& queue) {
    std::map<std::string, kel::var> byId;
    if (!queue.isMap() || !queue.has("tasks")) return byId;
    for (unsigned i = 0; i < queue["tasks"].size(); ++i) byId[queue["tasks"][i]["id"]] = queue["tasks"][i];
    return byId;
}
