// Compile-time constants of the printer. They keep the printer's own values;
// paths are composed with the environment by Vant/Platform, which every component
// asks instead of using the path constants directly.
#pragma once

namespace Vant {

const unsigned short SimpleTcpPort = 59955;     // user connections
const unsigned short EncryptedTcpPort = 59956;  // user connections over the encrypted channel (trusted users)
const unsigned TcpMaxMessageLength = 1000000;   // largest frame payload, bytes
const unsigned short UdpPort = 55386;           // announcements
const unsigned UdpBroacastInterval = 3000;      // announcement interval, ms

const char* const PrinterHome = "/home/tolvane";
const char* const TempFileFolder = "/home/tolvane/data-temp/";
const char* const CacheFileFolder = "/home/tolvane/data/";
const char* const StateMachineJsonPath = "/home/tolvane/bin/tolvane-ferrow/current/stateMachine.json";
const char* const SlicerScriptPath = "/home/tolvane/bin/tolvane-slicer/current/Cura/cura.py";
const char* const WifiScriptPath = "/home/tolvane/bin/tolvane-wifi/current/wifiConfig.py";
const char* const ProductionScriptPath = "/home/tolvane/debug/butterfly.sh";
const char* const PythonInterpreter = "python2";
const char* const MotionPort = "/dev/ttyS1";
const char* const LightingPort = "/dev/ttyS2";
const char* const BroadcastAddresses = "255.255.255.255,10.0.0.255";

}  // namespace Vant
