#include "Vant/Synchronization/LocalSynchronizer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

using kel::var;
using Vant::StateMachine::Task;
using Vant::StateMachine::TaskQueue;
using Vant::Synchronization::LocalSynchronizer;

TEST(LocalSynchronizer, IsTaskDoneFollowsTheRootInstance) {
    LocalSynchronizer sync;
    EXPECT_TRUE(sync.isTaskDone("0badc0de"));
    const std::string task = sync.makeTask("Printing");
    EXPECT_FALSE(sync.isTaskDone(task));  // no instance yet
    sync.updateInstanceProgress(task, sync.makeInstance(task, "Heating"), 1.0);
    EXPECT_FALSE(sync.isTaskDone(task));  // a sub-state finished, not the root
    const std::string root = sync.makeInstance(task, "Printing");
    sync.updateInstanceProgress(task, root, 0.999);
    EXPECT_FALSE(sync.isTaskDone(task));
    sync.updateInstanceProgress(task, root, 1.0);
    EXPECT_TRUE(sync.isTaskDone(task));
    sync.deleteTask(task);
    EXPECT_TRUE(sync.isTaskDone(task));
}

TEST(LocalSynchronizer, ReadsAndWritesGoThroughCopies) {
    LocalSynchronizer sync;
    const std::string task = sync.makeTask("Printing");
    const std::string instance = sync.makeInstance(task, "Heating");
    // Changing the caller's handle later must not reach the queue behind its lock.
    var link = var::fromJsonString("{\"url\": \"http://127.0.0.1/a.stl\"}");
    sync.setVariable(task, "fileLink", link);
    link["url"] = "changed";
    sync.getVariable(task, "fileLink")["url"] = "changed through a copy";
    EXPECT_EQ(sync.getVariable(task, "fileLink")["url"].stringValue(), "http://127.0.0.1/a.stl");
    TaskQueue copy = sync.getQueue();
    sync.updateInstanceProgress(task, instance, 0.5);
    EXPECT_DOUBLE_EQ(copy.getTask(task).getInstance(instance).progress(), 0.0);
    sync.getTask(task).getInstance(instance)["progress"] = 0.9;
    EXPECT_DOUBLE_EQ(sync.getInstance(task, instance).progress(), 0.5);
}

TEST(LocalSynchronizer, LeavesUnknownAndDeletedTasksAlone) {
    LocalSynchronizer sync;
    testing::internal::CaptureStdout();
    EXPECT_EQ(sync.makeInstance("0badc0de", "Heating"), "");
    sync.setVariable("0badc0de", "n", 1);
    EXPECT_TRUE(sync.getQueue().isUndefined());
    // A runner still reporting on a task a user deleted must not bring it back.
    const std::string task = sync.makeTask("Printing");
    const std::string instance = sync.makeInstance(task, "Heating");
    sync.deleteTask(task);
    EXPECT_EQ(sync.makeInstance(task, "Heating"), "");
    sync.setVariable(task, "n", 1);
    sync.updateInstanceProgress(task, instance, 0.5);
    testing::internal::GetCapturedStdout();
    const Task tombstone = sync.getQueue().getTask(task);
    EXPECT_TRUE(tombstone.isDeletion());
    EXPECT_EQ(tombstone.size(), 2u) << tombstone;
}

// Each receiver hears each change once, in order; one that throws silences no other.
TEST(LocalSynchronizer, AnnouncesWhatADifferenceChangedToEveryReceiver) {
    LocalSynchronizer sync;
    std::vector<std::string> events;
    sync.pushNewTask >> [&sync](std::string id) { sync.getTask(id)["stateType"].stringValue(); };
    sync.pushNewTask >> [&](std::string id) { events.push_back("newTask " + id); };
    sync.pushDeletedTask >> [&](std::string id) { events.push_back("deletedTask " + id); };
    sync.pushNewState >> [](std::string, std::string) { throw 42; };
    sync.pushNewState >> [&](std::string, std::string instance) { events.push_back("newState " + instance); };
    sync.pushModifiedState >>
        [&](std::string, std::string instance) { events.push_back("modifiedState " + instance); };
    sync.pushModifiedVariable >> [&](std::string, std::string name) { events.push_back("variable " + name); };

    TaskQueue remote;
    Task task = remote.makeTask("Printing");
    task["stateType"] = kel::var_map();  // the first receiver throws reading it
    const std::string a = task.makeStateInstance("Printing")["id"];
    const std::string b = task.makeStateInstance("Heating")["id"];
    task.setVariable("fileLink", "http://127.0.0.1/a.stl");
    task.getInstance(b)["stateType"] = 7;  // read back as no type, not thrown
    const std::string id = task["id"];
    testing::internal::CaptureStdout();
    sync.onDifference(remote - TaskQueue());
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(events, (std::vector<std::string>{"newTask " + id, "variable fileLink",
                                                "newState " + std::min(a, b), "newState " + std::max(a, b)}));
    EXPECT_EQ(sync.getInstanceStateType(id, b), "");

    // Progress lowered by the peer: the sum keeps the larger one, nothing to announce.
    sync.updateInstanceProgress(id, a, 0.5);
    const TaskQueue before = sync.getQueue();
    TaskQueue changed = before.cloneLight();
    changed.getTask(id).getInstance(a)["progress"] = 0.25;
    events.clear();
    sync.onDifference(changed - TaskQueue());
    EXPECT_TRUE(events.empty());
    EXPECT_DOUBLE_EQ(sync.getInstanceProgress(id, a), 0.5);
    changed.getTask(id).getInstance(a)["progress"] = 0.75;
    sync.onDifference(changed - before);
    changed.deleteTask(id);
    sync.onDifference(changed - sync.getQueue());
    EXPECT_EQ(events, (std::vector<std::string>{"modifiedState " + a, "deletedTask " + id}));
}

TEST(LocalSynchronizer, SerialisesCallersOfManyThreads) {
    LocalSynchronizer sync;
    const std::string id = sync.makeTask("Printing");
    std::atomic<bool> done(false);
    std::vector<std::string> instances(4);
    for (std::string& instance : instances) instance = sync.makeInstance(id, "Heating");

    std::thread reader([&] {
        std::uint64_t seen = 0;
        while (!done) {
            EXPECT_TRUE(sync.getQueue().hasTask(id));
            sync.isTaskDone(id);
            std::vector<Task> changed;
            seen = sync.changesSince(seen, {}, changed);
            EXPECT_LE(changed.size(), 1u);  // the one task, once, whatever changed in it
        }
    });
    std::thread differences([&] {
        for (int i = 0; i < 200; ++i) {
            const TaskQueue base = sync.getQueue();
            TaskQueue remote = base.cloneLight();
            remote.getTask(id).setVariable("remote", i);
            sync.onDifference(remote - base);
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
