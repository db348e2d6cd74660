// Vant::StateMachine::TaskQueue: every task of the printer, in order, with deleted
// tasks kept as tombstones, and the difference algebra that keeps the copies of the
// queue equal on both ends of a connection. A plain value: the synchronizers
// serialise all access to a queue with their own mutex.
#pragma once

#include <string>

#include "Vant/StateMachine/Task.h"
#include "kel/var.h"

namespace Vant {
namespace StateMachine {

// {"tasks": [task, task difference or tombstone, ...]} plus "diffId" on a
// difference. Ids are unique within "tasks"; a tombstone keeps its id forever.
// Difference and sum index the entries by id, so both are linear in the number of
// entries (the queue only grows, and every connected user's synchronizer takes a
// difference every second). Entries without a string "id" cannot be matched with
// anything and are passed over by both.
class TaskQueue : public kel::var {
public:
    TaskQueue();            // undefined: no tasks
    TaskQueue(kel::var v);  // NOLINT: a handle on the given record

    // Appends a handle on the task; returns a handle on the stored task.
    Task addTask(Task t);
    Task makeTask(const std::string& stateType);
    // The first entry with that id (tombstones included), or a detached empty task
    // when there is none: test with hasTask.
    Task getTask(const std::string& id) const;
    bool hasTask(const std::string& id) const;
    // Rebinds the entry's element to the tombstone {"id", "diff": "deleted"}, so
    // handles on the old task keep its content; nothing happens for an absent id.
    TaskQueue deleteTask(const std::string& id);

    // this (newer) - older: new tasks whole, changed tasks as task differences,
    // tombstones for deleted tasks in ascending id order, and a fresh "diffId".
    TaskQueue operator-(const TaskQueue& older) const;
    // this + other: every tombstone of both at the end in ascending id order; a
    // difference only when both operands are.
    TaskQueue operator+(const TaskQueue& other) const;
    // Rebinds *this to *this + other.
    TaskQueue operator+=(const TaskQueue& other);

    bool isDifference() const;  // has "diffId"
    bool hasDifference() const;
    TaskQueue cloneLight() const;
};

}  // namespace StateMachine
}  // namespace Vant
