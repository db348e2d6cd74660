#include "Vant/Synchronization/LocalSynchronizer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

using kel::var;
using Vant::StateMachine::StateInstance;
using Vant::StateMachine::Task;
using Vant::StateMachine::TaskQueue;
using Vant::Synchronization::LocalSynchronizer;

namespace {

// Every event of a local synchronizer as one line, in the order it was pushed.
struct EventLog {
    explicit EventLog(LocalSynchronizer& sync) {
        sync.pushDifference >> [this](TaskQueue) { lines.push_back("difference"); };
        sync.pushNewTask >> [this](std::string task) { lines.push_back("newTask " + task); };
        sync.pushDeletedTask >> [this](std::string task) { lines.push_back("deletedTask " + task); };
        sync.pushNewState >> [this](std::string task, std::string instance) {
            lines.push_back("newState " + task + " " + instance);
        };
        sync.pushModifiedState >> [this](std::string task, std::string instance) {
            lines.push_back("modifiedState " + task + " " + instance);
        };
        sync.pushModifiedVariable >> [this](std::string task, std::string name) {
            lines.push_back("modifiedVariable " + task + " " + name);
        };
    }
    std::vector<std::string> lines;
};

// What a peer would send: the given queue as a difference against an empty one.
TaskQueue differenceOf(const TaskQueue& newer, const TaskQueue& older = TaskQueue()) {
    return newer - older;
}

// A difference that sets one variable of one task, as a peer would send it.
TaskQueue variableDifference(const std::string& taskId, const std::string& name, var value) {
    Task change{kel::var_map()};
    change["id"] = taskId;
    change.setVariable(name, value);
    TaskQueue d;
    d.addTask(change);
    d["diffId"] = var::randomHex(4);
    return d;
}

}  // namespace

TEST(LocalSynchronizer, IsTaskDoneFollowsTheRootInstance) {
    LocalSynchronizer sync;
    EXPECT_TRUE(sync.isTaskDone("0badc0de"));

    const std::string task = sync.makeTask("Printing");
    EXPECT_FALSE(sync.isTaskDone(task));  // no instance yet

    const std::string heating = sync.makeInstance(task, "Heating");
    sync.updateInstanceProgress(task, heating, 1.0);
    EXPECT_FALSE(sync.isTaskDone(task));  // a sub-state finished, not the root

    const std::string root = sync.makeInstance(task, "Printing");
    sync.updateInstanceProgress(task, root, 0.999);
    EXPECT_FALSE(sync.isTaskDone(task));
    sync.updateInstanceProgress(task, root, 1.0);
    EXPECT_TRUE(sync.isTaskDone(task));
    EXPECT_DOUBLE_EQ(sync.getInstanceProgress(task, root), 1.0);

    sync.deleteTask(task);
    EXPECT_TRUE(sync.isTaskDone(task));
}

TEST(LocalSynchronizer, ReadsGiveCopiesAndToleratesOddRecords) {
    LocalSynchronizer sync;
    const std::string task = sync.makeTask("Printing");
    const std::string instance = sync.makeInstance(task, "Heating");
    EXPECT_EQ(sync.getInstanceStateType(task, instance), "Heating");

    var link = var::fromJsonString("{\"url\": \"http://127.0.0.1/a.stl\"}");
    sync.setVariable(task, "fileLink", link);
    // The caller's own handle stays the caller's: changing it later neither reaches
    // the queue behind its lock nor hides the change from the peers.
    link["url"] = "changed";
    EXPECT_EQ(sync.getVariable(task, "fileLink")["url"].stringValue(), "http://127.0.0.1/a.stl");
    sync.getVariable(task, "fileLink")["url"] = "changed through a copy";
    EXPECT_EQ(sync.getVariable(task, "fileLink")["url"].stringValue(), "http://127.0.0.1/a.stl");
    EXPECT_TRUE(sync.hasVariable(task, "fileLink"));
    EXPECT_FALSE(sync.isTaskInterrupted(task));
    sync.setVariable(task, "Interrupted", var(false));
    EXPECT_TRUE(sync.isTaskInterrupted(task));

    // A copy of the queue has its own instances: later progress leaves it alone.
    TaskQueue copy = sync.getQueue();
    sync.updateInstanceProgress(task, instance, 0.5);
    EXPECT_DOUBLE_EQ(copy.getTask(task).getInstance(instance).progress(), 0.0);
    sync.getTask(task).getInstance(instance)["progress"] = 0.9;
    EXPECT_DOUBLE_EQ(sync.getInstance(task, instance).progress(), 0.5);

    TaskQueue remote;
    Task odd = remote.makeTask("Printing");
    const std::string oddInstance = odd.makeStateInstance("Heating")["id"];
    odd.getInstance(oddInstance)["stateType"] = 7;
    sync.onDifference(differenceOf(remote));
    EXPECT_EQ(sync.getInstanceStateType(odd["id"], oddInstance), "");
}

TEST(LocalSynchronizer, LeavesUnknownAndDeletedTasksAlone) {
    LocalSynchronizer sync;
    EXPECT_TRUE(sync.getQueue().isUndefined());
    testing::internal::CaptureStdout();
    EXPECT_EQ(sync.makeInstance("0badc0de", "Heating"), "");
    sync.setVariable("0badc0de", "n", 1);
    sync.updateInstanceProgress("0badc0de", "12345678", 0.5);
    EXPECT_EQ(sync.getInstanceStateType("0badc0de", "12345678"), "");
    EXPECT_DOUBLE_EQ(sync.getInstanceProgress("0badc0de", "12345678"), 0.0);
    EXPECT_TRUE(sync.getVariable("0badc0de", "n").isUndefined());

    const std::string task = sync.makeTask("Printing");
    const std::string instance = sync.makeInstance(task, "Heating");
    sync.deleteTask(task);
    // A runner still reporting on a task a user deleted must not bring it back.
    EXPECT_EQ(sync.makeInstance(task, "Heating"), "");
    sync.setVariable(task, "n", 1);
    sync.updateInstanceProgress(task, instance, 0.5);
    const std::string log = testing::internal::GetCapturedStdout();
    EXPECT_NE(log.find("LocalSynchronizer::setVariable() task " + task + " is deleted."), std::string::npos);

    const Task tombstone = sync.getQueue().getTask(task);
    EXPECT_TRUE(tombstone.isDeletion());
    EXPECT_EQ(tombstone.size(), 2u) << tombstone;
}

