// Test helpers for the encrypted channel: an I/O pool, a recorder of a channel's
// signals, and RawPeer, a blocking peer on plain POSIX sockets that runs the
// handshake and builds or checks blocks itself, so tests (and the fuzzer) can send
// what a well-behaved channel never would and read exactly what one writes.
#pragma once

#include "Vant/Messaging/EncryptedSocket.h"
#include "kel/Sodium.h"
#include "support/RawPeer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <boost/asio/io_service.hpp>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace encryptedtest {

using kel::bytes;

struct KeyPair {
    bytes priv = bytes(32).randomize();
    bytes pub = kel::Sodium::publicKey(priv);
};

// One io_service run by `threads` threads until destruction.
class IoPool {
public:
    explicit IoPool(unsigned threads = 3) : work(new boost::asio::io_service::work(io)) {
        for (unsigned i = 0; i < threads; ++i) runners.emplace_back([this]() { io.run(); });
    }
    ~IoPool() {
        work.reset();
        io.stop();
        for (auto& t : runners) t.join();
    }
    boost::asio::io_service io;

private:
    std::unique_ptr<boost::asio::io_service::work> work;
    std::vector<std::thread> runners;
};

// Records what a channel's signals deliver; waits with deadlines. The records live
// in a shared block held by the subscribed handlers too, so a delivery still running
// when the test ends never touches a destroyed recorder.
class Recorder {
public:
    void attach(Vant::Messaging::EncryptedSocket& channel) {
        std::shared_ptr<State> s = state;
        channel.pushConnected >> std::function<void()>([s]() { s->change([&]() { ++s->connected; }); });
        channel.pushMessage >>
            std::function<void(bytes)>([s](bytes m) { s->change([&]() { s->messages.push_back(m); }); });
        channel.pushDisconnected >>
            std::function<void(boost::system::error_code)>(
                [s](boost::system::error_code e) { s->change([&]() { s->reasons.push_back(e); }); });
    }

    typedef std::chrono::milliseconds ms;
    bool waitConnected(int count = 1, ms deadline = std::chrono::seconds(10)) {
        return state->waitFor([&]() { return state->connected >= count; }, deadline);
    }
    bool waitMessages(size_t count, ms deadline = std::chrono::seconds(10)) {
        return state->waitFor([&]() { return state->messages.size() >= count; }, deadline);
    }
    bool waitDisconnected(size_t count = 1, ms deadline = std::chrono::seconds(10)) {
        return state->waitFor([&]() { return state->reasons.size() >= count; }, deadline);
    }

    int connectedCount() {
        std::lock_guard<std::mutex> lock(state->mutex);
        return state->connected;
    }
    std::vector<bytes> received() {
        std::lock_guard<std::mutex> lock(state->mutex);
        return state->messages;
    }
    std::vector<boost::system::error_code> disconnections() {
        std::lock_guard<std::mutex> lock(state->mutex);
        return state->reasons;
    }

private:
    struct State {
        // True when `done` holds before the deadline; `done` runs under the lock.
        bool waitFor(std::function<bool()> done, ms deadline) {
            std::unique_lock<std::mutex> lock(mutex);
            return changed.wait_for(lock, deadline, done);
        }
        void change(std::function<void()> f) {
            std::lock_guard<std::mutex> lock(mutex);
            f();
            changed.notify_all();
        }

        std::mutex
            mutex;  // guards the three records; the channel's signal strand and the test thread contend
        std::condition_variable changed;
        int connected = 0;
        std::vector<bytes> messages;
        std::vector<boost::system::error_code> reasons;
    };
    std::shared_ptr<State> state = std::make_shared<State>();
};

// Waits for a condition polled without a lock (an atomic or a child's state).
inline bool eventually(std::function<bool()> done,
                       std::chrono::milliseconds deadline = std::chrono::seconds(10),
                       std::chrono::microseconds step = std::chrono::milliseconds(5)) {
    auto until = std::chrono::steady_clock::now() + deadline;
    while (!done()) {
        if (std::chrono::steady_clock::now() > until) return false;
        std::this_thread::sleep_for(step);
    }
    return true;
}

// The listening socket on 127.0.0.1 that the framed-connection tests use too.
using testsupport::RawListener;

// One end of the encrypted protocol written directly on a POSIX socket. Every read
// has a deadline (SO_RCVTIMEO) and throws on time-out or end of stream.
class RawPeer {
public:
    static constexpr unsigned BlockLength = 243;
    static constexpr unsigned PlainLength = 203;

    explicit RawPeer(KeyPair keys = KeyPair()) : keys(keys) {}
    ~RawPeer() { close(); }
    RawPeer(const RawPeer&) = delete;
    RawPeer& operator=(const RawPeer&) = delete;

