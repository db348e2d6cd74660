#include "Vant/Process.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <cstdlib>

#include "support/ChildProcess.h"

namespace {

std::vector<std::string> allLines(Vant::Process& process) {
    std::vector<std::string> lines;
    std::string line;
    while (process.readLine(line)) lines.push_back(line);
    return lines;
}

}  // namespace

TEST(Process, PassesArgumentsAsPlainTextWithoutAShell) {
    const std::vector<std::string> hostile = {"two words", "say \"hi\"", "$(touch pwned)",
                                              "`id`",      "$HOME",      "a;b|c"};
    Vant::Process printf(
        {"printf", "%s\\n", hostile[0], hostile[1], hostile[2], hostile[3], hostile[4], hostile[5]});
    ASSERT_TRUE(printf.started()) << printf.error();
    EXPECT_EQ(allLines(printf), hostile);
    EXPECT_EQ(printf.wait(), 0);
}

TEST(Process, ReadsLinesIncludingAnUnterminatedLastOneAndReportsTheStatus) {
    Vant::Process sh({"sh", "-c", "printf 'one\\n\\nthree'; echo oops >&2; exit 3"});
    EXPECT_EQ(allLines(sh), (std::vector<std::string>{"one", "", "three"}));
    EXPECT_EQ(sh.wait(), 3);

    Vant::Process merged({"sh", "-c", "echo out; echo err >&2"}, true);
    EXPECT_EQ(allLines(merged), (std::vector<std::string>{"out", "err"}));
    EXPECT_EQ(merged.wait(), 0);
}

TEST(Process, ReportsAProgramThatCannotStart) {
    // qemu-user's posix_spawn does not report a failed exec (the board's C library does).
    if (std::getenv("TOLVANE_EMULATOR") != nullptr) GTEST_SKIP() << "not observable under the emulator";
    Vant::Process missing({"/nonexistent/program", "x"});
    EXPECT_FALSE(missing.started());
    std::string line;
    EXPECT_FALSE(missing.readLine(line));
    EXPECT_EQ(missing.wait(), -1);
}

TEST(Process, EndingStopsTheProgramAndWhatItStartedButNoOtherProcess) {
    Vant::Process bystander({"sh", "-c", "echo ready; exec sleep 300"});
    std::string line;
    ASSERT_TRUE(bystander.readLine(line));

    // A program that starts a helper (as the slicer starts its engine), ignores SIGTERM and hangs.
    Vant::Process program({"sh", "-c", "trap '' TERM; sleep 300 & echo $!; wait"});
    ASSERT_TRUE(program.readLine(line));
    const pid_t helper = std::stoi(line);
    ASSERT_TRUE(testsupport::processRunning(helper));

    EXPECT_EQ(program.end(std::chrono::milliseconds(200)), 128 + SIGKILL);
    EXPECT_TRUE(testsupport::waitUntilEnded(program.id(), std::chrono::seconds(10)));
    EXPECT_TRUE(testsupport::waitUntilEnded(helper, std::chrono::seconds(10)));
    EXPECT_TRUE(testsupport::processRunning(bystander.id()));
    EXPECT_EQ(bystander.end(), 128 + SIGTERM);
}
