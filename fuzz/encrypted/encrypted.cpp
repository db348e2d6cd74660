// Arbitrary bytes to an EncryptedSocket after a real handshake. The first byte chooses how
// the rest travels: bit 0 set, as it is; clear, as sealed 203-byte plaintext blocks (bit 1:
// numbered as expected). The channel must end with one pushDisconnected once the peer closes.
#include "Vant/Messaging/EncryptedSocket.h"

#include "Vant/Messaging/EncryptedTestPeer.h"

#include <sys/socket.h>

#include <cstdio>
#include <cstdlib>

using namespace encryptedtest;
using Vant::Messaging::EncryptedSocket;

static void check(bool holds, const char* failure) {
    if (holds) return;
    std::fprintf(stderr, "%s\n", failure);
    std::abort();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    static IoPool* pool = new IoPool(2);  // never torn down under libFuzzer
    static RawListener* listener = new RawListener;
    static KeyPair keys;
    EncryptedSocket::Durations durations;
    durations.keepAliveAnswer = boost::posix_time::milliseconds(1);
    durations.handshake = boost::posix_time::seconds(5);
    Recorder recorder;
    auto channel = EncryptedSocket::create(pool->io, keys.priv, keys.pub, durations);
    recorder.attach(*channel);
    channel->start(listener->endpoint(), kel::bytes(), false);
    EncryptedPeer peer;
    peer.accept(*listener);
    peer.handshake();
    check(recorder.connected.waitFor(1, std::chrono::seconds(10)), "handshake did not complete");

    const kel::bytes input(data + 1, unsigned(size - 1));
    kel::bytes stream = input;
    if ((data[0] & 1) == 0) {
        std::string blocks;
        for (unsigned offset = 0; offset < input.length(); offset += EncryptedPeer::PlainLength) {
            kel::bytes plain(EncryptedPeer::PlainLength, 0);
            plain.write(
                input.subBytes(offset, std::min(EncryptedPeer::PlainLength, input.length() - offset)));
            if (data[0] & 2) plain.writeUshort(peer.sendCounter++);
            blocks += std::string(peer.sealed(plain));
        }
        stream = kel::bytes(blocks);
    }
    peer.write(stream);  // the channel may end the connection before it has read everything
    ::shutdown(peer.fd, SHUT_WR);
    check(recorder.disconnected.waitFor(1, std::chrono::seconds(10)),
          "the channel did not end after its peer closed");
    channel.reset();
    peer.close();
    check(recorder.disconnected.size() == 1, "pushDisconnected fired more than once");
    return 0;
}
