#include "Vant/Messaging/SimpleFrameReader.h"

#include <gtest/gtest.h>

#include <cstring>

using Vant::Messaging::SimpleFrameReader;

namespace {

// Feeds `data` to the reader at most `cut` bytes at a time. Frames cut anywhere are
// the fuzzer's and the socket's tests' matter; this one is about what is held.
void feed(SimpleFrameReader& reader, const kel::bytes& data, std::size_t cut) {
    for (std::size_t offset = 0; offset < data.length();) {
        const auto space = reader.nextBuffer();
        if (space.size == 0) break;
        const std::size_t n = std::min({space.size, cut, data.length() - offset});
        std::memcpy(space.data, data.begin() + offset, n);
        offset += n;
        reader.consumed(n);
    }
}

}  // namespace

TEST(SimpleFrameReader, HoldsWhatThePeerSentNotWhatItAnnounced) {
    SimpleFrameReader reader;
    feed(reader, kel::bytes::fromUint(1000000), 4);
    EXPECT_LE(reader.bufferedCapacity(), SimpleFrameReader::ChunkSize);
    feed(reader, kel::bytes(200000, 9), 1000);
    EXPECT_LE(reader.bufferedCapacity(), 200000u + SimpleFrameReader::ChunkSize);
    EXPECT_EQ(reader.announcedLength(), 1000000u);
}
