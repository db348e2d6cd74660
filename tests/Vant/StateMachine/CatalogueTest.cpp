#include "Vant/StateMachine/build.h"

#include <gtest/gtest.h>

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

// The types whose `flag` is set, as one space-separated line.
std::string namesWith(const var& catalogue, const char* flag) {
    std::string names;
    for (const std::string& name : catalogue.keys()) {
        if (catalogue[name].has(flag) && catalogue[name][flag].booleanValue()) names += " " + name;
    }
    return names;
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

// Atomic types run to their end although interrupted; nothing else tells a lost flag.
TEST(Catalogue, AtomicAndParallelFlagsSitOnTheirTypes) {
    const var catalogue = builtIn();
    EXPECT_EQ(namesWith(catalogue, "parallel"),
              " EjectingFilament.Resetting LoadingFilament.Resetting Printing.Preparation");
    EXPECT_EQ(namesWith(catalogue, "atomic"),
              " AbsolutePositioning BedToBottom Ejecting EjectingFilament.Resetting"
              " EjectingFilament.ResettingMechanicals GetTemperature LoadingFilament.Resetting"
              " LoadingFilament.ResettingMechanicals MechanicalCoordinates Packaging PreHeating"
              " PrintingCoordinates RelativePositioning ResetExtrudingPosition ResetFirmware"
              " ResettingMechanicals SaveNozzlePosition SensorReading StartingUp TargetCold Unjamming"
              " XY-Calibration");
}
