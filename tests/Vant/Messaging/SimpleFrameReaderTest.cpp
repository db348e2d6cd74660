#include "Vant/Messaging/SimpleFrameReader.h"

#include <gtest/gtest.h>

#include <cstring>

using Vant::Messaging::SimpleFrameReader;
using Event = SimpleFrameReader::Event;

namespace {

// Feeds `data` to the reader at most `cut` bytes at a time; returns the events and
// the messages taken.
std::vector<Event> feed(SimpleFrameReader& reader, const kel::bytes& data, std::size_t cut,
                        std::vector<kel::bytes>* messages = nullptr) {
    std::vector<Event> events;
    for (std::size_t offset = 0; offset < data.length();) {
        const auto space = reader.nextBuffer();
        if (space.size == 0) break;
        const std::size_t n = std::min({space.size, cut, data.length() - offset});
        std::memcpy(space.data, data.begin() + offset, n);
        offset += n;
        const Event event = reader.consumed(n);
        if (event != Event::None) events.push_back(event);
        if (event == Event::Message && messages != nullptr) messages->push_back(reader.takeMessage());
    }
    return events;
}

}  // namespace

TEST(SimpleFrameReader, CutsAStreamIntoFramesWhereverItIsSplitUpToTheLimit) {
    kel::bytes big(150000);
    for (unsigned i = 0; i < big.length(); ++i) big[i] = static_cast<kel::byte>(i % 251);
    const kel::bytes stream = kel::bytes::fromUint(3) + kel::bytes("abc") + kel::bytes(4, 0) +
                              kel::bytes::fromUint(big.length()) + big + kel::bytes::fromUint(1) +
                              kel::bytes("z");
    for (std::size_t cut : {1, 3, 5, 65536, 1 << 20}) {
        SimpleFrameReader reader;
        std::vector<kel::bytes> messages;
        EXPECT_EQ(feed(reader, stream, cut, &messages),
                  (std::vector<Event>{Event::Header, Event::Message, Event::KeepAlive, Event::Header,
                                      Event::Message, Event::Header, Event::Message}))
            << "cut " << cut;
        EXPECT_EQ(messages, (std::vector<kel::bytes>{kel::bytes("abc"), big, kel::bytes("z")}))
            << "cut " << cut;
    }
    SimpleFrameReader beyond;
    EXPECT_EQ(feed(beyond, kel::bytes::fromUint(1000001) + kel::bytes(10, 1), 4),
              std::vector<Event>{Event::TooLong});
    EXPECT_EQ(beyond.nextBuffer().size, 0u);
}

TEST(SimpleFrameReader, HoldsWhatThePeerSentNotWhatItAnnounced) {
    SimpleFrameReader reader;
    feed(reader, kel::bytes::fromUint(1000000), 4);
    EXPECT_LE(reader.bufferedCapacity(), SimpleFrameReader::ChunkSize);
    feed(reader, kel::bytes(200000, 9), 1000);
    EXPECT_LE(reader.bufferedCapacity(), 200000u + SimpleFrameReader::ChunkSize);
    EXPECT_EQ(reader.announcedLength(), 1000000u);
}
