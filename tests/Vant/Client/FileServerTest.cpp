#include "Vant/Client/FileServer.h"

#include <gtest/gtest.h>

#include <string>

#include "support/AsyncTest.h"
#include "support/RawPeer.h"
#include "support/StagedHome.h"

using testsupport::RawPeer;

namespace {

// One HTTP exchange on a connection of its own: everything the server sent until it closed.
std::string httpExchange(unsigned short port, const std::string& request) {
    RawPeer peer(port);
    peer.write(kel::bytes(request));
    std::string answer, piece;
    while (peer.read(1, piece, std::chrono::milliseconds(5000))) answer += piece;
    return answer;
}

}  // namespace

TEST(FileServer, ServesTheOneFileAtItsLinkAndNothingElse) {
    testsupport::IoPool pool(2);
    const std::string folder = testsupport::scratchFolder();
    const std::string content(200000, 'x');
    testsupport::writeFile(folder + "/my part.stl", content);
    testsupport::writeFile(folder + "/secret", "secret");
    Vant::Client::FileServer server(pool.io, folder + "/my part.stl",
                                    boost::asio::ip::address_v4::loopback());
    const std::string url = server.url();
    ASSERT_EQ(url.compare(0, 17, "http://127.0.0.1:"), 0) << url;
    const unsigned short port = static_cast<unsigned short>(std::stoi(url.substr(17)));
    const std::string path = url.substr(url.find('/', 17));

    const std::string whole = httpExchange(port, "GET " + path + " HTTP/1.1\r\nHost: x\r\n\r\n");
    ASSERT_EQ(whole.compare(0, 15, "HTTP/1.1 200 OK"), 0) << whole.substr(0, 200);
    EXPECT_NE(whole.find("Content-Length: 200000\r\n"), std::string::npos);
    EXPECT_EQ(whole.substr(whole.find("\r\n\r\n") + 4), content);
    EXPECT_TRUE(testsupport::waitUntil([&] { return server.served() == 1; }));

    for (const std::string& other : {std::string("/secret"), path.substr(0, path.rfind('/')) + "/secret",
                                     path + "/../secret", std::string("/")}) {
        EXPECT_EQ(httpExchange(port, "GET " + other + " HTTP/1.1\r\n\r\n").compare(0, 12, "HTTP/1.1 404"), 0)
            << other;
    }
    EXPECT_EQ(httpExchange(port, "DELETE " + path + " HTTP/1.1\r\n\r\n").compare(0, 12, "HTTP/1.1 405"), 0);
    // A head that never ends is cut off instead of growing without bound.
    EXPECT_EQ(httpExchange(port, "GET " + std::string(20000, 'a')), "");

    server.stop();
    EXPECT_THROW(RawPeer{port}, std::runtime_error);
}
