// Many threads logging at once, through each way the daemon logs: every line comes
// out whole, none lost, none mixed into another, even lines longer than a pipe holds.
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "Vant/Log.h"

namespace {

// Line `i` of thread `t`: a mark then a run of one letter, some beyond 64 KiB.
std::string payload(int t, int i) {
    const std::size_t length = i % 50 == 0 ? 70000 : static_cast<std::size_t>(i % 7) * 300;
    return "T" + std::to_string(t) + " L" + std::to_string(i) + " " +
           std::string(length, static_cast<char>('a' + (t + i) % 26));
}

TEST(Log, LinesOfConcurrentThreadsComeOutWhole) {
    const int threads = 8, lines = 300;
    // Standard output into a pipe (which takes partial writes) that a thread drains.
    const int saved = ::dup(STDOUT_FILENO);
    int ends[2];
    ASSERT_EQ(::pipe2(ends, O_CLOEXEC), 0);
    ::dup2(ends[1], STDOUT_FILENO);
    ::close(ends[1]);
    std::string text;
    std::thread reader([&text, in = ends[0]] {
        char buffer[8192];
        for (ssize_t got; (got = ::read(in, buffer, sizeof buffer)) > 0;)
            text.append(buffer, std::size_t(got));
        ::close(in);
    });
    std::vector<std::thread> writers;
    for (int t = 0; t < threads; ++t) {
        writers.emplace_back([t] {
            for (int i = 0; i < lines; ++i) {
                const std::string text = payload(t, i);
                if (i % 3 == 0)
                    LOGI("%s", text.c_str());
                else if (i % 3 == 1)
                    Vant::logLine(text);
                else
                    Vant::LogLine() << "T" << t << " L" << i << text.substr(text.find(' ', 3));
            }
        });
    }
    for (auto& writer : writers) writer.join();
    ::dup2(saved, STDOUT_FILENO);  // closes the pipe's last writing end
    ::close(saved);
    reader.join();

    std::set<std::string> seen;
    std::istringstream in(text);
    int count = 0;
    for (std::string line; std::getline(in, line); ++count) {
        if (line.compare(0, 13, "TolvaneCore: ") == 0) line.erase(0, 13);
        int t = -1, i = -1;
        ASSERT_EQ(std::sscanf(line.c_str(), "T%d L%d", &t, &i), 2) << line.substr(0, 80);
        ASSERT_EQ(line, payload(t, i)) << "line " << i << " of thread " << t << " was broken";
        seen.insert(line.substr(0, line.find(' ', 3)));
    }
    EXPECT_EQ(count, threads * lines);
    EXPECT_EQ(seen.size(), static_cast<std::size_t>(threads * lines));
}

}  // namespace
