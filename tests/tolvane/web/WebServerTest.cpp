// The dashboard's server on loopback, spoken to byte by byte, with no printer behind it.
#include "WebServer.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "kel/bytes.h"
#include "support/AsyncTest.h"
#include "support/RawPeer.h"
#include "support/StagedHome.h"

using testsupport::RawPeer;
using tolvane::web::WebServer;

namespace {

const std::string Token = "a-token-for-tests";

// A binary STL of `facets` facets (80-byte header, count, 50 bytes a facet).
std::string binaryStl(unsigned facets) {
    std::string stl(80, ' ');
    for (int shift = 0; shift < 32; shift += 8) stl += static_cast<char>((facets >> shift) & 0xff);
    return stl + std::string(50 * facets, '\0');
}

class WebServerTest : public ::testing::Test {
protected:
    void start(const std::string& token, std::uint64_t maxUpload = tolvane::web::DefaultMaxUpload) {
        Vant::User::ClientSettings client;
        client.announcementPort = 0;  // hears no printer
        session.reset(new Vant::Client::Session(kel::bytes(32).randomize(), client));
        session->start();
        tolvane::web::WebSettings settings;
        settings.access.token = token;
        settings.access.maxUpload = maxUpload;
        settings.uploadsIn = testsupport::scratchFolder();
        server.reset(new WebServer(*session, {boost::asio::ip::address_v4::loopback(), 0}, settings));
        host = "127.0.0.1:" + std::to_string(server->endpoint().port());
    }

    // Sends `request`; the answer up to its Content-Length, or until the server closes.
    std::string exchange(const std::string& request) {
        RawPeer peer(server->endpoint().port());
        peer.write(kel::bytes(request));
        return readAnswer(peer);
    }
    static std::string readAnswer(RawPeer& peer) {
        std::string answer, piece;
        while (peer.read(1, piece, std::chrono::milliseconds(5000))) {
            answer += piece;
            const auto end = answer.find("\r\n\r\n");
            if (end == std::string::npos) continue;
            const auto length = answer.find("Content-Length: ");
            const std::size_t body =
                length == std::string::npos || length > end ? 0 : std::stoul(answer.substr(length + 16));
            if (answer.size() >= end + 4 + body) break;
        }
        return answer;
    }
    static std::string status(const std::string& answer) { return answer.substr(0, answer.find("\r\n")); }
    std::string ask(const std::string& request) { return status(exchange(request)); }

    std::string upgrade(const std::string& extra) {
        return "GET /ws HTTP/1.1\r\nHost: " + host +
               "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Version: 13\r\n"
               "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n" +
               extra + "\r\n";
    }
    std::string post(const std::string& target, const std::string& body, const std::string& extra = "") {
        return "POST " + target + " HTTP/1.1\r\nHost: " + host + "\r\nOrigin: http://" + host +
               "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n" + extra + "\r\n" + body;
    }

    std::unique_ptr<Vant::Client::Session> session;
    std::unique_ptr<WebServer> server;
    std::string host;
};

}  // namespace

TEST_F(WebServerTest, WithATokenOnlyThePageIsOpenUntilTheCookieIsGiven) {
    start(Token);
    const std::string origin = "Origin: http://" + host + "\r\n";
    EXPECT_EQ(ask("GET / HTTP/1.1\r\nHost: " + host + "\r\n\r\n"), "HTTP/1.1 200 OK");
    EXPECT_EQ(ask(upgrade(origin)), "HTTP/1.1 401 Unauthorized");
    EXPECT_EQ(ask(post("/api/print?printer=8520f009", binaryStl(1))), "HTTP/1.1 401 Unauthorized");
    EXPECT_EQ(ask(post("/api/login", "not-the-token")), "HTTP/1.1 401 Unauthorized");

    const std::string login = exchange(post("/api/login", Token));
    ASSERT_EQ(status(login), "HTTP/1.1 204 No Content") << login;
    const auto at = login.find("Set-Cookie: ");
    ASSERT_NE(at, std::string::npos) << login;
    const std::string setCookie = login.substr(at + 12, login.find("\r\n", at) - at - 12);
    EXPECT_NE(setCookie.find("HttpOnly"), std::string::npos) << setCookie;
    EXPECT_NE(setCookie.find("SameSite=Strict"), std::string::npos) << setCookie;
    EXPECT_EQ(setCookie.find(Token), std::string::npos) << "the cookie is not the token itself";
    const std::string cookie = "Cookie: " + setCookie.substr(0, setCookie.find(';')) + "\r\n";

    EXPECT_EQ(ask(upgrade(origin + cookie)), "HTTP/1.1 101 Switching Protocols");
    EXPECT_EQ(ask(upgrade(origin + "Cookie: tolvane=00\r\n")), "HTTP/1.1 401 Unauthorized");
    // Guessing is held to ten wrong tokens a minute: then even the right one waits.
    for (int i = 0; i < 9; ++i) exchange(post("/api/login", "guess-" + std::to_string(i)));
    EXPECT_EQ(ask(post("/api/login", Token)), "HTTP/1.1 429 Too Many Requests");
    // With the cookie, a foreign page still does not get the WebSocket.
    EXPECT_EQ(ask(upgrade("Origin: http://elsewhere.example\r\n" + cookie)), "HTTP/1.1 403 Forbidden");
}

