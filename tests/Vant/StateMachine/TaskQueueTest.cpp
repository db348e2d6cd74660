// What the property tests cannot see: order, shared handles, odd or absent records,
// failed states and integer progress.
#include "Vant/StateMachine/TaskQueue.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

using kel::var;
using Vant::StateMachine::StateInstance;
using Vant::StateMachine::Task;
using Vant::StateMachine::TaskQueue;

namespace {

std::vector<std::string> idsOf(const TaskQueue& queue) {
    std::vector<std::string> ids;
    for (unsigned i = 0; queue.has("tasks") && i < queue["tasks"].size(); ++i)
        ids.push_back(queue["tasks"][i]["id"].stringValue());
    return ids;
}

StateInstance withProgress(const char* stateType, var progress) {
    StateInstance instance(stateType);
    instance["progress"] = progress;
    return instance;
}

}  // namespace

TEST(TaskQueue, DifferenceListsChangesFirstAndTombstonesLastInIdOrder) {
    TaskQueue older;
    Task changed = older.makeTask("Printing");
    changed.makeStateInstance("Layering");
    const std::string dropped = older.makeTask("Packaging")["id"];
    TaskQueue newer = older.cloneLight();
    newer.getTask(changed["id"]).setVariable("n", 1);
    newer.deleteTask(dropped);
    Task added = newer.makeTask("Maintaining");
    const std::string shortLived = newer.makeTask("Packaging")["id"];
    newer.deleteTask(shortLived);

    TaskQueue d = newer - older;
    std::vector<std::string> deleted = {dropped, shortLived};
    std::sort(deleted.begin(), deleted.end());
    EXPECT_EQ(idsOf(d), (std::vector<std::string>{changed["id"], added["id"], deleted[0], deleted[1]}));
    EXPECT_FALSE(d["tasks"][1] &= added);  // a copy, not the newer queue's record
    EXPECT_NE((newer - older)["diffId"], d["diffId"]);

    // += rebinds the handle; cloneLight owns its instances.
    TaskQueue alias = older;
    older += d;
    EXPECT_EQ(idsOf(alias).size(), 2u);
    TaskQueue copy = newer.cloneLight();
    Task task = copy.getTask(changed["id"]);
    task.getInstance(task.instances()[0]["id"])["progress"] = 0.5;
    EXPECT_EQ(newer.getTask(changed["id"]).instances()[0]["progress"], var(0.0));
}

TEST(TaskQueue, ReadsOfUnknownIdsAndOddEntriesLeaveTheQueueAlone) {
    TaskQueue queue;
    const std::string id = queue.makeTask("Printing")["id"];
    const var before = queue.clone();
    queue.getTask("0badc0de").setVariable("Interrupted", "x");
    queue.deleteTask("0badc0de");
    EXPECT_FALSE(queue.hasTask("0badc0de"));
    EXPECT_EQ(queue, before);

    // Entries without a string id are passed over.
    TaskQueue odd(
        var::fromJsonString("{\"diffId\": \"00000001\", \"tasks\": [{\"data\": {}}, 5, {\"id\": 7}]}"));
    EXPECT_FALSE(odd.hasDifference());
    EXPECT_EQ(idsOf(queue + odd), std::vector<std::string>{id});

    // A live task over an older tombstone is left out (and logged).
    TaskQueue older = queue.clone();
    older.deleteTask(id);
    testing::internal::CaptureStdout();
    TaskQueue d = queue - older;
    testing::internal::GetCapturedStdout();
    EXPECT_FALSE(d.has("tasks"));
}

TEST(Task, ReadingAbsentInstancesOrVariablesLeavesTheTaskAlone) {
    Task task("Printing");
    const var before = task.clone();
    EXPECT_TRUE(task.getVariable("Interrupted").isUndefined());
    task.getInstance("0badc0de")["progress"] = 1.0;
    EXPECT_EQ(task, before);
}

TEST(StateInstance, AFailedStateStaysFailedAndIntegerProgressCountsAsItsNumber) {
    StateInstance failed = withProgress("Heating", -2.0);
    StateInstance none;
    none["id"] = failed["id"].clone();
    EXPECT_EQ((failed + none)["progress"], var(-2.0));
    EXPECT_EQ((none + failed)["progress"], var(-2.0));
    EXPECT_FALSE((failed - failed).has("progress"));  // only progress that went up travels

    // A user's program that answers a request with the integer 1 finishes the state.
    StateInstance asked = withProgress("AskClearBed", 0.0);
    StateInstance answer;
    answer["id"] = asked["id"].clone();
    answer["progress"] = 1;
    EXPECT_EQ((asked + answer)["progress"], var(1.0));
    EXPECT_TRUE((asked + answer)["progress"].isReal());
    EXPECT_EQ((withProgress("AskClearBed", 1) - asked)["progress"], var(1.0));
    EXPECT_EQ(withProgress("X", "1").progress(), 0.0);
    EXPECT_EQ(withProgress("X", true).progress(), 0.0);
}

TEST(StateInstance, DifferenceAgainstARecordWithoutTypeCarriesTheWholeInstance) {
    StateInstance a("Heating");
    StateInstance bare;
    bare["id"] = a["id"].clone();
    StateInstance d = a - bare;
    EXPECT_EQ(d["stateType"], var("Heating"));
    EXPECT_FALSE(d.isDifference());
}
