// The frame reader against a whole-buffer reading of the same stream, cut into reads as
// the first two bytes choose. A small limit and chunk let short inputs reach every state.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <tuple>
#include <vector>

#include "Vant/Messaging/SimpleFrameReader.h"

namespace {

const unsigned MaxLength = 300, Chunk = 16;

struct Reading {
    std::vector<kel::bytes> messages;
    unsigned keepAlives = 0;
    bool tooLong = false;
    auto tied() const { return std::tie(messages, keepAlives, tooLong); }
};

Reading readWhole(const uint8_t* data, size_t size) {
    Reading reading;
    for (size_t at = 0; size - at >= 4;) {
        const unsigned length = (unsigned(data[at]) << 24) | (unsigned(data[at + 1]) << 16) |
                                (unsigned(data[at + 2]) << 8) | unsigned(data[at + 3]);
        reading.tooLong = length > MaxLength;
        if (reading.tooLong || size - at - 4 < length) break;
        if (length == 0) ++reading.keepAlives;
        if (length > 0) reading.messages.push_back(kel::bytes(data + at + 4, length));
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
    using Event = Vant::Messaging::SimpleFrameReader::Event;
    Vant::Messaging::SimpleFrameReader reader(MaxLength, Chunk);
    Reading got;
    for (size_t at = 0; at < size && !got.tooLong;) {
        const auto space = reader.nextBuffer();
        if (space.size == 0) abort();
        cutState = cutState * 1103515245u + 12345u;
        const size_t n = std::min({space.size, size_t(1 + (cutState >> 16) % 40), size - at});
        std::memcpy(space.data, data + at, n);
        at += n;
        const Event event = reader.consumed(n);
        if (event == Event::Message) got.messages.push_back(reader.takeMessage());
        if (event == Event::KeepAlive) ++got.keepAlives;
        if (event == Event::TooLong) got.tooLong = true;
        // What a peer costs is bounded by what it sent plus one chunk.
        if (reader.bufferedCapacity() > at + Chunk) abort();
    }
    if (got.tied() != readWhole(data, size).tied()) abort();
    return 0;
}
