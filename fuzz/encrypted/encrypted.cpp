// Feeds arbitrary bytes to a connected EncryptedSocket after a real handshake over
// loopback. The first input byte chooses how the rest travels:
//   bit 0 clear: split into 203-byte plaintext blocks (the last one zero-filled),
//                each sealed with the session key, so the block parser is reached;
//   bit 0 set:   written as it is, as if it were sealed blocks;
//   bit 1 set:   (sealed blocks) the block numbers are overwritten with the expected
//                ones, so the fuzzer gets past the number check.
// Whatever arrives, the channel must end with exactly one pushDisconnected once the
// peer closes, without a sanitizer finding and without hanging.
#include "Vant/Messaging/EncryptedSocket.h"

#include "Vant/Messaging/EncryptedTestPeer.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>

using namespace encryptedtest;
using Vant::Messaging::EncryptedSocket;

namespace {

struct World {
    IoPool pool{2};
    KeyPair keys;
    RawListener listener;
};

bool soon(std::function<bool()> done) {
    return eventually(done, std::chrono::milliseconds(10000), std::chrono::microseconds(50));
}

World& world() {
    static World* w = new World;  // lives for the whole run; never torn down under libFuzzer
    return *w;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    World& w = world();
    EncryptedSocket::Durations durations;
    durations.keepAliveAnswer = boost::posix_time::milliseconds(1);
    durations.handshake = boost::posix_time::seconds(5);
    auto channel = EncryptedSocket::create(w.pool.io, w.keys.priv, w.keys.pub, durations);
    // Counted on the channel's signal strand, read here.
    std::atomic<int> connected{0}, disconnected{0};
    channel->pushConnected >> std::function<void()>([&]() { ++connected; });
    channel->pushDisconnected >>
        std::function<void(boost::system::error_code)>([&](boost::system::error_code) { ++disconnected; });
    channel->start(w.listener.endpoint(), kel::bytes(), false);

    RawPeer peer;
    peer.accept(w.listener);
    peer.handshake();
    if (!soon([&]() { return connected.load() == 1; })) {
        std::fprintf(stderr, "handshake did not complete\n");
        std::abort();
    }

    const uint8_t mode = data[0];
    kel::bytes input(data + 1, unsigned(size - 1));
    kel::bytes stream;
    if (mode & 1) {
        stream = input;
    } else {
        for (unsigned offset = 0; offset < input.length(); offset += RawPeer::PlainLength) {
            kel::bytes plain(RawPeer::PlainLength, 0);
            unsigned n = std::min(RawPeer::PlainLength, input.length() - offset);
            plain.write(input.subBytes(offset, n));
            if (mode & 2) plain.writeUshort(peer.sendCounter++);
            stream = stream + peer.sealed(plain);
        }
    }
    try {
        peer.write(stream);
    } catch (const std::runtime_error&) {
        // The channel may end the connection before it has read everything.
    }
    peer.shutdownWrite();
    if (!soon([&]() { return disconnected.load() >= 1; })) {
        std::fprintf(stderr, "the channel did not end after its peer closed\n");
        std::abort();
    }
    channel.reset();
    peer.close();
    if (disconnected.load() != 1) {
        std::fprintf(stderr, "pushDisconnected fired %d times\n", disconnected.load());
        std::abort();
    }
    return 0;
}
