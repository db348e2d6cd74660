#include "Vant/Runtime/Downloader.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "ProgressLog.h"
#include "support/HttpServer.h"
#include "support/StagedHome.h"

using testsupport::HttpServer;
using testsupport::scratchFolder;
using testsupport::slurp;
using testsupport::writeFile;
using Vant::Runtime::Downloader;

namespace {

bool exists(const std::string& path) {
    struct stat info;
    return ::stat(path.c_str(), &info) == 0;
}

// Every report before the last lies in [0, 1); the last is `final`, and comes once.
void expectReports(const std::vector<double>& reports, double final) {
    ASSERT_FALSE(reports.empty());
    EXPECT_EQ(reports.back(), final);
    for (size_t i = 0; i + 1 < reports.size(); ++i) {
        EXPECT_GE(reports[i], 0.0);
        EXPECT_LT(reports[i], 1.0);
    }
}

std::string body(size_t size) {
    std::string text;
    for (size_t i = 0; text.size() < size; ++i) text += "line " + std::to_string(i) + "\n";
    return text;
}

// Answers every request with a body of unknown length, sent in pieces.
const char* const NoLengthServer = R"(
import socket, time
s = socket.socket(); s.bind(("127.0.0.1", 0)); s.listen(5)
print("PORT %d" % s.getsockname()[1], flush=True)
while True:
    c, _ = s.accept(); c.recv(65536)
    c.sendall(b"HTTP/1.0 200 OK\r\n\r\n")
    for i in range(5):
        c.sendall(b"y" * 1000); time.sleep(0.05)
    c.close()
)";

// Sends the head and a few bytes of a long body, then nothing more.
const char* const StallingServer = R"(
import socket, time
s = socket.socket(); s.bind(("127.0.0.1", 0)); s.listen(5)
print("PORT %d" % s.getsockname()[1], flush=True)
held = []
while True:
    c, _ = s.accept(); c.recv(65536)
    c.sendall(b"HTTP/1.0 200 OK\r\nContent-Length: 100000\r\n\r\n" + b"x" * 10)
    held.append(c)
)";

}  // namespace

TEST(Downloader, FetchesAFileAndEndsWithOneFinalReport) {
    const std::string served = scratchFolder();
    const std::string content = body(3 * 1024 * 1024);
    writeFile(served + "/model.stl", content);
    HttpServer server(served);
    IoPool pool;
    ProgressLog log;
    const std::string target = scratchFolder() + "/download";
    Downloader().download(pool.io, server.url("model.stl"), target, log.callback());
    ASSERT_TRUE(log.waitForEnd());
    expectReports(log.all(), 1.0);
    EXPECT_EQ(slurp(target), content);
}

TEST(Downloader, ReportsZeroUntilTheEndWhenTheLengthIsUnknown) {
    auto server = HttpServer::script(NoLengthServer);
    IoPool pool;
    ProgressLog log;
    const std::string target = scratchFolder() + "/download";
    Downloader().download(pool.io, server->url("any"), target, log.callback());
    ASSERT_TRUE(log.waitForEnd());
    const auto reports = log.all();
    expectReports(reports, 1.0);
    for (size_t i = 0; i + 1 < reports.size(); ++i) EXPECT_EQ(reports[i], 0.0);
    EXPECT_EQ(slurp(target), std::string(5000, 'y'));
}

TEST(Downloader, StopsWhenTheCallbackSaysSo) {
    const std::string served = scratchFolder();
    writeFile(served + "/model.stl", body(8 * 1024 * 1024));
    HttpServer server(served);
    IoPool pool;
    ProgressLog log;
    const std::string target = scratchFolder() + "/download";
    Downloader().download(pool.io, server.url("model.stl"), target,
                          log.callback([](double) { return false; }));
    ASSERT_TRUE(log.waitForEnd());
    expectReports(log.all(), -2.0);
    EXPECT_FALSE(exists(target));  // nothing half-written is left behind
}

TEST(Downloader, AbortsAStalledTransfer) {
    auto server = HttpServer::script(StallingServer);
    IoPool pool;
    ProgressLog log;
    Downloader(std::chrono::seconds(1))
        .download(pool.io, server->url("any"), scratchFolder() + "/d", log.callback());
    ASSERT_TRUE(log.waitForEnd(std::chrono::seconds(30)));
    expectReports(log.all(), -2.0);
}

TEST(Downloader, AcceptsOnlyWebLinks) {
    const std::string folder = scratchFolder();
    writeFile(folder + "/secret", "private");
    IoPool pool;
    for (const std::string& link :
         std::vector<std::string>{"file://" + folder + "/secret", "ftp://127.0.0.1/x", "gopher://127.0.0.1/x",
                                  folder + "/secret", "127.0.0.1:1/x", ""}) {
        ProgressLog log;
        const std::string target = folder + "/download";
        Downloader().download(pool.io, link, target, log.callback());
        ASSERT_TRUE(log.waitForEnd()) << link;
        EXPECT_EQ(log.all(), std::vector<double>{-2.0}) << link;
        EXPECT_FALSE(exists(target)) << link;
    }
    EXPECT_TRUE(Downloader::acceptedLink("HTTPS://example.invalid/x"));
}

TEST(Downloader, FailsWhenNothingAnswers) {
    int port = 0;
    {
        HttpServer gone(scratchFolder());  // a port that was just free and is closed again
        port = gone.port();
    }
    IoPool pool;
    ProgressLog log;
    Downloader().download(pool.io, "http://127.0.0.1:" + std::to_string(port) + "/x", scratchFolder() + "/d",
                          log.callback());
    ASSERT_TRUE(log.waitForEnd());
    expectReports(log.all(), -2.0);
}