    void accept(const RawListener& listener) {
        do {
            fd = ::accept(listener.fd, nullptr, nullptr);
        } while (fd < 0 && errno == EINTR);
        if (fd < 0) throw std::runtime_error("RawPeer: accept failed");
        setTimeout();
    }
    // To 127.0.0.1; from `source` (another loopback address, "127.0.0.2") when given.
    void connect(unsigned short port, const char* source = nullptr) {
        fd = ::socket(AF_INET, SOCK_STREAM, 0);
        if (source != nullptr) {
            sockaddr_in from{};
            from.sin_family = AF_INET;
            ::inet_pton(AF_INET, source, &from.sin_addr);
            if (::bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0) {
                throw std::runtime_error("RawPeer: bind failed");
            }
        }
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(port);
        if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            throw std::runtime_error("RawPeer: connect failed");
        }
        setTimeout();
    }
    void close() {
        if (fd >= 0) ::close(fd);
        fd = -1;
    }
    void shutdownWrite() { ::shutdown(fd, SHUT_WR); }

    // The whole handshake, this end writing each unit before reading the peer's.
    void handshake() {
        write(keys.pub);
        peerPub = read(32);
        bytes shared = kel::Sodium::sharedKey(peerPub, keys.priv);
        bytes tempPriv = bytes(32).randomize();
        tempPub = kel::Sodium::publicKey(tempPriv);
        sendCounter = tempPub.readUshort();
        write(kel::Sodium::encrypt(shared, tempPub));
        bytes peerTemp = kel::Sodium::decrypt(shared, read(72));
        receiveCounter = peerTemp.readUshort();
        sessionKey = kel::Sodium::sharedKey(peerTemp, tempPriv);
        write(kel::Sodium::authenticate(sessionKey, peerTemp));
        if (!kel::Sodium::verifyAuthentication(sessionKey, tempPub, read(32))) {
            throw std::runtime_error("RawPeer: the peer's authenticator does not verify");
        }
    }

    bytes read(unsigned n) {
        bytes data(n);
        unsigned got = 0;
        while (got < n) {
            ssize_t r = ::recv(fd, data.begin() + got, n - got, 0);
            if (r < 0 && errno == EINTR) continue;  // a signal (the fuzzer's timer) is no failure
            if (r <= 0) throw std::runtime_error(r == 0 ? "RawPeer: end of stream" : "RawPeer: read failed");
            got += unsigned(r);
        }
        return data;
    }
    // True when the peer closes the connection (end of stream or reset) before the
    // read deadline; data that arrives first is skipped.
    bool waitClosed() {
        kel::byte sink[512];
        for (;;) {
            ssize_t r = ::recv(fd, sink, sizeof sink, 0);
            if (r < 0 && errno == EINTR) continue;
            if (r == 0) return true;
            if (r < 0) return errno == ECONNRESET;
        }
    }
    void write(const bytes& data) {
        unsigned sent = 0;
        while (sent < data.length()) {
            ssize_t r = ::send(fd, data.begin() + sent, data.length() - sent, MSG_NOSIGNAL);
            if (r < 0 && errno == EINTR) continue;
            if (r <= 0) throw std::runtime_error("RawPeer: write failed");
            sent += unsigned(r);
        }
    }

    // Decrypted next block (203 bytes).
    bytes readBlock() { return kel::Sodium::decrypt(sessionKey, read(BlockLength)); }
    bytes sealed(const bytes& plain) const { return kel::Sodium::encrypt(sessionKey, plain); }
    void writePlain(const bytes& plain) { write(sealed(plain)); }

    // A plaintext block: number, state, `padding` zero bytes (with the 4-byte
    // length field when state > 4), then `data` (200 - padding bytes).
    static bytes plainBlock(unsigned short number, kel::byte state, unsigned padding, const bytes& data) {
        bytes plain(PlainLength, 0);
        plain.writeUshort(number);
        plain[2] = state;
        if (state > 4) plain.subBytes(3).writeUint(padding);
        plain.write(3 + padding, data);
        return plain;
    }
    // The blocks of one message as this end numbers them (advances sendCounter).
    std::vector<bytes> blocksOf(const bytes& message) {
        std::vector<bytes> blocks;
        unsigned offset = 0;
        do {
            unsigned rest = message.length() - offset;
            if (rest > 200) {
                blocks.push_back(plainBlock(sendCounter++, 0, 0, message.subBytes(offset, 200)));
                offset += 200;
                continue;
            }
            unsigned padding = 200 - rest;
            kel::byte state = padding <= 3 ? kel::byte(padding + 1) : kel::byte(255);
            blocks.push_back(plainBlock(sendCounter++, state, padding, message.subBytes(offset)));
            offset = message.length();
        } while (offset < message.length());
        return blocks;
    }
    void writeMessage(const bytes& message) {
        std::vector<bytes> blocks = blocksOf(message);
        bytes all(unsigned(blocks.size()) * BlockLength);
        for (size_t i = 0; i < blocks.size(); ++i) all.write(int(i * BlockLength), sealed(blocks[i]));
        write(all);
    }

    // Reads one message, checking numbering, state and padding; the states seen go
    // to `states` when given.
    bytes readMessage(std::vector<int>* states = nullptr) {
        std::vector<bytes> pieces;
        for (;;) {
            bytes plain = readBlock();
            if (plain.readUshort() != receiveCounter++)
                throw std::runtime_error("RawPeer: unexpected block number");
            int state = plain[2];
            if (states) states->push_back(state);
            unsigned padding = state == 0   ? 0
                               : state <= 4 ? unsigned(state - 1)
                                            : plain.subBytes(3).readUint();
            if (padding > 200) throw std::runtime_error("RawPeer: padding too long");
            pieces.push_back(plain.subBytes(3 + padding));
            if (state != 0) return joined(pieces);
        }
    }

    static bytes joined(const std::vector<bytes>& pieces) {
        unsigned length = 0;
        for (const bytes& p : pieces) length += p.length();
        bytes all(length);
        unsigned offset = 0;
        for (const bytes& p : pieces) {
            all.write(int(offset), p);
            offset += p.length();
        }
        return all;
    }

    KeyPair keys;
    bytes peerPub, tempPub, sessionKey;
    unsigned short sendCounter = 0, receiveCounter = 0;
    int fd = -1;

private:
    void setTimeout() {
        timeval tv{10, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
        int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    }
};

// A message whose bytes depend on their position, so misplaced bytes show.
inline bytes pattern(unsigned length, unsigned seed = 0) {
    bytes b(length);
    for (unsigned i = 0; i < length; ++i) b[i] = kel::byte((i * 7 + seed) % 251);
    return b;
}

}  // namespace encryptedtest
