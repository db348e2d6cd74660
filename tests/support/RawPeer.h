// A plain blocking TCP peer on loopback that writes arbitrary bytes and reads with
// deadlines, so a test sees the wire itself. Used from the test thread.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <boost/asio/ip/tcp.hpp>

#include <cerrno>
#include <chrono>
#include <stdexcept>
#include <string>

#include "kel/bytes.h"

namespace testsupport {

class RawPeer {
public:
    RawPeer() = default;
    explicit RawPeer(unsigned short port) { connect(port); }
    explicit RawPeer(int acceptedFd) : fd(acceptedFd) {}
    // From `source` (such as "127.0.0.2") when given; throws when nobody listens.
    void connect(unsigned short port, const char* source = nullptr) {
        fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) throw std::runtime_error("socket failed");
        sockaddr_in from = loopback(0), address = loopback(port);
        if (source != nullptr) ::inet_pton(AF_INET, source, &from.sin_addr);
        if ((source != nullptr && ::bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0) ||
            ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            close();
            throw std::runtime_error("connect failed");
        }
    }
    ~RawPeer() { close(); }
    RawPeer(const RawPeer&) = delete;
    RawPeer& operator=(const RawPeer&) = delete;

    static sockaddr_in loopback(unsigned short port) {
        return sockaddr_in{AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
    }

    // close() then resets the connection instead of leaving it in TIME_WAIT.
    void resetOnClose() {
        linger option{1, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &option, sizeof option);
    }

    bool write(const kel::bytes& data) { return write(data.begin(), data.length()); }
    bool write(const unsigned char* data, std::size_t n) {
        while (n > 0) {
            const ssize_t sent = ::send(fd, data, n, MSG_NOSIGNAL);
            if (sent < 0 && errno == EINTR) continue;  // a signal (the fuzzer's timer) is no failure
            if (sent <= 0) return false;
            data += sent;
            n -= static_cast<std::size_t>(sent);
        }
        return true;
    }
    bool writeFrame(const kel::bytes& payload) {
        return write(kel::bytes::fromUint(payload.length()) + payload);
    }

    // Reads exactly n bytes (readFrame: one frame); false on time-out or end of stream.
    bool read(std::size_t n, std::string& out,
              std::chrono::milliseconds deadline = std::chrono::milliseconds(5000)) {
        out.clear();
        const auto end = std::chrono::steady_clock::now() + deadline;
        char buffer[65536];
        while (out.size() < n) {
            if (!readable(end)) return false;
            const ssize_t got = ::recv(fd, buffer, std::min(sizeof buffer, n - out.size()), 0);
            if (got <= 0) return false;
            out.append(buffer, static_cast<std::size_t>(got));
        }
        return true;
    }

    bool readFrame(kel::bytes& payload,
                   std::chrono::milliseconds deadline = std::chrono::milliseconds(5000)) {
        std::string header, body;
        if (!read(4, header, deadline) || !read(kel::bytes(header).readUint(), body, deadline)) return false;
        payload = kel::bytes(body);
        return true;
    }

    // True when the peer closed before the deadline; bytes that arrive first are skipped.
    bool waitClosed(std::chrono::milliseconds deadline = std::chrono::milliseconds(5000)) {
        const auto end = std::chrono::steady_clock::now() + deadline;
        char buffer[4096];
        while (readable(end)) {
            if (::recv(fd, buffer, sizeof buffer, 0) <= 0) return true;
        }
        return false;
    }

    // True when nothing arrives during `period` (and the connection stays open).
    bool quietFor(std::chrono::milliseconds period) {
        return !readable(std::chrono::steady_clock::now() + period);
    }

    void close() {
        if (fd >= 0) ::close(fd);
        fd = -1;
    }

    int fd = -1;

private:
    bool readable(std::chrono::steady_clock::time_point end) {
        for (;;) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
            if (left.count() <= 0) return false;
            pollfd p{fd, POLLIN, 0};
            const int ready = ::poll(&p, 1, int(left.count()));
            if (ready > 0) return true;
            if (ready < 0 && errno != EINTR) return false;
        }
    }
};

// Listens on 127.0.0.1 for tests of the client side.
class RawListener {
public:
    RawListener() {
        fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address = RawPeer::loopback(0);
        if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            ::listen(fd, 16) != 0) {
            throw std::runtime_error("listen failed");
        }
        socklen_t length = sizeof address;
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
        port = ntohs(address.sin_port);
    }
    ~RawListener() { ::close(fd); }
    RawListener(const RawListener&) = delete;
    RawListener& operator=(const RawListener&) = delete;

    boost::asio::ip::tcp::endpoint endpoint() const {
        return boost::asio::ip::tcp::endpoint(boost::asio::ip::address_v4::loopback(), port);
    }

    // The next connection, or -1 when none arrives before the deadline.
    int accept(std::chrono::milliseconds deadline = std::chrono::milliseconds(5000)) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(deadline.count())) <= 0) return -1;
        return ::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
    }

    int fd = -1;
    unsigned short port = 0;
};

}  // namespace testsupport
