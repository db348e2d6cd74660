#include "Vant/StateMachine/build.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

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

// One line per item in the notation of the catalogue's own documentation, so that a
// whole item list reads (and fails) as text.
std::string describe(const var& item) {
    const std::string itemClass = item["class"].stringValue();
    if (itemClass == "StateItem") return "run " + item["stateType"].stringValue();
    if (itemClass == "LockItem") return "lock " + item["lockName"].stringValue();
    if (itemClass == "UnlockItem") return "unlock " + item["lockName"].stringValue();
    if (itemClass == "LabelItem") return "label " + item["label"].stringValue();
    if (itemClass == "WaitForThreadItem") return "wait for thread " + item["threadName"].stringValue();
    if (itemClass == "SetterItem") {
        return "set " + item["variableName"].stringValue() + " to " + item["value"].toJsonString();
    }
    if (itemClass == "ConditionItem") {
        std::string text = "if " + item["variableName"].stringValue();
        if (item.has("value")) text += " equals " + item["value"].toJsonString();
        const bool label = item.has("label") && item["label"].booleanValue();
        for (const char* outcome : {"then", "else"}) {
            if (!item.has(outcome)) continue;
            const var& target = item[outcome];
            text += std::string(": ") + outcome;
            if (label) {
                text += " jump to label " + target.stringValue();
            } else if (target.integerValue() == 2147483647) {
                text += " to the end";
            } else {
                text += " skip " + std::to_string(target.integerValue());
            }
        }
        return text;
    }
    return "unknown " + itemClass;
}

std::vector<std::string> itemsOf(const var& catalogue, const char* name) {
    std::vector<std::string> lines;
    const var& items = catalogue[name]["items"];
    for (unsigned i = 0; i < items.size(); ++i) lines.push_back(describe(items[i]));
    return lines;
}

std::set<std::string> namesWith(const var& catalogue, const char* flag) {
    std::set<std::string> names;
    for (const std::string& name : catalogue.keys()) {
        if (catalogue[name].has(flag) && catalogue[name][flag].booleanValue()) names.insert(name);
    }
    return names;
}

}  // namespace

TEST(Catalogue, Holds49PrimaryAnd28ComposedTypesOfTheirOwnNames) {
    const var catalogue = builtIn();
    ASSERT_EQ(catalogue.size(), 77u);
    unsigned primary = 0, composed = 0, gcode = 0, request = 0, special = 0;
    for (const std::string& name : catalogue.keys()) {
        const var& record = catalogue[name];
        EXPECT_EQ(record["class"], var("StateType")) << name;
        EXPECT_EQ(record["stateType"], var(name));
        const std::string mode = record["mode"].stringValue();
        if (mode == "primary") {
            ++primary;
            EXPECT_TRUE(record["duration"].isReal()) << name;
            EXPECT_FALSE(record.has("items")) << name;
            const int kinds = record.has("gcode") + record.has("request") + record.has("special");
            EXPECT_EQ(kinds, 1) << name;
            gcode += record.has("gcode");
            request += record.has("request");
            special += record.has("special");
        } else {
            EXPECT_EQ(mode, "composed") << name;
            ++composed;
            EXPECT_TRUE(record["items"].isArray()) << name;
            EXPECT_FALSE(record.has("duration")) << name;
        }
    }
    EXPECT_EQ(primary, 49u);
    EXPECT_EQ(composed, 28u);
    EXPECT_EQ(gcode, 38u);
    EXPECT_EQ(request, 6u);
    EXPECT_EQ(special, 5u);
}

TEST(Catalogue, EveryRunItemNamesAnExistingType) {
    const var catalogue = builtIn();
    unsigned runs = 0;
    for (const std::string& name : catalogue.keys()) {
        const var& record = catalogue[name];
        if (!record.has("items")) continue;
        for (unsigned i = 0; i < record["items"].size(); ++i) {
            const var& item = record["items"][i];
            if (item["class"] != var("StateItem")) continue;
            ++runs;
            EXPECT_TRUE(catalogue.has(item["stateType"])) << name << " item " << i + 1;
        }
    }
    EXPECT_EQ(runs, 96u);
}

TEST(Catalogue, AtomicAndParallelFlagsSitOnTheirTypes) {
    const var catalogue = builtIn();
    EXPECT_EQ(namesWith(catalogue, "parallel"),
              (std::set<std::string>{"Printing.Preparation", "EjectingFilament.Resetting",
                                     "LoadingFilament.Resetting"}));
    EXPECT_EQ(namesWith(catalogue, "atomic"),
              (std::set<std::string>{"MechanicalCoordinates",
                                     "PrintingCoordinates",
                                     "ResetExtrudingPosition",
                                     "AbsolutePositioning",
                                     "RelativePositioning",
                                     "TargetCold",
                                     "PreHeating",
                                     "GetTemperature",
                                     "SensorReading",
                                     "Unjamming",
                                     "Ejecting",
                                     "SaveNozzlePosition",
                                     "ResetFirmware",
                                     "BedToBottom",
                                     "XY-Calibration",
                                     "ResettingMechanicals",
                                     "StartingUp",
                                     "Packaging",
                                     "EjectingFilament.Resetting",
                                     "EjectingFilament.ResettingMechanicals",
                                     "LoadingFilament.Resetting",
                                     "LoadingFilament.ResettingMechanicals"}));
    // "atomic" is absent, never false, on the other types.
    for (const std::string& name : catalogue.keys()) {
        if (catalogue[name].has("atomic")) {
            EXPECT_TRUE(catalogue[name]["atomic"].booleanValue()) << name;
        }
    }
}

