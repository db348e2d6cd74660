#include "Vant/StateMachine/TaskQueue.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using kel::var;
using Vant::StateMachine::StateInstance;
using Vant::StateMachine::Task;
using Vant::StateMachine::TaskQueue;

namespace {

std::vector<std::string> idsOf(const TaskQueue& queue) {
    std::vector<std::string> ids;
    if (!queue.has("tasks")) return ids;
    for (unsigned i = 0; i < queue["tasks"].size(); ++i) ids.push_back(queue["tasks"][i]["id"].stringValue());
    return ids;
}

var tombstone(const std::string& id) {
    return var::fromJsonString("{\"diff\": \"deleted\", \"id\": \"" + id + "\"}");
}

}  // namespace

TEST(TaskQueue, LooksUpTasksAndTombstonesById) {
    TaskQueue queue;
    EXPECT_TRUE(queue.isUndefined());
    Task printing = queue.makeTask("Printing");
    Task packaging = queue.addTask(Task("Packaging"));
    const std::string id = printing["id"];
    EXPECT_TRUE(queue.hasTask(id));
    EXPECT_TRUE(queue.getTask(id) &= printing);

    queue.deleteTask(id);
    EXPECT_TRUE(queue.hasTask(id));
    EXPECT_TRUE(queue.getTask(id).isDeletion());
    EXPECT_EQ(queue["tasks"][0], tombstone(id));
    // The element was rebound: a handle on the old task keeps its content.
    EXPECT_EQ(printing["stateType"], var("Printing"));

    const var before = queue.clone();
    queue.deleteTask("0badc0de");
    EXPECT_EQ(queue, before);
    EXPECT_EQ(idsOf(queue), (std::vector<std::string>{id, packaging["id"]}));
}

TEST(TaskQueue, GetTaskOfAnUnknownIdGivesAnEmptyTask) {
    TaskQueue empty;
    EXPECT_EQ(empty.getTask("0badc0de").size(), 0u);
    EXPECT_TRUE(empty.isUndefined());

    TaskQueue queue;
    queue.makeTask("Printing");
    const var before = queue.clone();
    Task missing = queue.getTask("0badc0de");
    EXPECT_FALSE(queue.hasTask("0badc0de"));
    EXPECT_EQ(missing.size(), 0u);
    missing.setVariable("Interrupted", "x");
    EXPECT_EQ(queue, before);
}

TEST(TaskQueue, DifferenceOfEqualQueuesHasNoEntries) {
    TaskQueue queue;
    queue.makeTask("Printing").makeStateInstance("Uploading");
    queue.deleteTask(queue.makeTask("Packaging")["id"]);
    TaskQueue d = queue - queue;
    EXPECT_TRUE(d.isDifference());
    EXPECT_FALSE(d.hasDifference());
    EXPECT_FALSE(d.has("tasks"));
    EXPECT_EQ(d.keys(), std::set<std::string>{"diffId"});
    EXPECT_NE(d["diffId"], (queue - queue)["diffId"]);
    EXPECT_FALSE((TaskQueue() - TaskQueue()).hasDifference());
}

TEST(TaskQueue, DifferenceCarriesNewTasksWholeChangesPartlyAndDeletionsLast) {
    TaskQueue older;
    Task changed = older.makeTask("Printing");
    StateInstance instance = changed.makeStateInstance("Layering");
    Task dropped = older.makeTask("Packaging");
    Task untouched = older.makeTask("WifiSetup");

    TaskQueue newer = older.cloneLight();
    newer.getTask(changed["id"]).getInstance(instance["id"])["progress"] = 0.25;
    newer.deleteTask(dropped["id"]);
    Task added = newer.makeTask("Maintaining");
    Task shortLived = newer.makeTask("Packaging");
    newer.deleteTask(shortLived["id"]);

    TaskQueue d = newer - older;
    ASSERT_EQ(d["tasks"].size(), 4u);
    Task change = d["tasks"][0];
    EXPECT_EQ(change["id"], changed["id"]);
    EXPECT_FALSE(change.has("stateType"));
    EXPECT_EQ(change.getInstance(instance["id"]),
              var::fromJsonString("{\"id\": \"" + instance["id"].stringValue() + "\", \"progress\": 0.25}"));
    EXPECT_EQ(d["tasks"][1], added);
    EXPECT_FALSE(d["tasks"][1] &= added);
    // Tombstones last, in ascending id order; a task created and deleted between
    // two differences travels as a tombstone although the older side never had it.
    std::vector<std::string> deleted = {dropped["id"], shortLived["id"]};
    std::sort(deleted.begin(), deleted.end());
    EXPECT_EQ(d["tasks"][2], tombstone(deleted[0]));
    EXPECT_EQ(d["tasks"][3], tombstone(deleted[1]));
    EXPECT_TRUE(d.hasDifference());

    // A tombstone the older side already holds is not sent again.
    TaskQueue applied = older + d;
    EXPECT_EQ((newer - applied)["tasks"].size(), 0u);
}