TEST(LocalSynchronizer, AnnouncesAReceivedNewTaskInOrder) {
    LocalSynchronizer sync;
    EventLog events(sync);

    TaskQueue remote;
    Task task = remote.makeTask("Printing");
    const std::string a = task.makeStateInstance("Printing")["id"];
    const std::string b = task.makeStateInstance("Heating")["id"];
    task.setVariable("fileLink", "http://127.0.0.1/a.stl");
    const std::string id = task["id"];
    sync.onDifference(differenceOf(remote));

    const std::string first = a < b ? a : b, second = a < b ? b : a;
    EXPECT_EQ(events.lines,
              (std::vector<std::string>{"difference", "newTask " + id, "modifiedVariable " + id + " fileLink",
                                        "newState " + id + " " + first, "newState " + id + " " + second}));
    EXPECT_EQ(sync.getInstanceStateType(id, a), "Printing");
}

TEST(LocalSynchronizer, AnnouncesOnlyWhatADifferenceChanged) {
    LocalSynchronizer sync;
    const std::string id = sync.makeTask("Printing");
    const std::string instance = sync.makeInstance(id, "Heating");
    sync.updateInstanceProgress(id, instance, 0.5);
    const TaskQueue before = sync.getQueue();
    EventLog events(sync);

    // Progress lowered by the peer: the sum keeps the larger one, nothing to announce.
    TaskQueue lowered = before.cloneLight();
    lowered.getTask(id).getInstance(instance)["progress"] = 0.25;
    sync.onDifference(differenceOf(lowered, TaskQueue()));
    EXPECT_EQ(events.lines, (std::vector<std::string>{"difference"}));
    EXPECT_DOUBLE_EQ(sync.getInstanceProgress(id, instance), 0.5);

    events.lines.clear();
    TaskQueue raised = before.cloneLight();
    raised.getTask(id).getInstance(instance)["progress"] = 0.75;
    sync.onDifference(raised - before);
    EXPECT_EQ(events.lines, (std::vector<std::string>{"difference", "modifiedState " + id + " " + instance}));

    events.lines.clear();
    TaskQueue deleted = sync.getQueue();
    deleted.deleteTask(id);
    sync.onDifference(deleted - sync.getQueue());
    EXPECT_EQ(events.lines, (std::vector<std::string>{"difference", "deletedTask " + id}));
    EXPECT_TRUE(sync.getTask(id).isDeletion());
}

TEST(LocalSynchronizer, AThrowingReceiverStopsNoOtherEvent) {
    LocalSynchronizer sync;
    std::vector<std::string> heard;
    // A receiver that reads a malformed record the way the printer service reads a
    // new task's state type.
    sync.pushNewTask >> [&sync](std::string id) { sync.getTask(id)["stateType"].stringValue(); };
    sync.pushNewTask >> [&heard](std::string id) { heard.push_back("task " + id); };
    sync.pushNewState >> [](std::string, std::string) { throw 42; };
    sync.pushNewState >>
        [&heard](std::string, std::string instance) { heard.push_back("state " + instance); };

    TaskQueue remote;
    Task task = remote.makeTask("Printing");
    task["stateType"] = kel::var_map();
    const std::string instance = task.makeStateInstance("Heating")["id"];
    testing::internal::CaptureStdout();
    sync.onDifference(differenceOf(remote));
    const std::string log = testing::internal::GetCapturedStdout();
    EXPECT_EQ(heard, (std::vector<std::string>{"task " + task["id"].stringValue(), "state " + instance}));
    EXPECT_NE(log.find("LocalSynchronizer::onDifference() receiver failed : Unexpected type"),
              std::string::npos)
        << log;
}

TEST(LocalSynchronizer, SerialisesCallersOfManyThreads) {
    LocalSynchronizer sync;
    const std::string id = sync.makeTask("Printing");
    std::atomic<bool> done(false);
    std::vector<std::string> instances;
    for (int i = 0; i < 4; ++i) instances.push_back(sync.makeInstance(id, "Heating"));

    std::thread reader([&] {
        std::uint64_t seen = 0;
        while (!done) {
            TaskQueue copy = sync.getQueue();
            EXPECT_TRUE(copy.hasTask(id));
            sync.isTaskDone(id);
            std::vector<Task> changed;
            seen = sync.changesSince(seen, {}, changed);
            EXPECT_LE(changed.size(), 1u);  // the one task, once, whatever changed in it
        }
    });
    std::thread differences([&] {
        for (int i = 0; i < 200; ++i) {
            sync.onDifference(variableDifference(id, "remote", i));
        }
    });
    for (int i = 1; i <= 200; ++i) {
        sync.updateInstanceProgress(id, instances[i % 4], i / 200.0);
        sync.setVariable(id, "local", i);
    }
    differences.join();
    done = true;
    reader.join();
    EXPECT_EQ(sync.getVariable(id, "local"), var(200));
    EXPECT_EQ(sync.getVariable(id, "remote"), var(199));
    EXPECT_DOUBLE_EQ(sync.getInstanceProgress(id, instances[0]), 1.0);
}
