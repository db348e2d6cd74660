#include "Vant/Platform.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>

namespace {
// The platform layer reads the environment once per process, so each case runs in a
// forked child with its own environment; the child's exit status carries the verdict.
bool inChild(const std::function<void()>& setEnvironment, const std::function<bool()>& check) {
    const pid_t pid = fork();
    if (pid == 0) {
        for (const char* name : {"TOLVANE_HOME", "TOLVANE_PYTHON", "TOLVANE_MOTION_PORT", "TOLVANE_LIGHTING_PORT",
                                 "TOLVANE_BROADCAST"}) {
            unsetenv(name);
        }
        setEnvironment();
        _exit(check() ? 0 : 1);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}
}  // namespace

using namespace Vant::Platform;

TEST(Platform, KeepsThePrintersValuesWhenUnsetOrEmpty) {
    EXPECT_TRUE(inChild([] { setenv("TOLVANE_PYTHON", "", 1); },
                        [] {
                            return tempFileFolder() == "/home/tolvane/data-temp/" &&
                                   cacheFileFolder() == "/home/tolvane/data/" &&
                                   stateMachineJsonPath() ==
                                       "/home/tolvane/bin/tolvane-ferrow/current/stateMachine.json" &&
                                   slicerScriptPath() == "/home/tolvane/bin/tolvane-slicer/current/Cura/cura.py" &&
                                   wifiScriptPath() == "/home/tolvane/bin/tolvane-wifi/current/wifiConfig.py" &&
                                   productionScriptPath() == "/home/tolvane/debug/butterfly.sh" &&
                                   python() == "python2" && motionPort() == "/dev/ttyS1" &&
                                   lightingPort() == "/dev/ttyS2" &&
                                   broadcastAddresses() ==
                                       std::vector<std::string>{"255.255.255.255", "10.0.0.255"};
                        }));
}

TEST(Platform, VariablesRedirectEveryPathAndDevice) {
    EXPECT_TRUE(inChild(
        [] {
            setenv("TOLVANE_HOME", "/tmp/printer/", 1);
            setenv("TOLVANE_PYTHON", "python3", 1);
            setenv("TOLVANE_MOTION_PORT", "/tmp/motion", 1);
            setenv("TOLVANE_LIGHTING_PORT", "/tmp/lights", 1);
            setenv("TOLVANE_BROADCAST", "127.255.255.255, 127.0.0.1,", 1);
        },
        [] {
            return home() == "/tmp/printer" && tempFileFolder() == "/tmp/printer/data-temp/" &&
                   stateMachineJsonPath() == "/tmp/printer/bin/tolvane-ferrow/current/stateMachine.json" &&
                   productionScriptPath() == "/tmp/printer/debug/butterfly.sh" && python() == "python3" &&
                   motionPort() == "/tmp/motion" && lightingPort() == "/tmp/lights" &&
                   broadcastAddresses() == std::vector<std::string>{"127.255.255.255", "127.0.0.1"};
        }));
}

TEST(Platform, ReadsTheEnvironmentOnlyOnce) {
    EXPECT_TRUE(inChild([] { setenv("TOLVANE_MOTION_PORT", "/tmp/first", 1); },
                        [] {
                            const std::string first = motionPort();
                            setenv("TOLVANE_MOTION_PORT", "/tmp/second", 1);
                            return first == "/tmp/first" && motionPort() == "/tmp/first";
                        }));
}
