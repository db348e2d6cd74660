#include "Vant/Runtime/Slicer.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <thread>

#include "ProgressLog.h"
#include "support/ChildProcess.h"
#include "support/StagedHome.h"

using testsupport::scratchFolder;
using testsupport::slurp;
using testsupport::stagedHome;
using testsupport::writeFile;
using Vant::Runtime::Slicer;

namespace {

const char* const Identity = "[1.0,0.0,0.0,0.0,1.0,0.0,0.0,0.0,1.0]";

std::string settingsOf(const kel::var& properties) {
    return Slicer("py", "cura.py").arguments("m.stl", "o.gcode", properties)[6];
}

std::string matrixOf(const kel::var& properties) {
    return Slicer("py", "cura.py").arguments("m.stl", "o.gcode", properties)[4];
}

kel::var map(std::initializer_list<std::pair<const char*, kel::var>> entries) {
    kel::var m;
    for (const auto& entry : entries) m[entry.first] = entry.second;
    return m;
}

}  // namespace

TEST(Slicer, BuildsItsCommandLineFromTheSettings) {
    EXPECT_EQ(Slicer("python2", "/s/cura.py").arguments("/c/model", "/t/out", kel::var()),
              (std::vector<std::string>{"python2", "/s/cura.py", "-s", "-t", Identity, "-p",
                                        "layer_height=0.1,platform_adhesion=None,support=None", "-o",
                                        "/t/out", "/c/model"}));
    EXPECT_EQ(settingsOf(map({{"layerHeight", 0.2}, {"adhesion", "Brim"}, {"support", true}})),
              "layer_height=0.2,platform_adhesion=Brim,support=Touching++buildplate");
    // The lower bound of the layer height is exclusive, the upper one inclusive; only reals count.
    EXPECT_EQ(settingsOf(map({{"layerHeight", 0.01}})),
              "layer_height=0.1,platform_adhesion=None,support=None");
    EXPECT_EQ(settingsOf(map({{"layerHeight", 0.5}})),
              "layer_height=0.5,platform_adhesion=None,support=None");
    EXPECT_EQ(settingsOf(map({{"layerHeight", 1}, {"adhesion", "Glue"}, {"support", "yes"}})),
              "layer_height=0.1,platform_adhesion=None,support=None");

    kel::var scaled = {0.5, 0.0, 0.0, 0.0, 0.5, 0.0, 0.0, 0.0, 2.0};
    EXPECT_EQ(matrixOf(map({{"transformMatrix", scaled}})), "[0.5,0.0,0.0,0.0,0.5,0.0,0.0,0.0,2.0]");
    kel::var withInteger = {1.0, 0.0, 0.0, 0.0, 1, 0.0, 0.0, 0.0, 1.0};
    EXPECT_EQ(matrixOf(map({{"transformMatrix", withInteger}})), Identity);
    kel::var eight = {1.0, 0.0, 0.0, 0.0, 1.0, 0.0, 0.0, 0.0};
    EXPECT_EQ(matrixOf(map({{"transformMatrix", eight}})), Identity);
}

TEST(Slicer, ReadsProgressFromSlicingLines) {
    EXPECT_DOUBLE_EQ(Slicer::progressOf("Slicing: 45"), 0.45);
    EXPECT_DOUBLE_EQ(Slicer::progressOf("Slicing: 0"), 0.0);
    EXPECT_EQ(Slicer::progressOf("Slicing: 100"), 0.999999);
    EXPECT_EQ(Slicer::progressOf("Slicing: "), -1);
    EXPECT_EQ(Slicer::progressOf("Slicing: done"), -1);
    EXPECT_EQ(Slicer::progressOf("Slicing: -5"), -1);
    EXPECT_EQ(Slicer::progressOf("Loading model"), -1);
}

