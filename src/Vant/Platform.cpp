#include "Vant/Platform.h"

#include <cstdlib>
#include <cstring>

#include <boost/algorithm/string/split.hpp>
#include <boost/algorithm/string/trim.hpp>

#include "Vant/Variables.h"

namespace Vant {
namespace Platform {

namespace {

std::string fromEnvironment(const char* name, const char* printerValue) {
    const char* value = std::getenv(name);
    return (value != nullptr && value[0] != '\0') ? std::string(value) : std::string(printerValue);
}

struct Settings {
    std::string home;
    std::string python;
    std::string motionPort;
    std::string lightingPort;
    std::vector<std::string> broadcast;

    Settings()
        : home(fromEnvironment("TOLVANE_HOME", PrinterHome)),
          python(fromEnvironment("TOLVANE_PYTHON", PythonInterpreter)),
          motionPort(fromEnvironment("TOLVANE_MOTION_PORT", MotionPort)),
          lightingPort(fromEnvironment("TOLVANE_LIGHTING_PORT", LightingPort)) {
        // A trailing slash on the home folder would double the separator of every path.
        while (home.size() > 1 && home.back() == '/') home.pop_back();
        std::vector<std::string> parts;
        const std::string list = fromEnvironment("TOLVANE_BROADCAST", BroadcastAddresses);
        boost::algorithm::split(parts, list, [](char c) { return c == ','; });
        for (auto& part : parts) {
            boost::algorithm::trim(part);
            if (!part.empty()) broadcast.push_back(part);
        }
    }
};

const Settings& settings() {
    static const Settings instance;
    return instance;
}

}  // namespace

const std::string& home() { return settings().home; }

std::string underHome(const std::string& printerPath) {
    const size_t prefix = std::strlen(PrinterHome);
    if (printerPath.compare(0, prefix, PrinterHome) == 0) return home() + printerPath.substr(prefix);
    return printerPath;
}

std::string tempFileFolder() { return underHome(TempFileFolder); }
std::string cacheFileFolder() { return underHome(CacheFileFolder); }
std::string stateMachineJsonPath() { return underHome(StateMachineJsonPath); }
std::string slicerScriptPath() { return underHome(SlicerScriptPath); }
std::string wifiScriptPath() { return underHome(WifiScriptPath); }
std::string productionScriptPath() { return underHome(ProductionScriptPath); }
const std::string& python() { return settings().python; }
const std::string& motionPort() { return settings().motionPort; }
const std::string& lightingPort() { return settings().lightingPort; }
const std::vector<std::string>& broadcastAddresses() { return settings().broadcast; }

}  // namespace Platform
}  // namespace Vant
