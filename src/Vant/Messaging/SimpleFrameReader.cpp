#include "Vant/Messaging/SimpleFrameReader.h"

#include <algorithm>
#include <cassert>
#include <cstring>

namespace Vant {
namespace Messaging {

SimpleFrameReader::SimpleFrameReader(unsigned maxLength, unsigned chunkSize)
    : maxLength(maxLength), chunkSize(std::max(1u, chunkSize)) {}

SimpleFrameReader::Space SimpleFrameReader::nextBuffer() {
    if (broken) return Space{nullptr, 0};
    if (!inPayload) return Space{header + headerFilled, sizeof header - headerFilled};
    return Space{current.begin() + currentFilled, current.length() - currentFilled};
}

void SimpleFrameReader::startChunk() {
    current = kel::bytes(std::min(chunkSize, announced - received));
    currentFilled = 0;
}

SimpleFrameReader::Event SimpleFrameReader::consumed(std::size_t n) {
    assert(n <= nextBuffer().size);
    if (broken || n == 0) return Event::None;
    if (!inPayload) {
        headerFilled += static_cast<unsigned>(n);
        if (headerFilled < sizeof header) return Event::None;
        headerFilled = 0;
        const unsigned length = (unsigned(header[0]) << 24) | (unsigned(header[1]) << 16) |
                                (unsigned(header[2]) << 8) | unsigned(header[3]);
        if (length == 0) return Event::KeepAlive;
        if (length > maxLength) {
            broken = true;
            return Event::TooLong;
        }
        announced = length;
        received = 0;
        inPayload = true;
        startChunk();
        return Event::Header;
    }

    currentFilled += static_cast<unsigned>(n);
    received += static_cast<unsigned>(n);
    if (currentFilled < current.length()) return Event::None;
    if (received < announced) {
        chunks.push_back(current);
        startChunk();
        return Event::None;
    }

    // The payload is complete: a single chunk is the message itself; several are
    // joined once, now that the peer has sent every byte it announced.
    if (chunks.empty()) {
        message = current;
    } else {
        message = kel::bytes(announced);
        unsigned offset = 0;
        for (const kel::bytes& chunk : chunks) {
            std::memcpy(message.begin() + offset, chunk.begin(), chunk.length());
            offset += chunk.length();
        }
        std::memcpy(message.begin() + offset, current.begin(), current.length());
        chunks.clear();
    }
    current = kel::bytes();
    currentFilled = 0;
    inPayload = false;
    announced = 0;
    received = 0;
    return Event::Message;
}

kel::bytes SimpleFrameReader::takeMessage() {
    kel::bytes taken = message;
    message = kel::bytes();
    return taken;
}

std::size_t SimpleFrameReader::bufferedCapacity() const {
    std::size_t total = current.length();
    for (const kel::bytes& chunk : chunks) total += chunk.length();
    return total;
}

}  // namespace Messaging
}  // namespace Vant
