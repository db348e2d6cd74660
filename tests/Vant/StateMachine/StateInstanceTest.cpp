#include "Vant/StateMachine/StateInstance.h"

#include <gtest/gtest.h>

#include <string>

using kel::var;
using Vant::StateMachine::StateInstance;

namespace {

StateInstance withProgress(const char* stateType, var progress) {
    StateInstance instance(stateType);
    instance["progress"] = progress;
    return instance;
}

}  // namespace

TEST(StateInstance, StartsAtZeroWithAFreshHexId) {
    StateInstance a("Heating");
    StateInstance b("Heating");
    const std::string id = a["id"].stringValue();
    EXPECT_EQ(id.size(), 8u);
    EXPECT_EQ(id.find_first_not_of("0123456789abcdef"), std::string::npos) << id;
    EXPECT_NE(a["id"], b["id"]);
    EXPECT_EQ(a["class"], var("StateInstance"));
    EXPECT_EQ(a["progress"], var(0.0));
    EXPECT_FALSE(a.isDifference());
    EXPECT_TRUE(a.hasDifference());
}

TEST(StateInstance, DifferenceCarriesOnlyProgressThatWentUp) {
    StateInstance a = withProgress("Heating", 0.5);
    StateInstance same = a - a;
    EXPECT_EQ(same, var::fromJsonString("{\"id\": \"" + a["id"].stringValue() + "\"}"));
    EXPECT_TRUE(same.isDifference());
    EXPECT_FALSE(same.hasDifference());

    StateInstance lower = a.cloneLight();
    lower["progress"] = 0.2;
    EXPECT_FALSE((lower - a).has("progress"));
    EXPECT_EQ((a - lower)["progress"], var(0.5));
    EXPECT_TRUE((a - lower).hasDifference());

    // The difference owns its id: changing it does not write into the source.
    StateInstance d = a - lower;
    d["id"] = "00000000";
    EXPECT_NE(a["id"], var("00000000"));
}

TEST(StateInstance, DifferenceAgainstARecordWithoutTypeCarriesTheWholeInstance) {
    StateInstance a("Heating");
    StateInstance bare;
    bare["id"] = a["id"].clone();
    StateInstance d = a - bare;
    EXPECT_EQ(d["stateType"], var("Heating"));
    EXPECT_EQ(d["class"], var("StateInstance"));
    EXPECT_FALSE(d.isDifference());
}

TEST(StateInstance, SumNeverLowersProgress) {
    StateInstance a = withProgress("Heating", 0.7);
    StateInstance lower;
    lower["id"] = a["id"].clone();
    lower["progress"] = 0.3;
    EXPECT_EQ((a + lower)["progress"], var(0.7));
    StateInstance none;
    none["id"] = a["id"].clone();
    EXPECT_EQ((a + none)["progress"], var(0.7));
    EXPECT_EQ((a + none)["stateType"], var("Heating"));
    // A failed state stays failed when a difference without progress is added.
    StateInstance failed = withProgress("Heating", -2.0);
    EXPECT_EQ((failed + none)["progress"], var(-2.0));
    EXPECT_EQ((none + failed)["progress"], var(-2.0));
    EXPECT_EQ((failed + a)["progress"], var(0.7));
}

TEST(StateInstance, IntegerProgressCountsAsItsNumber) {
    // A user's program that answers a request with the integer 1 must finish the state.
    StateInstance asked = withProgress("AskClearBed", 0.0);
    StateInstance answer;
    answer["id"] = asked["id"].clone();
    answer["progress"] = 1;
    StateInstance answered = asked + answer;
    EXPECT_EQ(answered["progress"], var(1.0));
    EXPECT_TRUE(answered["progress"].isReal());

    StateInstance byUser = withProgress("AskClearBed", 1);
    EXPECT_EQ(byUser.progress(), 1.0);
    EXPECT_EQ((byUser - asked)["progress"], var(1.0));

    EXPECT_EQ(withProgress("X", "1").progress(), 0.0);
    EXPECT_EQ(withProgress("X", true).progress(), 0.0);
    EXPECT_EQ(StateInstance(var()).progress(), 0.0);
}