TEST(Catalogue, PrimaryRecordsCarryTheirCommandsAndDurations) {
    const var catalogue = builtIn();
    EXPECT_EQ(catalogue["EnsureCold"]["gcode"], var("Driver:Temperature:EnsureUnder:60"));
    EXPECT_EQ(catalogue["EnsureCold"]["duration"], var(120.0));
    EXPECT_EQ(catalogue["Heating"]["gcode"], var("Driver:Temperature:EnsureAt:185"));
    EXPECT_EQ(catalogue["MovingAwayAfterCancel"]["gcode"], var("G5 C10 Q2"));
    EXPECT_EQ(catalogue["ResetExtrudingPosition"]["gcode"], var("G92 E0 Q0"));
    EXPECT_EQ(catalogue["AdjustingNSUp"]["duration"], var(0.1));
    EXPECT_EQ(catalogue["Layering"]["duration"], var(999.0));
    EXPECT_TRUE(catalogue["Layering"]["special"].booleanValue());
    EXPECT_TRUE(catalogue["Uploading"]["request"].booleanValue());
    EXPECT_EQ(catalogue["Uploading"]["duration"], var(0.0));
    EXPECT_EQ(catalogue["BedToBottom"]["mode"], var("composed"));
}

TEST(Catalogue, TakingBedChecksTheBedAndStartsAgainOnAMismatch) {
    EXPECT_EQ(
        itemsOf(builtIn(), "TakingBed"),
        (std::vector<std::string>{
            "set Global:LightingMode to \"Preparing\"", "run FreeingBed", "if Interrupted: then to the end",
            "set Global:LightingMode to \"Notification\"", "run AskClearBed",
            "if Interrupted: then to the end", "set Global:LightingMode to \"Preparing\"",
            "if TakingBed.PreHeating equals false: then skip 1", "run PreHeating", "run XY-Calibration",
            "if Interrupted: then to the end", "run BedDetecting", "if Interrupted: then to the end",
            "if BedDetecting.BedOn equals \"TakingBed.BedOn\": then to the end", "run TakingBed"}));
}

TEST(Catalogue, PrintingJumpsToItsResetOnInterruption) {
    const var catalogue = builtIn();
    EXPECT_EQ(
        itemsOf(catalogue, "Printing"),
        (std::vector<std::string>{
            "run Printing.Preparation", "if Interrupted: then jump to label Resetting",
            "run ResetExtrudingPosition", "run PrintingCoordinates", "run AbsolutePositioning",
            "set Global:LightingMode to \"Printing\"", "if Interrupted: then jump to label Resetting",
            "set Global:CloseToPrint to true", "run Layering", "if Interrupted: then jump to label Resetting",
            "run MechanicalCoordinates", "run MovingAwayAfterPrint", "set Global:CloseToPrint to false",
            "label Resetting", "run ResettingMechanicals", "unlock Mechanicals"}));
    const std::vector<std::string> mechanical = itemsOf(catalogue, "Printing.MechanicalPreparation");
    ASSERT_EQ(mechanical.size(), 20u);
    EXPECT_EQ(mechanical[11], "wait for thread dataThread");
    EXPECT_EQ(mechanical[16], "set Cleaning.Extruding to true");
    const std::vector<std::string> data = itemsOf(catalogue, "Printing.DataPreparation");
    ASSERT_EQ(data.size(), 15u);
    EXPECT_EQ(data[12], "label Resetting");
    EXPECT_EQ(data[14], "unlock CPU");
}

TEST(Catalogue, MaintainingEjectsOnlyWhenAskedTo) {
    EXPECT_EQ(itemsOf(builtIn(), "Maintaining"),
              (std::vector<std::string>{"lock Mechanicals",
                                        "if Interrupted: then to the end",
                                        "set TakingBed.PreHeating to true",
                                        "set TakingBed.BedOn to true",
                                        "run TakingBed",
                                        "if Interrupted: then jump to label Interruption",
                                        "run FullPreHeating",
                                        "set AutoLevelling.FullBed to false",
                                        "run AutoLevelling",
                                        "if Interrupted: then jump to label Interruption",
                                        "run CleaningPosition",
                                        "if Interrupted: then jump to label Interruption",
                                        "run Heating",
                                        "if Interrupted: then jump to label Interruption",
                                        "run Loading",
                                        "run TargetCold",
                                        "set Global:CloseToPrint to true",
                                        "run Cleaning",
                                        "if Interrupted: then jump to label Interruption",
                                        "set Global:CloseToPrint to false",
                                        "if Maintaining.Type equals \"Ejecting\": else skip 1",
                                        "run Ejecting",
                                        "label Interruption",
                                        "run ResettingMechanicals",
                                        "unlock Mechanicals"}));
}

TEST(Catalogue, ResettingMechanicalsSkipsByCount) {
    EXPECT_EQ(itemsOf(builtIn(), "ResettingMechanicals"),
              (std::vector<std::string>{"if Lock:Mechanicals: else to the end", "if Interrupted: else skip 5",
                                        "run ResetFirmware", "set Global:XY-Calibrated to false",
                                        "if Global:CloseToPrint: else skip 2", "run MovingAwayAfterCancel",
                                        "set Global:CloseToPrint to false", "run FreeingBed"}));
    EXPECT_EQ(itemsOf(builtIn(), "BedDetecting").back(),
              "set BedDetecting.BedOn to \"Global:LightSensorOn\"");
    EXPECT_EQ(itemsOf(builtIn(), "NozzleCalibration.Preparation").front(),
              "set TakingBed.PreHeating to false");
}
