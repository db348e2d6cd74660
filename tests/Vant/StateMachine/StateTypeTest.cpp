#include "Vant/StateMachine/StateType.h"

#include <gtest/gtest.h>

using namespace Vant::StateMachine;
using kel::var;

namespace {

// Each test starts from an empty catalogue: StateTypes is the process's one global.
class StateTypeBuilders : public ::testing::Test {
protected:
    void SetUp() override { StateTypes = var(); }
    void TearDown() override { StateTypes = var(); }
};

}  // namespace

TEST_F(StateTypeBuilders, ChainedCallsBuildOneRecordRegisteredUnderItsName) {
    StateType built = StateType("X-Calibration").duration(3) = "G28 X0";
    var expected = var::fromJsonString(
        "{\"class\": \"StateType\", \"stateType\": \"X-Calibration\", \"mode\": \"primary\","
        " \"duration\": 3.0, \"gcode\": \"G28 X0\"}");
    EXPECT_EQ(StateTypes["X-Calibration"], expected);
    EXPECT_TRUE(StateTypes["X-Calibration"]["duration"].isReal());
    // The catalogue entry and the builder's handle are one value.
    built.atomic(true);
    EXPECT_TRUE(StateTypes["X-Calibration"]["atomic"].booleanValue());
}

TEST_F(StateTypeBuilders, RegisteringANameAgainReplacesTheEntry) {
    StateType("Twice").duration(1) = "G1";
    StateType("Twice").duration(2).request();
    EXPECT_EQ(StateTypes.size(), 1u);
    EXPECT_FALSE(StateTypes["Twice"].has("gcode"));
    EXPECT_TRUE(StateTypes["Twice"]["request"].booleanValue());
    EXPECT_EQ(StateTypes["Twice"]["duration"].realValue(), 2.0);
}

TEST_F(StateTypeBuilders, FlagsFollowTheModeRule) {
    StateType atomicOnly = StateType("AtomicOnly").atomic(true);
    EXPECT_FALSE(atomicOnly.has("mode"));

    StateType("Composed").atomic(true) = {State("A"), State("B")};
    EXPECT_EQ(StateTypes["Composed"]["mode"], var("composed"));
    EXPECT_TRUE(StateTypes["Composed"]["atomic"].booleanValue());
    EXPECT_EQ(StateTypes["Composed"]["items"].size(), 2u);

    // parallel() checks no mode: a primary record keeps its mode.
    StateType("Primary").duration(0).parallel();
    EXPECT_EQ(StateTypes["Primary"]["mode"], var("primary"));
    EXPECT_TRUE(StateTypes["Primary"]["parallel"].booleanValue());
    EXPECT_EQ(StateType("Fresh").parallel()["mode"], var("composed"));
}

TEST_F(StateTypeBuilders, ItemBuildersWriteTheirRecords) {
    EXPECT_EQ(If("X").thenSkipTo("Resetting"),
              var::fromJsonString("{\"class\": \"ConditionItem\", \"variableName\": \"X\", \"label\": true,"
                                  " \"then\": \"Resetting\"}"));
    If toEnd = If("Interrupted", false).elseSkipToEnd();
    EXPECT_EQ(toEnd["else"], var(2147483647));
    EXPECT_EQ(toEnd["value"], var(false));
    EXPECT_FALSE(toEnd.has("label"));
    EXPECT_EQ(If("Y").thenSkip(1).elseSkip(5)["else"], var(5));
    EXPECT_EQ(Set("Global:LightingMode", "Idle"),
              var::fromJsonString("{\"class\": \"SetterItem\", \"variableName\": \"Global:LightingMode\","
                                  " \"value\": \"Idle\"}"));
    EXPECT_EQ(State("Heating"),
              var::fromJsonString("{\"class\": \"StateItem\", \"stateType\": \"Heating\"}"));
}

using StateTypeBuildersDeathTest = StateTypeBuilders;

TEST_F(StateTypeBuildersDeathTest, ABuilderAgainstTheModeStopsTheProgram) {
    EXPECT_DEATH((StateType("C") = {State("A")}).duration(1),
                 "StateType\\.h.*Assertion `\\(\\*this\\)\\[\"mode\"\\] == \"primary\"' failed");
    EXPECT_DEATH(StateType("P").request() = {State("A")},
                 "Assertion `\\(\\*this\\)\\[\"mode\"\\] == \"composed\"' failed");
}
