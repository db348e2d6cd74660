// The soak's verdict on growth: fitted within each daemon life, after warm-up.
#include "Measure.h"

#include <gtest/gtest.h>

namespace {

Soak::Sample sampleAt(unsigned tasks, unsigned life, unsigned lifeTasks, double addressKb, double idle = -1) {
    Soak::Sample s;
    s.tasks = tasks;
    s.life = life;
    s.lifeTasks = lifeTasks;
    s.reading.addressKb = addressKb;
    s.reading.residentKb = 20000;
    s.reading.threads = 12;
    s.reading.descriptors = 19;
    s.idleCpuPercent = idle;
    return s;
}

}  // namespace

TEST(SoakRecord, JudgesGrowthWithinEachDaemonLifeAfterWarmUp) {
    const Soak::Limits limits;
    // Each life grows 200 KB a task after a large warm-up step; a restart at task 30
    // starts the process afresh, so first and last readings of the run are alike.
    Soak::Record growing(10, false);
    for (unsigned life = 1; life <= 2; ++life) {
        const unsigned start = (life - 1) * 30;
        growing.add(sampleAt(start, life, 0, 100000));
        for (unsigned n = 10; n <= 30; n += 10) growing.add(sampleAt(start + n, life, n, 400000 + 200.0 * n));
    }
    auto growth = growing.growth(limits);
    ASSERT_TRUE(growth[0].counted);
    EXPECT_NEAR(growth[0].perTask, 200, 0.01);
    EXPECT_FALSE(growth[0].ok());
    EXPECT_TRUE(growth[1].ok() && growth[2].ok() && growth[3].ok());
    EXPECT_EQ(growing.countedTasks(), 40u);

    // Flat lives at different levels, the warm-up step and the restart's drop left out.
    Soak::Record flat(10, false);
    flat.add(sampleAt(0, 1, 0, 100000, 0.2));
    flat.add(sampleAt(10, 1, 10, 500000, 0.2));
    flat.add(sampleAt(20, 1, 20, 500000, 0.25));
    flat.add(sampleAt(20, 2, 0, 90000, 0.1));
    flat.add(sampleAt(30, 2, 10, 300000, 0.2));
    flat.add(sampleAt(40, 2, 20, 300000, 0.6));
    growth = flat.growth(limits);
    EXPECT_NEAR(growth[0].perTask, 0, 0.01);
    EXPECT_TRUE(growth[0].ok());
    // Idle CPU: 0.2 % to 0.6 % is three times as much but within half a point of a core.
    EXPECT_TRUE(flat.idleCpuOk(limits));
    flat.add(sampleAt(50, 2, 30, 300000, 0.9));
    EXPECT_FALSE(flat.idleCpuOk(limits));
}