TEST(TaskQueue, ALiveTaskOverAnOlderTombstoneIsLeftOutAndLogged) {
    TaskQueue older;
    Task task = older.makeTask("Printing");
    older.deleteTask(task["id"]);
    TaskQueue newer;
    newer.addTask(task);
    testing::internal::CaptureStdout();
    TaskQueue d = newer - older;
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "TaskQueue::operator-() Illegal state : que2[id][\"diff\"] == \"deleted\".\n");
    EXPECT_FALSE(d.has("tasks"));
}

TEST(TaskQueue, SumGathersTombstonesAndCarriesUnknownEntries) {
    TaskQueue queue;
    Task first = queue.makeTask("Printing");
    Task second = queue.makeTask("Packaging");

    TaskQueue d;
    d["diffId"] = "00000001";
    d.addTask(tombstone(first["id"]));
    var partial = var::fromJsonString("{\"id\": \"abcdef01\", \"data\": {\"x\": 1}}");
    d.addTask(partial);

    TaskQueue r = queue + d;
    EXPECT_EQ(idsOf(r), (std::vector<std::string>{second["id"], "abcdef01", first["id"]}));
    EXPECT_EQ(r["tasks"][1], partial);
    EXPECT_FALSE(r["tasks"][1] &= partial);
    EXPECT_TRUE(r["tasks"][2].has("diff"));
    EXPECT_FALSE(r.isDifference());
    EXPECT_FALSE(r["tasks"][0] &= second);

    // The sum of two differences is a difference with a fresh id.
    TaskQueue other;
    other["diffId"] = "00000002";
    TaskQueue both = d + other;
    EXPECT_TRUE(both.isDifference());
    EXPECT_NE(both["diffId"], var("00000001"));
    EXPECT_NE(both["diffId"], var("00000002"));

    // += rebinds the handle and leaves other handles on the old value alone.
    TaskQueue alias = queue;
    queue += d;
    EXPECT_EQ(queue, r);
    EXPECT_EQ(idsOf(alias), (std::vector<std::string>{first["id"], second["id"]}));
}

TEST(TaskQueue, EntriesWithoutAStringIdArePassedOver) {
    TaskQueue queue;
    Task task = queue.makeTask("Printing");
    TaskQueue d(
        var::fromJsonString("{\"diffId\": \"00000001\", \"tasks\": [{\"data\": {\"x\": 1}}, 5,"
                            " {\"id\": 7}]}"));
    TaskQueue r = queue + d;
    EXPECT_EQ(idsOf(r), std::vector<std::string>{task["id"]});
    EXPECT_FALSE(d.hasDifference());
    TaskQueue back = d - queue;
    ASSERT_EQ(back["tasks"].size(), 1u);
    EXPECT_TRUE(Task(back["tasks"][0]).isDeletion());
}

TEST(TaskQueue, LightCloneKeepsTheDifferenceMarkAndOwnsItsTasks) {
    TaskQueue queue;
    Task task = queue.makeTask("Printing");
    StateInstance instance = task.makeStateInstance("Layering");
    queue["diffId"] = "00000001";
    TaskQueue copy = queue.cloneLight();
    EXPECT_EQ(copy, queue);
    copy.getTask(task["id"]).getInstance(instance["id"])["progress"] = 0.5;
    EXPECT_EQ(instance["progress"], var(0.0));
}
