#include "CatalogueCheck.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <set>
#include <string>
#include <vector>

#include "Vant/Ferrow/Startup.h"
#include "Vant/StateMachine/StateType.h"
#include "Vant/StateMachine/build.h"
#include "kel/var.h"
#include "support/ChildProcess.h"
#include "support/StagedHome.h"

using CatalogueTool::checkCatalogue;
using testsupport::ChildProcess;
using Vant::StateMachine::StateTypes;
using namespace std::chrono_literals;

namespace {

// A temporary TOLVANE_HOME with the folder of the catalogue file.
class CatalogueHome : public ::testing::Test {
protected:
    void SetUp() override {
        home = testsupport::scratchFolder();
        ASSERT_EQ(system(("mkdir -p " + home + "/bin/tolvane-ferrow/current").c_str()), 0);
        catalogue = home + "/bin/tolvane-ferrow/current/stateMachine.json";
        StateTypes = kel::var();
    }
    void TearDown() override { StateTypes = kel::var(); }

    void write(const std::string& text) { testsupport::writeFile(catalogue, text); }

    std::string home;
    std::string catalogue;
};

const char* const Sound =
    "{\"A\": {\"class\": \"StateType\", \"stateType\": \"A\", \"mode\": \"primary\", \"duration\": 1.0,"
    " \"gcode\": \"G28\"},"
    " \"B\": {\"class\": \"StateType\", \"stateType\": \"B\", \"mode\": \"composed\", \"items\": ["
    "   {\"class\": \"ConditionItem\", \"variableName\": \"Interrupted\", \"label\": true, \"then\": "
    "\"End\"},"
    "   {\"class\": \"StateItem\", \"stateType\": \"A\"},"
    "   {\"class\": \"LabelItem\", \"label\": \"End\"}]}}";

// Sound with one piece of text replaced.
std::string broken(const std::string& from, const std::string& to) {
    std::string text = Sound;
    const size_t at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    return text.replace(at, from.size(), to);
}

}  // namespace

TEST_F(CatalogueHome, DumpedCatalogueChecksCleanAndReadsBackAsTheBuiltInOne) {
    ChildProcess dump({testsupport::builtProgram("tolvane-catalogue"), "dump"});
    ASSERT_EQ(dump.wait(30s), 0) << dump.err();
    Vant::StateMachine::buildStateMachine();
    EXPECT_EQ(kel::var::fromJsonString(dump.out()), StateTypes);
    EXPECT_NE(dump.out().find("\n    \"AbsolutePositioning\":"), std::string::npos) << "not indented text";

    write(dump.out());
    ChildProcess check({testsupport::builtProgram("tolvane-catalogue"), "check", catalogue});
    EXPECT_EQ(check.wait(30s), 0);
    EXPECT_EQ(check.out(), "");
}

TEST_F(CatalogueHome, DaemonStopsOnACatalogueThatDoesNotRead) {
    write("{\"A\": {\"class\": \"StateType\"");
    ChildProcess daemon({testsupport::builtProgram("tolvane-ferrow"), "-k", "new"}, {{"TOLVANE_HOME", home}});
    EXPECT_EQ(daemon.wait(10s), 1);
    EXPECT_NE(daemon.err().find("loadStateMachine() " + catalogue + " does not read"), std::string::npos)
        << daemon.err();
    EXPECT_EQ(daemon.out(), "");
}

TEST_F(CatalogueHome, CheckListsEveryProblemAndFails) {
    write(broken("\"mode\": \"primary\"", "\"mode\": \"primal\""));
    ChildProcess check({testsupport::builtProgram("tolvane-catalogue"), "check", catalogue});
    EXPECT_EQ(check.wait(30s), 1);
    EXPECT_EQ(check.out(), "\"A\": \"mode\" is \"primal\", neither \"primary\" nor \"composed\"\n");

    ChildProcess missing({testsupport::builtProgram("tolvane-catalogue"), "check", home + "/none.json"});
    EXPECT_EQ(missing.wait(30s), 1);
    ChildProcess usage({testsupport::builtProgram("tolvane-catalogue"), "checks"});
    EXPECT_EQ(usage.wait(30s), 2);
    EXPECT_NE(usage.err().find("Usage"), std::string::npos);
}

