// Vant::Messaging::SimpleFrameReader: cuts the byte stream of a framed connection
// into frames (4-byte big-endian length, then that many payload bytes). It owns the
// buffers the connection reads into; the payload grows chunk by chunk as its bytes
// arrive, so a peer costs what it sends, not what it announces. Used by one read
// chain at a time (a SimpleSocket's strand); no locking.
#pragma once

#include <cstddef>
#include <vector>

#include "Vant/Variables.h"
#include "kel/bytes.h"

namespace Vant {
namespace Messaging {

class SimpleFrameReader {
public:
    static constexpr unsigned ChunkSize = 65536;

    enum class Event {
        None,       // more bytes of the current header or payload are needed
        Header,     // a header announcing a payload of 1..maxLength bytes completed
        KeepAlive,  // a header announcing 0 bytes completed (nothing to deliver)
        Message,    // a payload completed: takeMessage() holds it
        TooLong,    // a header announced more than maxLength bytes: the stream is unusable
    };

    // A place to read into: `size` bytes starting at `data`.
    struct Space {
        kel::byte* data;
        std::size_t size;
    };

    explicit SimpleFrameReader(unsigned maxLength = TcpMaxMessageLength, unsigned chunkSize = ChunkSize);

    // Where the next bytes of the stream belong; at most the rest of the current
    // header or payload chunk. Empty once TooLong was reported.
    Space nextBuffer();
    // Records that n bytes (at most nextBuffer().size) were written to nextBuffer().
    Event consumed(std::size_t n);
    // The payload that the last Message event completed (empty after it is taken).
    kel::bytes takeMessage();

    // Payload length announced by the current frame's header (0 between frames).
    unsigned announcedLength() const { return announced; }
    // Bytes of payload buffer held for the current frame.
    std::size_t bufferedCapacity() const;

private:
    void startChunk();

    const unsigned maxLength;
    const unsigned chunkSize;
    kel::byte header[4] = {0, 0, 0, 0};
    unsigned headerFilled = 0;
    bool inPayload = false;
    bool broken = false;
    unsigned announced = 0;
    unsigned received = 0;           // payload bytes received of the current frame
    std::vector<kel::bytes> chunks;  // completed chunks of a payload larger than one chunk
    kel::bytes current;              // the chunk being filled
    unsigned currentFilled = 0;
    kel::bytes message;  // the last completed payload, until taken
};

}  // namespace Messaging
}  // namespace Vant