TEST(Slicer, SlicesAModelWithRisingProgressAndWritesGcode) {
    const std::string home = stagedHome();
    IoPool pool;
    ProgressLog log;
    const std::string gcode = home + "/data-temp/sliced-cube";
    Slicer().slice(pool.io, home + "/models/cube.stl", gcode, map({{"layerHeight", 0.3}}), log.callback());
    ASSERT_TRUE(log.waitForEnd());
    const auto reports = log.all();
    ASSERT_GE(reports.size(), 3u);
    EXPECT_EQ(reports.back(), 1.0);
    for (size_t i = 0; i + 1 < reports.size(); ++i) {
        EXPECT_LT(reports[i], 1.0);
        if (i > 0) {
            EXPECT_GE(reports[i], reports[i - 1]);
        }
    }
    const std::string text = slurp(gcode);
    EXPECT_NE(text.find("\nG1 "), std::string::npos);
    EXPECT_NE(text.find("\nG1 Z0.900 "), std::string::npos);  // the third layer of 0.3 mm
}

TEST(Slicer, ReportsACrashedSlicerAsFailure) {
    const std::string home = stagedHome();
    writeFile(home + "/data/broken", "not a model\n");
    IoPool pool;
    ProgressLog log;
    Slicer().slice(pool.io, home + "/data/broken", home + "/data-temp/never", kel::var(), log.callback());
    ASSERT_TRUE(log.waitForEnd());
    const auto reports = log.all();
    EXPECT_EQ(reports, std::vector<double>{-2.0});
}

TEST(Slicer, IgnoresSlicingLinesWithoutANumber) {
    const std::string folder = scratchFolder();
    writeFile(folder + "/fake.py",
              "import sys\n"
              "print('Slicing: ', flush=True)\n"
              "print('Slicing: later', flush=True)\n"
              "print('Slicing: 50', flush=True)\n"
              "open(sys.argv[-2], 'w').write('G1 X1\\n')\n"
              "print('GCode file saved', flush=True)\n");
    IoPool pool;
    ProgressLog log;
    Slicer("python3", folder + "/fake.py").slice(pool.io, "m", folder + "/out", kel::var(), log.callback());
    ASSERT_TRUE(log.waitForEnd());
    EXPECT_EQ(log.all(), (std::vector<double>{0.5, 1.0}));
}

TEST(Slicer, EndsWithoutSavedLineAsFailure) {
    const std::string folder = scratchFolder();
    writeFile(folder + "/quiet.py", "print('Slicing: 30', flush=True)\n");
    IoPool pool;
    ProgressLog log;
    Slicer("python3", folder + "/quiet.py").slice(pool.io, "m", folder + "/out", kel::var(), log.callback());
    ASSERT_TRUE(log.waitForEnd());
    EXPECT_EQ(log.all(), (std::vector<double>{0.3, -2.0}));
}

// A slicer stopped by its caller, and one left to hang until its time-out: each ends
// with its engine, and nothing else of the same names.
TEST(Slicer, StoppingOrTheTimeOutEndsOnlyTheSlicersOwnProcesses) {
    const std::string folder = scratchFolder();
    // A slicer that starts an engine, notes its pid beside the G-code path and hangs.
    writeFile(folder + "/hanging.py",
              "import subprocess, sys, time\n"
              "engine = subprocess.Popen(['sleep', '300'])\n"
              "open(sys.argv[-2] + '.engine', 'w').write(str(engine.pid))\n"
              "print('Slicing: 10', flush=True)\n"
              "time.sleep(300)\n");
    // Processes of the same names that are not the slicer's.
    testsupport::ChildProcess otherPython({"python3", "-c", "import time; time.sleep(300)"});
    testsupport::ChildProcess otherEngine({"sleep", "300"});

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
        EXPECT_TRUE(testsupport::waitUntilEnded(engine, std::chrono::seconds(10))) << run;
    }
    EXPECT_TRUE(testsupport::processRunning(otherPython.pid()));
    EXPECT_TRUE(testsupport::processRunning(otherEngine.pid()));
}