TEST_F(CatalogueHome, LoaderTakesTheFileAsTheWholeCatalogueAndTheBuiltInOneWithoutIt) {
    ASSERT_TRUE(Vant::Ferrow::loadStateMachine(catalogue));
    const kel::var loaded = StateTypes;
    StateTypes = kel::var();
    Vant::StateMachine::buildStateMachine();
    EXPECT_EQ(loaded, StateTypes);

    StateTypes = kel::var();
    write(Sound);
    ASSERT_TRUE(Vant::Ferrow::loadStateMachine(catalogue));
    EXPECT_EQ(StateTypes.keys(), (std::set<std::string>{"A", "B"}));
}

TEST(CatalogueCheck, FindsEachKindOfProblem) {
    EXPECT_EQ(checkCatalogue(Sound), std::vector<std::string>{});
    const std::vector<std::pair<std::string, std::string>> cases = {
        {broken("\"stateType\": \"B\"", "\"stateType\": \"C\""),
         "\"B\": \"stateType\" is \"C\", not the record's name"},
        {broken("\"mode\": \"composed\", ", ""),
         "\"B\": \"mode\" is absent, neither \"primary\" nor \"composed\""},
        {broken("\"gcode\": \"G28\"", "\"gcod\": \"G28\""),
         "\"A\": primary record without \"gcode\", \"request\" or \"special\""},
        {broken("\"items\"", "\"itemz\""), "\"B\": composed record without \"items\""},
        {broken("\"class\": \"StateItem\"", "\"class\": \"StateItm\""),
         "\"B\": item 2: unknown class \"StateItm\""},
        {broken("{\"class\": \"StateItem\", \"stateType\": \"A\"}",
                "{\"class\": \"StateItem\", \"stateType\": \"Z\"}"),
         "\"B\": item 2: runs \"Z\", which is not in the catalogue"},
        {broken("\"label\": \"End\"", "\"label\": \"Ending\""),
         "\"B\": item 1: jumps to label \"End\", which does not follow it in the same list"},
        {std::string(Sound).substr(0, std::string(Sound).size() - 1), ""},
    };
    for (const auto& c : cases) {
        const std::vector<std::string> problems = checkCatalogue(c.first);
        if (c.second.empty()) {
            // Text that does not read.
            ASSERT_EQ(problems.size(), 1u) << c.first;
            EXPECT_EQ(problems[0].rfind("the text does not read", 0), 0u) << problems[0];
        } else {
            EXPECT_EQ(problems, std::vector<std::string>{c.second}) << c.first;
        }
    }
}

TEST(CatalogueCheck, LabelsMustFollowTheJumpInTheSameList) {
    // Neither a label before the jump nor one in another list counts; "else" jumps too.
    const std::string text =
        "{\"B\": {\"class\": \"StateType\", \"stateType\": \"B\", \"mode\": \"composed\", \"items\": ["
        "   {\"class\": \"LabelItem\", \"label\": \"Back\"},"
        "   {\"class\": \"ConditionItem\", \"variableName\": \"X\", \"label\": true, \"then\": \"Back\"},"
        "   {\"class\": \"ConditionItem\", \"variableName\": \"X\", \"label\": true, \"else\": \"Other\"},"
        "   {\"class\": \"ConditionItem\", \"variableName\": \"X\", \"then\": \"someBranch\"}]},"
        " \"C\": {\"class\": \"StateType\", \"stateType\": \"C\", \"mode\": \"composed\", \"items\": ["
        "   {\"class\": \"LabelItem\", \"label\": \"Other\"}]}}";
    EXPECT_EQ(checkCatalogue(text),
              (std::vector<std::string>{
                  "\"B\": item 2: jumps to label \"Back\", which does not follow it in the same list",
                  "\"B\": item 3: jumps to label \"Other\", which does not follow it in the same list"}));
    EXPECT_EQ(checkCatalogue("[1, 2]"), std::vector<std::string>{"the text is not a map of state types"});
}
