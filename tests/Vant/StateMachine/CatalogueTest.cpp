#include "Vant/StateMachine/build.h"

#include <gtest/gtest.h>

#include <iterator>
#include <set>
#include <sstream>
#include <string>

#include "Vant/StateMachine/StateType.h"

using namespace Vant::StateMachine;
using kel::var;

namespace {

var builtIn() {
    StateTypes = var();
    buildStateMachine();
    var catalogue = StateTypes;
    StateTypes = var();
    return catalogue;
}

std::set<std::string> namesWith(const var& catalogue, const char* flag) {
    std::set<std::string> names;
    for (const std::string& name : catalogue.keys()) {
        if (catalogue[name].has(flag) && catalogue[name][flag].booleanValue()) names.insert(name);
    }
    return names;
}

std::set<std::string> words(const std::string& text) {
    std::istringstream in(text);
    return {std::istream_iterator<std::string>(in), std::istream_iterator<std::string>()};
}

}  // namespace

TEST(Catalogue, EveryRunItemNamesAnExistingType) {
    const var catalogue = builtIn();
    for (const std::string& name : catalogue.keys()) {
        const var& record = catalogue[name];
        if (!record.has("items")) continue;
        for (unsigned i = 0; i < record["items"].size(); ++i) {
            const var& item = record["items"][i];
            if (item["class"] != var("StateItem")) continue;
            EXPECT_TRUE(catalogue.has(item["stateType"])) << name << " item " << i + 1;
        }
    }
}

// Atomic types run to their end although their task is interrupted (a move cut short
// leaves the mechanics where the next state does not expect them); no dump or check
// tells a flag that went missing.
TEST(Catalogue, AtomicAndParallelFlagsSitOnTheirTypes) {
    const var catalogue = builtIn();
    EXPECT_EQ(namesWith(catalogue, "parallel"),
              words("Printing.Preparation EjectingFilament.Resetting LoadingFilament.Resetting"));
    EXPECT_EQ(
        namesWith(catalogue, "atomic"),
        words("MechanicalCoordinates PrintingCoordinates ResetExtrudingPosition AbsolutePositioning "
              "RelativePositioning TargetCold PreHeating GetTemperature SensorReading Unjamming Ejecting "
              "SaveNozzlePosition ResetFirmware BedToBottom XY-Calibration ResettingMechanicals StartingUp "
              "Packaging EjectingFilament.Resetting EjectingFilament.ResettingMechanicals "
              "LoadingFilament.Resetting LoadingFilament.ResettingMechanicals"));
}
