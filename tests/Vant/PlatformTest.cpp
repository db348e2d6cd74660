#include "Vant/Platform.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

// The platform layer reads the environment once per process, so the case runs in a
// forked child with its own environment; the child's exit status carries the verdict.
TEST(Platform, VariablesRedirectPathsOnceAndEmptyOnesKeepThePrintersValues) {
    const pid_t pid = fork();
    if (pid == 0) {
        setenv("TOLVANE_HOME", "/tmp/printer/", 1);
        setenv("TOLVANE_PYTHON", "", 1);
        setenv("TOLVANE_MOTION_PORT", "/tmp/motion", 1);
        setenv("TOLVANE_BROADCAST", "127.255.255.255, 127.0.0.1,", 1);
        using namespace Vant::Platform;
        (void)motionPort();  // read now: a later change of the variable is not seen
        setenv("TOLVANE_MOTION_PORT", "/tmp/second", 1);
        _exit(stateMachineJsonPath() == "/tmp/printer/bin/tolvane-ferrow/current/stateMachine.json" &&
                      python() == "python2" && motionPort() == "/tmp/motion" &&
                      broadcastAddresses() == std::vector<std::string>{"127.255.255.255", "127.0.0.1"}
                  ? 0
                  : 1);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}
