#include "Vant/Runtime/Slicer.h"

#include <gtest/gtest.h>

#include <string>

#include "ProgressLog.h"
#include "support/ChildProcess.h"
#include "support/StagedHome.h"

using namespace testsupport;
using Vant::Runtime::Slicer;

namespace {

const char* const Identity = "[1.0,0.0,0.0,0.0,1.0,0.0,0.0,0.0,1.0]";
const char* const Defaults = "layer_height=0.1,platform_adhesion=None,support=None";

}  // namespace

TEST(Slicer, BuildsItsCommandLineFromTheSettings) {
    EXPECT_EQ(Slicer("python2", "/s/cura.py").arguments("/c/model", "/t/out", kel::var()),
              (std::vector<std::string>{"python2", "/s/cura.py", "-s", "-t", Identity, "-p", Defaults, "-o",
                                        "/t/out", "/c/model"}));
    // The layer height's lower bound is exclusive, its upper one inclusive; only reals
    // count. A matrix needs nine reals.
    const std::vector<std::vector<std::string>> cases = {
        {R"({"layerHeight":0.2,"adhesion":"Brim","support":true,"transformMatrix":[0.5,0.0,0.0,0.0,0.5,0.0,0.0,0.0,2.0]})",
         "[0.5,0.0,0.0,0.0,0.5,0.0,0.0,0.0,2.0]",
         "layer_height=0.2,platform_adhesion=Brim,support=Touching++buildplate"},
        {R"({"layerHeight":0.01,"transformMatrix":[1.0,0.0,0.0,0.0,1,0.0,0.0,0.0,1.0]})", Identity, Defaults},
        {R"({"layerHeight":0.5,"transformMatrix":[1.0,0.0,0.0,0.0,1.0,0.0,0.0,0.0]})", Identity,
         "layer_height=0.5,platform_adhesion=None,support=None"},
        {R"({"layerHeight":1,"adhesion":"Glue","support":"yes"})", Identity, Defaults}};
    for (const auto& c : cases) {
        const auto arguments = Slicer("py", "cura.py").arguments("m", "o", kel::var::fromJsonString(c[0]));
        EXPECT_EQ(arguments[4], c[1]) << c[0];
        EXPECT_EQ(arguments[6], c[2]) << c[0];
    }
}

TEST(Slicer, ReadsProgressFromSlicingLines) {
    const std::vector<std::pair<const char*, double>> lines = {
        {"Slicing: 45", 0.45}, {"Slicing: 0", 0.0}, {"Slicing: 100", 0.999999}, {"Slicing: ", -1},
        {"Slicing: done", -1}, {"Slicing: -5", -1}, {"Loading model", -1}};
    for (const auto& line : lines)
        EXPECT_DOUBLE_EQ(Slicer::progressOf(line.first), line.second) << line.first;
}

// Success comes only from the saved line.
TEST(Slicer, SucceedsOnlyAfterTheSavedLine) {
    const std::string folder = scratchFolder();
    const std::vector<std::pair<std::string, std::vector<double>>> runs = {
        {"print('Slicing: ')\nprint('Slicing: later')\nprint('Slicing: 50')\n"
         "open(sys.argv[-2], 'w').write('G1 X1\\n')\nprint('GCode file saved')\n",
         {0.5, 1.0}},
        {"print('Slicing: 30')\n", {0.3, -2.0}},
        {"raise SystemExit('not a model')\n", {-2.0}}};
    IoPool pool;
    for (const auto& run : runs) {
        writeFile(folder + "/fake.py", "import sys\n" + run.first);
        ProgressLog log;
        Slicer("python3", folder + "/fake.py")
            .slice(pool.io, "m", folder + "/out", kel::var(), log.callback());
        ASSERT_TRUE(log.waitForEnd());
        EXPECT_EQ(log.all(), run.second) << run.first;
    }
}

// Stopped or timed out, a slicer ends with its engine, and nothing else of their names.
TEST(Slicer, StoppingOrTheTimeOutEndsOnlyTheSlicersOwnProcesses) {
    const std::string folder = scratchFolder();
    writeFile(folder + "/hanging.py",
              "import subprocess, sys, time\n"
              "engine = subprocess.Popen(['sleep', '300'])\n"
              "open(sys.argv[-2] + '.engine', 'w').write(str(engine.pid))\n"
              "print('Slicing: 10', flush=True)\n"
              "time.sleep(300)\n");
    ChildProcess otherPython({"python3", "-c", "import time; time.sleep(300)"});
    ChildProcess otherEngine({"sleep", "300"});

    IoPool pool;
    ProgressLog stopped, timedOut;
    Slicer hanging("python3", folder + "/hanging.py", std::chrono::seconds(3));
    hanging.slice(pool.io, "m", folder + "/stopped", kel::var(),
                  stopped.callback([](double) { return false; }));
    hanging.slice(pool.io, "m", folder + "/timed", kel::var(), timedOut.callback());
    ASSERT_TRUE(stopped.waitForEnd());
    ASSERT_TRUE(timedOut.waitForEnd());
    EXPECT_EQ(stopped.all(), (std::vector<double>{0.1, -2.0}));
    EXPECT_EQ(timedOut.all(), (std::vector<double>{0.1, Slicer::TimedOut}));
    for (const char* run : {"/stopped", "/timed"}) {
        const pid_t engine = std::stoi(slurp(folder + run + ".engine"));
        EXPECT_TRUE(waitUntilEnded(engine, std::chrono::seconds(10))) << run;
    }
    EXPECT_TRUE(processRunning(otherPython.pid()));
    EXPECT_TRUE(processRunning(otherEngine.pid()));
}
