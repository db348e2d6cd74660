// Vant::Platform: where the daemon finds its folders, helper programs, serial
// devices and broadcast addresses. On the printer every answer is the printer's own
// value (Vant/Variables); elsewhere the TOLVANE_* environment variables point them
// at stand-ins. The variables are read once, on first use (thread-safe), and never
// again, so every component sees the same answers for the life of the process.
#pragma once

#include <string>
#include <vector>

namespace Vant {
namespace Platform {

// TOLVANE_HOME replaces the leading "/home/tolvane" of every folder and program path.
const std::string& home();
std::string tempFileFolder();         // home + "/data-temp/"
std::string cacheFileFolder();        // home + "/data/"
std::string stateMachineJsonPath();   // home + "/bin/tolvane-ferrow/current/stateMachine.json"
std::string slicerScriptPath();       // home + "/bin/tolvane-slicer/current/Cura/cura.py"
std::string wifiScriptPath();         // home + "/bin/tolvane-wifi/current/wifiConfig.py"
std::string productionScriptPath();   // home + "/debug/butterfly.sh"

// TOLVANE_PYTHON: the interpreter word of the slicer and Wi-Fi command lines.
const std::string& python();
// TOLVANE_MOTION_PORT and TOLVANE_LIGHTING_PORT: the two serial devices.
const std::string& motionPort();
const std::string& lightingPort();
// TOLVANE_BROADCAST: announcement destinations, comma-separated, in sending order.
const std::vector<std::string>& broadcastAddresses();

// Replaces the printer's home prefix of a path constant by home().
std::string underHome(const std::string& printerPath);

}  // namespace Platform
}  // namespace Vant
