// Helpers for the encrypted channel's tests and fuzzer: a recorder of a channel's signals,
// and EncryptedPeer, a blocking end of the protocol that builds and checks blocks itself.
#pragma once

#include "Vant/Messaging/EncryptedSocket.h"
#include "kel/Sodium.h"
#include "support/AsyncTest.h"
#include "support/RawPeer.h"

#include <stdexcept>
#include <string>
#include <vector>

namespace encryptedtest {

using kel::bytes;
using testsupport::Collector;
using testsupport::IoPool;
using testsupport::RawListener;

struct KeyPair {
    bytes priv = bytes(32).randomize();
    bytes pub = kel::Sodium::publicKey(priv);
};

inline boost::system::error_code code(Vant::Messaging::EsocketError e) {
    return Vant::Messaging::make_error_code(e);
}

struct Recorder {
    void attach(Vant::Messaging::EncryptedSocket& channel) {
        channel.pushConnected >> std::function<void()>([this]() { connected.add(true); });
        channel.pushMessage >> messages.adder();
        channel.pushDisconnected >> disconnected.adder();
    }
    Collector<bool> connected;
    Collector<bytes> messages;
    Collector<boost::system::error_code> disconnected;
};

template <typename Channel>
boost::system::error_code sent(Channel& channel, const bytes& message) {
    Collector<boost::system::error_code> outcome;
    channel.send(message, outcome.adder());
    if (!outcome.waitFor(1, std::chrono::seconds(20))) throw std::runtime_error("the send was not reported");
    return outcome.snapshot()[0];
}

// Reads throw on time-out or end of stream.
class EncryptedPeer : public testsupport::RawPeer {
public:
    static constexpr unsigned BlockLength = 243;
    static constexpr unsigned PlainLength = 203;

    explicit EncryptedPeer(KeyPair keys = KeyPair()) : keys(keys) {}

    void accept(RawListener& listener) {
        fd = listener.accept(std::chrono::seconds(10));
        if (fd < 0) throw std::runtime_error("nobody connected");
    }

    void handshake() {
        write(keys.pub);
        peerPub = read(32);
        const bytes shared = kel::Sodium::sharedKey(peerPub, keys.priv);
        const bytes tempPriv = bytes(32).randomize();
        const bytes tempPub = kel::Sodium::publicKey(tempPriv);
        sendCounter = tempPub.readUshort();
        write(kel::Sodium::encrypt(shared, tempPub));
        const bytes peerTemp = kel::Sodium::decrypt(shared, read(72));
        receiveCounter = peerTemp.readUshort();
        sessionKey = kel::Sodium::sharedKey(peerTemp, tempPriv);
        write(kel::Sodium::authenticate(sessionKey, peerTemp));
        if (!kel::Sodium::verifyAuthentication(sessionKey, tempPub, read(32)))
            throw std::runtime_error("the peer's authenticator does not verify");
    }

    bytes read(unsigned n) {
        std::string data;
        if (!RawPeer::read(n, data, std::chrono::seconds(10))) throw std::runtime_error("end of stream");
        return bytes(data);
    }
    bool waitClosed() { return RawPeer::waitClosed(std::chrono::seconds(10)); }

    bytes sealed(const bytes& plain) const { return kel::Sodium::encrypt(sessionKey, plain); }
    void writePlain(const bytes& plain) { write(sealed(plain)); }

    // Number, state, `padding` zero bytes (the first 4 its length when state > 4), data.
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
        for (unsigned offset = 0; message.length() - offset > 200; offset += 200)
            blocks.push_back(plainBlock(sendCounter++, 0, 0, message.subBytes(offset, 200)));
        const unsigned padding = 200 - (message.length() - 200 * unsigned(blocks.size()));
        const kel::byte state = padding <= 3 ? kel::byte(padding + 1) : kel::byte(255);
        blocks.push_back(
            plainBlock(sendCounter++, state, padding, message.subBytes(200 * unsigned(blocks.size()))));
        return blocks;
    }
    void writeMessage(const bytes& message) {
        std::string all;
        for (const bytes& block : blocksOf(message)) all += std::string(sealed(block));
        write(bytes(all));
    }

    // Checks numbering and padding; the states seen go to `states` when given.
    bytes readMessage(std::vector<int>* states = nullptr) {
        std::string message;
        for (;;) {
            bytes plain = kel::Sodium::decrypt(sessionKey, read(BlockLength));
            if (plain.readUshort() != receiveCounter++) throw std::runtime_error("unexpected block number");
            const int state = plain[2];
            if (states != nullptr) states->push_back(state);
            const unsigned padding = state == 0   ? 0
                                     : state <= 4 ? unsigned(state - 1)
                                                  : plain.subBytes(3).readUint();
            if (padding > 200) throw std::runtime_error("padding too long");
            message += std::string(plain.subBytes(3 + padding));
            if (state != 0) return bytes(message);
        }
    }

    KeyPair keys;
    bytes peerPub, sessionKey;
    unsigned short sendCounter = 0, receiveCounter = 0;
};
inline bytes pattern(unsigned length, unsigned seed = 0) {
    bytes b(length);
    for (unsigned i = 0; i < length; ++i) b[i] = kel::byte((i * 7 + seed) % 251);
    return b;
}

}  // namespace encryptedtest
