#include "Vant/Runtime/Downloader.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "ProgressLog.h"
#include "support/HttpServer.h"
#include "support/StagedHome.h"

using namespace testsupport;
using Vant::Runtime::Downloader;

namespace {

// Every report before the last lies in [0, 1); the last is `final`.
void expectReports(const std::vector<double>& reports, double final) {
    ASSERT_FALSE(reports.empty());
    EXPECT_EQ(reports.back(), final);
    EXPECT_TRUE(std::all_of(reports.begin(), reports.end() - 1, [](double p) { return p >= 0 && p < 1; }));
}

// "/stall": a few bytes of a long body, then nothing; else a body of unknown length.
const char* const ScriptedServer = R"(
import socket, time
s = socket.socket(); s.bind(("127.0.0.1", 0)); s.listen(5)
print("PORT %d" % s.getsockname()[1], flush=True)
held = []
while True:
    c, _ = s.accept()
    if b"/stall" in c.recv(65536):
        c.sendall(b"HTTP/1.0 200 OK\r\nContent-Length: 100000\r\n\r\n" + b"x" * 10); held.append(c); continue
    c.sendall(b"HTTP/1.0 200 OK\r\n\r\n")
    for i in range(5):
        c.sendall(b"y" * 1000); time.sleep(0.05)
    c.close()
)";

}  // namespace

TEST(Downloader, FetchesAFileWholeOrStopsWhenTheCallbackSaysSo) {
    const std::string served = scratchFolder(), target = scratchFolder() + "/download";
    std::string content;
    for (size_t i = 0; content.size() < 8 * 1024 * 1024; ++i) content += "line " + std::to_string(i) + "\n";
    writeFile(served + "/model.stl", content);
    HttpServer server(served);
    IoPool pool;
    ProgressLog whole, stopped;
    Downloader().download(pool.io, server.url("model.stl"), target, whole.callback());
    ASSERT_TRUE(whole.waitForEnd());
    expectReports(whole.all(), 1.0);
    EXPECT_EQ(slurp(target), content);

    Downloader().download(pool.io, server.url("model.stl"), target + "2",
                          stopped.callback([](double) { return false; }));
    ASSERT_TRUE(stopped.waitForEnd());
    expectReports(stopped.all(), -2.0);
    EXPECT_FALSE(exists(target + "2"));  // nothing half-written is left behind
}

TEST(Downloader, ReportsZeroUntilTheEndWhenTheLengthIsUnknown) {
    auto server = HttpServer::script(ScriptedServer);
    IoPool pool;
    ProgressLog log;
    const std::string target = scratchFolder() + "/download";
    Downloader().download(pool.io, server->url("any"), target, log.callback());
    ASSERT_TRUE(log.waitForEnd());
    const auto reports = log.all();
    expectReports(reports, 1.0);
    EXPECT_EQ(std::count(reports.begin(), reports.end(), 0.0), static_cast<long>(reports.size()) - 1);
    EXPECT_EQ(slurp(target), std::string(5000, 'y'));
}

TEST(Downloader, FailsOnceAndLeavesNothingBehind) {
    const std::string folder = scratchFolder();
    writeFile(folder + "/secret", "private");
    auto stalling = HttpServer::script(ScriptedServer);
    int closedPort = 0;
    {
        HttpServer gone(folder);  // a port that was just free and is closed again
        closedPort = gone.port();
    }
    IoPool pool;
    for (const std::string& link :
         {stalling->url("stall"), "http://127.0.0.1:" + std::to_string(closedPort) + "/x",
          "file://" + folder + "/secret", std::string("ftp://127.0.0.1/x"),
          std::string("gopher://127.0.0.1/x"), folder + "/secret", std::string("127.0.0.1:1/x"),
          std::string()}) {
        ProgressLog log;
        const std::string target = folder + "/download";
        Downloader(std::chrono::seconds(1)).download(pool.io, link, target, log.callback());
        ASSERT_TRUE(log.waitForEnd(std::chrono::seconds(30))) << link;
        expectReports(log.all(), -2.0);
        EXPECT_FALSE(exists(target)) << link;
    }
    EXPECT_TRUE(Downloader::acceptedLink("HTTPS://example.invalid/x"));
}