TEST_F(WebServerTest, WebSocketsAndChangesFromOtherSitesAreRefused) {
    start("");
    EXPECT_EQ(ask(upgrade("Origin: http://" + host + "\r\n")), "HTTP/1.1 101 Switching Protocols");
    EXPECT_EQ(ask(upgrade("Origin: http://elsewhere.example\r\n")), "HTTP/1.1 403 Forbidden");
    EXPECT_EQ(ask(upgrade("")), "HTTP/1.1 403 Forbidden");
    EXPECT_EQ(ask("POST /api/print?printer=8520f009 HTTP/1.1\r\nHost: " + host +
                  "\r\nOrigin: http://elsewhere.example\r\nContent-Length: 134\r\n\r\n" + binaryStl(1)),
              "HTTP/1.1 403 Forbidden");
    // A site whose name was made to point at this machine names itself in Host: without
    // a token only an address or localhost is served.
    EXPECT_EQ(ask("GET / HTTP/1.1\r\nHost: elsewhere.example:8080\r\n\r\n"), "HTTP/1.1 403 Forbidden");
    EXPECT_EQ(ask("GET / HTTP/1.1\r\nHost: localhost:8080\r\n\r\n"), "HTTP/1.1 200 OK");
}

TEST_F(WebServerTest, OversizedOrNonStlUploadsAreRefusedAndNothingIsKept) {
    start("", 1000);
    const std::string folder = server->uploads();
    // Announced too large, and too large only as it arrives in chunks.
    EXPECT_EQ(ask(post("/api/print?printer=8520f009", binaryStl(30))), "HTTP/1.1 413 Payload Too Large");
    std::string chunked = "POST /api/print?printer=8520f009 HTTP/1.1\r\nHost: " + host +
                          "\r\nOrigin: http://" + host + "\r\nTransfer-Encoding: chunked\r\n\r\n";
    for (int i = 0; i < 5; ++i) chunked += "190\r\n" + std::string(400, 's') + "\r\n";
    EXPECT_EQ(ask(chunked + "0\r\n\r\n"), "HTTP/1.1 413 Payload Too Large");
    EXPECT_EQ(ask(post("/api/print?printer=8520f009", "#!/bin/sh\nrm -rf /\n")),
              "HTTP/1.1 415 Unsupported Media Type");
    // A binary STL whose facet count does not match its length is no STL either.
    EXPECT_EQ(ask(post("/api/print?printer=8520f009", binaryStl(3).substr(0, 200))),
              "HTTP/1.1 415 Unsupported Media Type");
    // A model that passes, for a printer nobody has heard (named with an escape).
    const std::string ascii =
        "solid cube\n facet normal 0 0 1\n  outer loop\n   vertex 0 0 0\n   vertex 1 0 0\n"
        "   vertex 0 1 0\n  endloop\n endfacet\nendsolid cube\n";
    EXPECT_EQ(ask(post("/api/print?printer=%38520f009", ascii)), "HTTP/1.1 404 Not Found");
    EXPECT_EQ(ask(post("/api/print?printer=8520f009", binaryStl(2))), "HTTP/1.1 404 Not Found");
    EXPECT_TRUE(testsupport::waitUntil([&] { return std::filesystem::is_empty(folder); }));
}

TEST_F(WebServerTest, BrokenRequestsGet4xxAndTheServerGoesOn) {
    start("");
    EXPECT_EQ(ask("\x16\x03\x01 not http at all\r\n\r\n"), "HTTP/1.1 400 Bad Request");
    EXPECT_EQ(ask("GET /" + std::string(20000, 'a') + " HTTP/1.1\r\n\r\n"),
              "HTTP/1.1 431 Request Header Fields Too Large");
    EXPECT_EQ(ask("GET / HTTP/1.1\r\n\r\n"), "HTTP/1.1 400 Bad Request");  // no Host
    EXPECT_EQ(ask("GET /../../etc/passwd HTTP/1.1\r\nHost: " + host + "\r\n\r\n"), "HTTP/1.1 404 Not Found");
    EXPECT_EQ(ask("DELETE / HTTP/1.1\r\nHost: " + host + "\r\n\r\n"), "HTTP/1.1 405 Method Not Allowed");
    EXPECT_EQ(ask(post("/api/print?printer=%zz", "x")), "HTTP/1.1 400 Bad Request");
    EXPECT_EQ(ask(post("/api/login", std::string(5000, 't'))), "HTTP/1.1 413 Payload Too Large");
    {
        // A client that stops halfway through its head is simply dropped.
        RawPeer silent(server->endpoint().port());
        silent.write(kel::bytes(std::string("GET / HTTP/1.1\r\nHo")));
    }
    // Two requests on one connection, then the page's script, all still served.
    RawPeer peer(server->endpoint().port());
    peer.write(kel::bytes("GET /style.css HTTP/1.1\r\nHost: " + host + "\r\n\r\n"));
    EXPECT_EQ(status(readAnswer(peer)), "HTTP/1.1 200 OK");
    peer.write(kel::bytes("GET /app.js HTTP/1.1\r\nHost: " + host + "\r\n\r\n"));
    const std::string script = readAnswer(peer);
    EXPECT_EQ(status(script), "HTTP/1.1 200 OK");
    EXPECT_NE(script.find("Content-Security-Policy: default-src 'self'"), std::string::npos);
}
