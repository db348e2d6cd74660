#include "Vant/StateMachine/Task.h"

#include <gtest/gtest.h>

using kel::var;
using Vant::StateMachine::StateInstance;
using Vant::StateMachine::Task;

TEST(Task, KeepsInstancesByIdAndVariablesByName) {
    Task task("Printing");
    EXPECT_FALSE(task.has("instances"));
    EXPECT_FALSE(task.has("data"));
    StateInstance second = task.makeStateInstance("Slicing");
    StateInstance first = task.makeStateInstance("Downloading");
    ASSERT_TRUE(task.hasInstance(first["id"]));
    std::vector<StateInstance> instances = task.instances();
    ASSERT_EQ(instances.size(), 2u);
    EXPECT_LT(instances[0]["id"].stringValue(), instances[1]["id"].stringValue());

    // Handles reach the stored records.
    task.getInstance(first["id"])["progress"] = 0.5;
    EXPECT_EQ(first["progress"], var(0.5));
    var link("http://127.0.0.1/model.stl");
    task.setVariable("fileLink", link);
    EXPECT_TRUE(task.getVariable("fileLink") &= link);  // shared, not copied
    EXPECT_TRUE(task.hasVariable("fileLink"));
    EXPECT_FALSE(task.hasVariable("Interrupted"));
}

TEST(Task, ReadingAbsentInstancesOrVariablesLeavesTheTaskAlone) {
    Task task("Printing");
    const var before = task.clone();
    EXPECT_TRUE(task.getVariable("Interrupted").isUndefined());
    StateInstance missing = task.getInstance("0badc0de");
    missing["progress"] = 1.0;
    EXPECT_EQ(task, before);
    EXPECT_FALSE(task.has("instances"));
    EXPECT_FALSE(task.has("data"));
}

TEST(Task, DifferenceCarriesNewInstancesWholeAndOnlyChangedVariables) {
    Task older("Printing");
    StateInstance kept = older.makeStateInstance("Uploading");
    older.setVariable("fileLink", "a");
    older.setVariable("count", 1);
    Task newer(older.cloneLight());
    StateInstance added = newer.makeStateInstance("Downloading");
    newer.setVariable("count", 1);  // same value: no entry
    newer.setVariable("Interrupted", "Cancelled");

    Task d = newer - older;
    EXPECT_FALSE(d.has("id"));
    EXPECT_EQ(d["data"], var::fromJsonString("{\"Interrupted\": \"Cancelled\"}"));
    ASSERT_TRUE(d.hasInstance(added["id"]));
    EXPECT_FALSE(d.hasInstance(kept["id"]));
    EXPECT_FALSE(d.getInstance(added["id"]).isDifference());
    EXPECT_EQ(d.getInstance(added["id"]), added);
    EXPECT_FALSE(d.getInstance(added["id"]) &= added);  // a copy, not the newer task's record
    EXPECT_TRUE(d.isDifference());
    EXPECT_TRUE(d.hasDifference());

    Task nothing = newer - newer;
    EXPECT_EQ(nothing.size(), 0u);
    EXPECT_FALSE(nothing.hasDifference());

    // Removals do not travel.
    EXPECT_EQ((older - newer).size(), 0u);
}

TEST(Task, SumAppliesADifferenceWithoutLoweringProgress) {
    Task older("Printing");
    StateInstance instance = older.makeStateInstance("Layering");
    instance["progress"] = 0.6;
    older.setVariable("a", 1);

    Task d;
    d["instances"][instance["id"].stringValue()] = var::fromJsonString("{\"progress\": 0.4}");
    StateInstance fresh("Slicing");
    d.addInstance(fresh);
    d.setVariable("a", 2);
    d.setVariable("b", "x");
    d["diff"] = "deleted";

    Task r = older + d;
    EXPECT_EQ(r["id"], older["id"]);
    EXPECT_EQ(r.getInstance(instance["id"])["progress"], var(0.6));
    EXPECT_EQ(r.getInstance(instance["id"])["stateType"], var("Layering"));
    EXPECT_EQ(r.getInstance(fresh["id"]), fresh);
    EXPECT_EQ(r.getVariable("a"), var(2));
    EXPECT_EQ(r.getVariable("b"), var("x"));
    EXPECT_FALSE(r.has("diff"));
    // The operands are left as they were.
    EXPECT_EQ(older.getVariable("a"), var(1));
}

TEST(Task, DifferenceAndDeletionMarkers) {
    Task whole("Packaging");
    EXPECT_FALSE(whole.isDifference());
    EXPECT_TRUE(whole.hasDifference());
    EXPECT_FALSE(whole.isDeletion());
    Task tombstone(var::fromJsonString("{\"id\": \"0000abcd\", \"diff\": \"deleted\"}"));
    EXPECT_TRUE(tombstone.isDifference());
    EXPECT_TRUE(tombstone.isDeletion());
    EXPECT_TRUE(tombstone.hasDifference());
    Task onlyVariable;
    onlyVariable.setVariable("x", false);
    EXPECT_TRUE(onlyVariable.isDifference());
    EXPECT_TRUE(onlyVariable.hasDifference());
}

TEST(Task, LightCloneOwnsItsMapsButSharesVariableValues) {
    Task task("Printing");
    StateInstance instance = task.makeStateInstance("Layering");
    var big = var::fromJsonString("{\"layers\": [1, 2, 3]}");
    task.setVariable("model", big);

    Task copy = task.cloneLight();
    EXPECT_EQ(copy, task);
    copy.getInstance(instance["id"])["progress"] = 0.9;
    copy.setVariable("extra", 1);
    EXPECT_EQ(instance["progress"], var(0.0));
    EXPECT_FALSE(task.hasVariable("extra"));
    EXPECT_TRUE(copy.getVariable("model") &= big);
}
