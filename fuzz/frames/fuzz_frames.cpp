// The frame reader against a whole-buffer reading of the same stream. The first two
// bytes choose how the stream is cut into reads; the rest is the stream. A small
// length limit and chunk size let short inputs reach every state.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "Vant/Messaging/SimpleFrameReader.h"

namespace {

const unsigned MaxLength = 300;
const unsigned Chunk = 16;

struct Reading {
    std::vector<kel::bytes> messages;
    unsigned keepAlives = 0;
    bool tooLong = false;
};

Reading readWhole(const uint8_t* data, size_t size) {
    Reading reading;
    size_t at = 0;
    while (size - at >= 4) {
        const unsigned length = (unsigned(data[at]) << 24) | (unsigned(data[at + 1]) << 16) |
                                (unsigned(data[at + 2]) << 8) | unsigned(data[at + 3]);
        if (length > MaxLength) {
            reading.tooLong = true;
            break;
        }
        if (length == 0) {
            ++reading.keepAlives;
            at += 4;
            continue;
        }
        if (size - at - 4 < length) break;
        reading.messages.push_back(kel::bytes(data + at + 4, length));
        at += 4 + length;
    }
    return reading;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    unsigned cutState = (unsigned(data[0]) << 8) | data[1];
    data += 2;
    size -= 2;
    const Reading expected = readWhole(data, size);

    Vant::Messaging::SimpleFrameReader reader(MaxLength, Chunk);
    Reading got;
    size_t at = 0;
    while (at < size && !got.tooLong) {
        const auto space = reader.nextBuffer();
        if (space.size == 0) abort();
        cutState = cutState * 1103515245u + 12345u;
        const size_t cut = 1 + (cutState >> 16) % 40;
        const size_t n = std::min({space.size, cut, size - at});
        std::memcpy(space.data, data + at, n);
        at += n;
        switch (reader.consumed(n)) {
            case Vant::Messaging::SimpleFrameReader::Event::Message:
                got.messages.push_back(reader.takeMessage());
                break;
            case Vant::Messaging::SimpleFrameReader::Event::KeepAlive:
                ++got.keepAlives;
                break;
            case Vant::Messaging::SimpleFrameReader::Event::TooLong:
                got.tooLong = true;
                break;
            default:
                break;
        }
        // What a peer costs is bounded by what it sent plus one chunk.
        if (reader.bufferedCapacity() > at + Chunk) abort();
    }
    if (got.tooLong != expected.tooLong || got.keepAlives != expected.keepAlives ||
        got.messages.size() != expected.messages.size()) {
        abort();
    }
    for (size_t i = 0; i < got.messages.size(); ++i) {
        if (got.messages[i] != expected.messages[i]) abort();
    }
    return 0;
}
