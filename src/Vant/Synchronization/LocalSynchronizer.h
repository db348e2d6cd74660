// Vant::Synchronization::LocalSynchronizer: owns one side's task queue and is the only
// way the rest of the process reads or changes it. Called from many threads (state
// runners, I/O pool threads serving sessions, every peer synchronizer's worker and
// the gate's pool threads); every operation holds queueMutex. Changes received from
// a peer are merged in through onDifference or merge, which then announce what they
// changed, outside the lock.
//
// Every change of an entry stamps it with the next value of a change counter, so a
// peer synchronizer finds the entries changed since its last pass without looking
// at the others (deleted tasks stay as tombstones for ever, and most entries of a
// long-lived queue never change again), and a pass with nothing new costs one read
// of the counter.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "Vant/StateMachine/TaskQueue.h"
#include "kel/signal.h"
#include "kel/var.h"

namespace Vant {
namespace Synchronization {

class LocalSynchronizer {
public:
    typedef Vant::StateMachine::TaskQueue TaskQueue;
    typedef Vant::StateMachine::Task Task;
    typedef Vant::StateMachine::StateInstance StateInstance;

    // What one message received by a peer synchronizer changed in its agreed queue,
    // to be merged into this queue.
    struct Merge {
        struct Entry {
            Task change;  // a whole task, a task difference or a tombstone, with its "id"
            // Variables this end sent that the message may not have seen: one whose
            // local value is still the one set here and sent keeps it.
            std::map<std::string, kel::var> sentValues;
            // Variables this end is about to send again: their local value stands.
            std::set<std::string> pending;
        };
        std::vector<Entry> entries;
        // A variable set here after change number `sentUpTo` (not sent to the peer
        // yet) keeps its own value, which the peer sends next.
        bool localVariablesWin = false;
        std::uint64_t sentUpTo = 0;
        // Entries the other end no longer holds (a printer that restarted): they are
        // removed, live tasks announced as deleted.
        std::vector<std::string> forgotten;
    };
    // Task id -> variable names.
    typedef std::map<std::string, std::set<std::string>> Variables;

    // Input: a difference received from a peer, added as the queue algebra adds it.
    kel::signal::pushee<TaskQueue> onDifference;
    // Answers a pull with getQueue().
    kel::signal::pullee<TaskQueue()> giveQueue;

    // Events of a received difference, pushed after queueMutex is released, in this
    // order: pushDifference with what it changed here, then per changed task
    // pushNewTask (arrived whole) or pushDeletedTask (tombstone), pushModifiedVariable
    // per variable, pushModifiedState / pushNewState per instance. A receiver that
    // throws is logged; the others still hear the event.
    kel::signal::pusher<TaskQueue> pushDifference;
    kel::signal::pusher<std::string> pushNewTask;                        // task id
    kel::signal::pusher<std::string> pushDeletedTask;                    // task id
    kel::signal::pusher<std::string, std::string> pushNewState;          // task id, instance id
    kel::signal::pusher<std::string, std::string> pushModifiedState;     // task id, instance id
    kel::signal::pusher<std::string, std::string> pushModifiedVariable;  // task id, variable name

    LocalSynchronizer();
    LocalSynchronizer(const LocalSynchronizer&) = delete;
    LocalSynchronizer& operator=(const LocalSynchronizer&) = delete;
    virtual ~LocalSynchronizer();

    // Changes made here announce nothing: the peer synchronizers find them on their
    // next pass. Operations that change a task leave unknown ids and deleted tasks
    // alone (and log it): a runner may well still report on a task a user deleted.
    std::string makeTask(const std::string& stateType);
    void deleteTask(const std::string& taskId);
    // The new instance's id, or "" when the task is unknown or deleted.
    std::string makeInstance(const std::string& taskId, const std::string& stateType);
    void updateInstanceProgress(const std::string& taskId, const std::string& instanceId, double progress);
    // Stores a copy of the value: a caller that goes on changing its own handle must
    // neither bypass the lock nor change what the peers were already sent.
    void setVariable(const std::string& taskId, const std::string& name, kel::var value);

