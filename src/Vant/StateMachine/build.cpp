#include "Vant/StateMachine/build.h"

#include "Vant/StateMachine/StateType.h"

namespace Vant {
namespace StateMachine {

namespace {

// Single commands to the motion board ("Driver:" commands are handled by the driver
// itself), questions to the user, and jobs the runtime carries out on its own.
void buildPrimaryStates() {
    StateType("MechanicalCoordinates").duration(0).atomic(true) = "G54";
    StateType("PrintingCoordinates").duration(0).atomic(true) = "G55";
    StateType("ResetExtrudingPosition").duration(0).atomic(true) = "G92 E0 Q0";
    StateType("AbsolutePositioning").duration(0).atomic(true) = "G90";
    StateType("RelativePositioning").duration(0).atomic(true) = "G91";
    StateType("CenteringPosition").duration(3) = "G5 C1 Q0";
    StateType("EnsureCold").duration(120) = "Driver:Temperature:EnsureUnder:60";
    StateType("EnsureColdForBed").duration(120) = "Driver:Temperature:EnsureUnder:60";
    StateType("TargetCold").duration(0).atomic(true) = "Driver:Temperature:SetTarget:0";
    StateType("X-Calibration").duration(3) = "G28 X0";
    StateType("X-EdgeAvoiding").duration(1) = "G5 C5 Q0";
    StateType("Y-Calibration").duration(3) = "G28 Y0";
    StateType("Y-EdgeAvoiding").duration(1) = "G5 C6 Q0";
    StateType("Z-Calibration").duration(50) = "G27";
    StateType("Z-EdgeAvoiding").duration(1) = "G5 C7 Q0";
    StateType("PreHeating").duration(0).atomic(true) = "Driver:Temperature:SetTarget:90";
    StateType("BedSupportDetectingPosition").duration(3) = "G5 C2 Q0";
    StateType("UpTillTriggering").duration(50) = "G26";
    StateType("GetTemperature").duration(0).atomic(true) = "M105";
    StateType("BedDetectingPosition").duration(3) = "G5 C3 Q2";
    StateType("BedDetectingLifting").duration(3) = "G5 C4 Q2";
    StateType("SensorReading").duration(0).atomic(true) = "M119";
    StateType("AutoLevelling").duration(50) = "G29";
    StateType("CleaningPosition").duration(3) = "G5 C8 Q1";
    StateType("FullPreHeating").duration(10) = "Driver:Temperature:SetTarget:185";
    StateType("Heating").duration(10) = "Driver:Temperature:EnsureAt:185";
    StateType("Cleaning").duration(10) = "G46 Q1";
    StateType("Unjamming").duration(15).atomic(true) = "G45";
    StateType("Ejecting").duration(30).atomic(true) = "G47 Q3";
    StateType("Loading").duration(10) = "G5 C9 Q3";
    StateType("MovingAwayAfterCancel").duration(3) = "G5 C10 Q2";
    StateType("MovingAwayAfterPrint").duration(3) = "G5 C11 Q0";
    StateType("InitialNS").duration(3) = "G70 Q0";
    StateType("AdjustingNSUp").duration(0.1) = "G71 Q0";
    StateType("AdjustingNSDown").duration(0.1) = "G72 Q0";
    StateType("SaveNozzlePosition").duration(0).atomic(true) = "M500";
    StateType("ResetFirmware").duration(0).atomic(true) = "M112";
    StateType("PackagingPosition").duration(3) = "G73 Q0";

    StateType("AskWifiDetails").duration(5).request();
    StateType("AskClearBed").duration(5).request();
    StateType("AskAdjustment").duration(5).request();
    StateType("AskCartridgeColor").duration(5).request();
    StateType("AskRemoveCartridge").duration(5).request();
    StateType("Uploading").duration(0).request();

    StateType("Layering").duration(999).special();
    StateType("Downloading").duration(10).special();
    StateType("Slicing").duration(60).special();
    StateType("FetchWifiList").duration(10).special();
    StateType("ConnectWifi").duration(10).special();
}

// Bed handling and the mechanical resets the tasks share.
void buildMechanicalStates() {
    StateType("BedDetecting") = {
        State("BedSupportDetectingPosition"),
        If("Interrupted").thenSkipToEnd(),
        State("UpTillTriggering"),
        If("Interrupted").thenSkipToEnd(),
        State("BedDetectingPosition"),
        If("Interrupted").thenSkipToEnd(),
        State("BedDetectingLifting"),
        If("Interrupted").thenSkipToEnd(),
        State("SensorReading"),
        If("Interrupted").thenSkipToEnd(),
        Set("BedDetecting.BedOn", "Global:LightSensorOn"),
    };

    StateType("BedToBottom").atomic(true) = {
        State("Z-Calibration"),
        State("Z-EdgeAvoiding"),
    };

    StateType("XY-Calibration").atomic(true) = {
        If("Global:XY-Calibrated").thenSkipToEnd(),
        State("Y-Calibration"),
        State("Y-EdgeAvoiding"),
        State("X-Calibration"),
        State("X-EdgeAvoiding"),
        Set("Global:XY-Calibrated", true),
    };

    StateType("ResettingMechanicals").atomic(true) = {
        If("Lock:Mechanicals").elseSkipToEnd(),
        If("Interrupted").elseSkip(5),
        State("ResetFirmware"),
        Set("Global:XY-Calibrated", false),
        If("Global:CloseToPrint").elseSkip(2),
        State("MovingAwayAfterCancel"),
        Set("Global:CloseToPrint", false),
        State("FreeingBed"),
    };

    StateType("FreeingBed") = {
        Set("Global:LightingMode", "Preparing"),
        State("EnsureCold"),
        State("BedToBottom"),
        State("XY-Calibration"),
        State("CenteringPosition"),
        Set("Global:LightingMode", "Idle"),
    };

    StateType("TakingBed") = {
        Set("Global:LightingMode", "Preparing"),
        State("FreeingBed"),
        If("Interrupted").thenSkipToEnd(),
        Set("Global:LightingMode", "Notification"),
        State("AskClearBed"),
        If("Interrupted").thenSkipToEnd(),
        Set("Global:LightingMode", "Preparing"),
        If("TakingBed.PreHeating", false).thenSkip(1),
        State("PreHeating"),
        State("XY-Calibration"),
        If("Interrupted").thenSkipToEnd(),
        State("BedDetecting"),
        If("Interrupted").thenSkipToEnd(),
        If("BedDetecting.BedOn", "TakingBed.BedOn").thenSkipToEnd(),
        State("TakingBed"),
    };
}

void buildStartingUpAndPackaging() {
    StateType("StartingUp").taskRoot().atomic(true) = {
        Lock("Mechanicals"),
        State("GetTemperature"),
        State("FreeingBed"),
        Unlock("Mechanicals"),
    };

    StateType("Packaging").taskRoot().atomic(true) = {
        Lock("Mechanicals"),        Set("Global:LightingMode", "Preparing"),
        State("PackagingPosition"), Set("Global:LightingMode", "Idle"),
        Unlock("Mechanicals"),
    };
}

void buildPrinting() {
    StateType("Printing").taskRoot() = {
        State("Printing.Preparation"),
        If("Interrupted").thenSkipTo("Resetting"),
        State("ResetExtrudingPosition"),
        State("PrintingCoordinates"),
        State("AbsolutePositioning"),
        Set("Global:LightingMode", "Printing"),
        If("Interrupted").thenSkipTo("Resetting"),
        Set("Global:CloseToPrint", true),
        State("Layering"),
        If("Interrupted").thenSkipTo("Resetting"),
        State("MechanicalCoordinates"),
        State("MovingAwayAfterPrint"),
        Set("Global:CloseToPrint", false),
        Label("Resetting"),
        State("ResettingMechanicals"),
        Unlock("Mechanicals"),
    };

    StateType("Printing.Preparation").parallel() = {
        State("Printing.DataPreparation"),
        State("Printing.MechanicalPreparation"),
    };

    StateType("Printing.DataPreparation") = {
        State("Uploading"),
        If("Interrupted").thenSkipTo("Resetting"),
        Lock("Network"),
        If("Interrupted").thenSkipTo("Resetting"),
        State("Downloading"),
        If("Interrupted").thenSkipTo("Resetting"),
        Unlock("Network"),
        Lock("CPU"),
        If("Interrupted").thenSkipTo("Resetting"),
        State("Slicing"),
        If("Interrupted").thenSkipTo("Resetting"),
        Unlock("CPU"),
        Label("Resetting"),
        Unlock("Network"),
        Unlock("CPU"),
    };

    StateType("Printing.MechanicalPreparation") = {
        Lock("Mechanicals"),
        If("Interrupted").thenSkipToEnd(),
        Set("TakingBed.PreHeating", true),
        Set("TakingBed.BedOn", true),
        State("TakingBed"),
        If("Interrupted").thenSkipToEnd(),
        Set("AutoLevelling.FullBed", true),
        State("AutoLevelling"),
        If("Interrupted").thenSkipToEnd(),
        State("CleaningPosition"),
        If("Interrupted").thenSkipToEnd(),
        WaitForThread("dataThread"),
        If("Interrupted").thenSkipToEnd(),
        State("Heating"),
        If("Interrupted").thenSkipToEnd(),
        Set("Global:CloseToPrint", true),
        Set("Cleaning.Extruding", true),
        State("Cleaning"),
        If("Interrupted").thenSkipToEnd(),
        Set("Global:CloseToPrint", false),
    };
}

void buildMaintaining() {
    StateType("Maintaining").taskRoot() = {
        Lock("Mechanicals"),
        If("Interrupted").thenSkipToEnd(),
        Set("TakingBed.PreHeating", true),
        Set("TakingBed.BedOn", true),
        State("TakingBed"),
        If("Interrupted").thenSkipTo("Interruption"),
        State("FullPreHeating"),
        Set("AutoLevelling.FullBed", false),
        State("AutoLevelling"),
        If("Interrupted").thenSkipTo("Interruption"),
        State("CleaningPosition"),
        If("Interrupted").thenSkipTo("Interruption"),
        State("Heating"),
        If("Interrupted").thenSkipTo("Interruption"),
        State("Loading"),
        State("TargetCold"),
        Set("Global:CloseToPrint", true),
        State("Cleaning"),
        If("Interrupted").thenSkipTo("Interruption"),
        Set("Global:CloseToPrint", false),
        If("Maintaining.Type", "Ejecting").elseSkip(1),
        State("Ejecting"),
        Label("Interruption"),
        State("ResettingMechanicals"),
        Unlock("Mechanicals"),
    };
}

void buildEjectingFilament() {
    StateType("EjectingFilament").taskRoot() = {
        Lock("Mechanicals"),
        If("Interrupted").thenSkipToEnd(),
        State("EjectingFilament.Preparation"),
        If("Interrupted").thenSkipTo("Resetting"),
        State("EjectingFilament.Processing"),
        If("Interrupted").thenSkipTo("Resetting"),
        Label("Resetting"),
        State("EjectingFilament.Resetting"),
    };

    StateType("EjectingFilament.Preparation") = {
        Set("TakingBed.PreHeating", true),
        Set("TakingBed.BedOn", true),
        State("TakingBed"),
        If("Interrupted").thenSkipToEnd(),
        State("FullPreHeating"),
        Set("AutoLevelling.FullBed", false),
        If("Interrupted").thenSkipToEnd(),
        State("AutoLevelling"),
        If("Interrupted").thenSkipToEnd(),
        State("CleaningPosition"),
        If("Interrupted").thenSkipToEnd(),
        State("Heating"),
    };

    StateType("EjectingFilament.Processing") = {
        State("Loading"),
        If("Interrupted").thenSkipToEnd(),
        State("TargetCold"),
        If("Interrupted").thenSkipToEnd(),
        Set("Global:CloseToPrint", true),
        State("Cleaning"),
        If("Interrupted").thenSkipToEnd(),
        Set("Global:CloseToPrint", false),
        State("Ejecting"),
    };

    StateType("EjectingFilament.Resetting").parallel().atomic(true) = {
        State("EjectingFilament.AskRemoveCartridge"),
        State("EjectingFilament.ResettingMechanicals"),
    };

    StateType("EjectingFilament.AskRemoveCartridge") = {
        If("Interrupted").thenSkipToEnd(),
        State("AskRemoveCartridge"),
    };

    StateType("EjectingFilament.ResettingMechanicals").atomic(true) = {
        State("ResettingMechanicals"),
        Unlock("Mechanicals"),
    };
}

void buildLoadingFilament() {
    StateType("LoadingFilament").taskRoot() = {
        Lock("Mechanicals"),
        If("Interrupted").thenSkipToEnd(),
        State("LoadingFilament.Preparation"),
        If("Interrupted").thenSkipTo("Resetting"),
        State("LoadingFilament.Processing"),
        If("Interrupted").thenSkipTo("Resetting"),
        Label("Resetting"),
        State("LoadingFilament.Resetting"),
    };

    StateType("LoadingFilament.Preparation") = {
        Set("TakingBed.PreHeating", true),
        Set("TakingBed.BedOn", true),
        State("TakingBed"),
        If("Interrupted").thenSkipToEnd(),
        State("FullPreHeating"),
        Set("AutoLevelling.FullBed", false),
        State("AutoLevelling"),
        If("Interrupted").thenSkipToEnd(),
        State("CleaningPosition"),
        If("Interrupted").thenSkipToEnd(),
        State("Heating"),
    };

    StateType("LoadingFilament.Processing") = {
        State("Loading"),
        If("Interrupted").thenSkipToEnd(),
        State("TargetCold"),
        If("Interrupted").thenSkipToEnd(),
        Set("Global:CloseToPrint", true),
        State("Cleaning"),
        If("Interrupted").thenSkipToEnd(),
        Set("Global:CloseToPrint", false),
    };

    StateType("LoadingFilament.Resetting").parallel().atomic(true) = {
        State("LoadingFilament.AskCartridgeColor"),
        State("LoadingFilament.ResettingMechanicals"),
    };

    StateType("LoadingFilament.AskCartridgeColor") = {
        If("Interrupted").thenSkipToEnd(),
        State("AskCartridgeColor"),
    };

    StateType("LoadingFilament.ResettingMechanicals").atomic(true) = {
        State("ResettingMechanicals"),
        Unlock("Mechanicals"),
    };
}

void buildNozzleCalibrationAndWifi() {
    StateType("NozzleCalibration").taskRoot() = {
        Lock("Mechanicals"),
        If("Interrupted").thenSkipToEnd(),
        State("NozzleCalibration.Preparation"),
        If("Interrupted").thenSkipTo("Resetting"),
        Set("Global:LightingMode", "Notification"),
        State("AskAdjustment"),
        If("Interrupted").thenSkipTo("Resetting"),
        State("SaveNozzlePosition"),
        Label("Resetting"),
        State("ResettingMechanicals"),
        Unlock("Mechanicals"),
    };

    StateType("NozzleCalibration.Preparation") = {
        Set("TakingBed.PreHeating", false),
        Set("TakingBed.BedOn", true),
        State("TakingBed"),
        If("Interrupted").thenSkipToEnd(),
        Set("AutoLevelling.FullBed", false),
        State("AutoLevelling"),
        If("Interrupted").thenSkipToEnd(),
        State("InitialNS"),
    };

    StateType("WifiSetup").taskRoot() = {
        State("FetchWifiList"),
        State("AskWifiDetails"),
        If("Interrupted").thenSkipToEnd(),
        State("ConnectWifi"),
    };
}

}  // namespace

void buildStateMachine() {
    buildPrimaryStates();
    buildMechanicalStates();
    buildStartingUpAndPackaging();
    buildPrinting();
    buildMaintaining();
    buildEjectingFilament();
    buildLoadingFilament();
    buildNozzleCalibrationAndWifi();
}

}  // namespace StateMachine
}  // namespace Vant