    // "" when the "stateType" is not a string (or the instance is unknown).
    std::string getInstanceStateType(const std::string& taskId, const std::string& instanceId);
    // 0.0 when absent.
    double getInstanceProgress(const std::string& taskId, const std::string& instanceId);
    kel::var getVariable(const std::string& taskId, const std::string& name);  // a deep copy
    bool hasVariable(const std::string& taskId, const std::string& name);
    // True for an unknown or deleted task, and when the task's root instance (the first
    // in id order whose state type is the task's) has progress exactly 1.0.
    bool isTaskDone(const std::string& taskId);
    bool isTaskInterrupted(const std::string& taskId);  // has the variable "Interrupted"

    // A light copy of the whole queue (own maps of tasks and instances, variable
    // values shared), in the order the entries arrived; undefined when the queue
    // never had an entry. `version`, when given, receives the change counter the copy
    // belongs to.
    TaskQueue getQueue(std::uint64_t* version = nullptr);
    Task getTask(const std::string& taskId);  // deep copies
    StateInstance getInstance(const std::string& taskId, const std::string& instanceId);

    // The change counter: it grows with every change of the queue. Any thread,
    // without the lock.
    std::uint64_t version() const { return stamps.load(); }
    // Light copies of the entries changed after `since`, and of those named in
    // `alsoThese` (when present), oldest change first; returns the counter they
    // belong to. `written`, when given, receives the variables of those entries set
    // here (by setVariable, not by a merge) after `writtenAfter`, even to the value
    // they had. Costs what changed, not what the queue holds.
    std::uint64_t changesSince(std::uint64_t since, const std::set<std::string>& alsoThese,
                               std::vector<Task>& changed, std::uint64_t writtenAfter = 0,
                               Variables* written = nullptr);

    // Merges what a peer synchronizer received and announces what it changed here.
    // `keptSent`, when given, receives the variables that kept a value of sentValues.
    void merge(const Merge& received, Variables* keptSent = nullptr);

private:
    struct Entry {
        Task task;            // the task, or its tombstone
        std::uint64_t stamp;  // the change counter at its latest change
        std::uint64_t position;
        // Variables set here, with the change number of their latest setVariable; a
        // value merged in from a peer takes the name out.
        std::map<std::string, std::uint64_t> written;
    };

    void applyDifference(TaskQueue difference);
    void announce(const TaskQueue& applied);
    // The live task of that id, or null (logged under `where`) when it is unknown or
    // a tombstone. Called with queueMutex held.
    Entry* liveTask(const std::string& taskId, const char* where);
    // The entry of that id or null. Called with queueMutex held.
    const Entry* find(const std::string& taskId) const;
    // Stamps an entry with the next change number; adds it when it is new. Called
    // with queueMutex held.
    void touch(const std::string& taskId, Task task);
    void touch(Entry& entry, const std::string& taskId);
    // Merges one received entry; returns what it changed here (undefined for
    // nothing). Called with queueMutex held.
    Task mergeEntry(const Merge::Entry& received, const Merge& merge, std::set<std::string>& keptSent);

    // This side's task queue: each task or tombstone by id, with its change stamp and
    // the place it arrived in.
    std::unordered_map<std::string, Entry> entries;
    std::map<std::uint64_t, std::string> byStamp;     // stamp -> id, one per entry
    std::map<std::uint64_t, std::string> byPosition;  // arrival -> id, one per entry
    std::uint64_t positions = 0;
    // The change counter: written under queueMutex, read without it by the peers'
    // idle check.
    std::atomic<std::uint64_t> stamps{0};
    // Guards everything above. Contended by the state runners, the session handlers
    // and the peer synchronizers; a peer synchronizer takes its sequenceMutex before
    // this one. Never held while an event is pushed or another operation is called.
    mutable std::mutex queueMutex;
};

}  // namespace Synchronization
}  // namespace Vant
