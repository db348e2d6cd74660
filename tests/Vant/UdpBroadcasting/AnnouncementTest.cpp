#include "Vant/UdpBroadcasting/Announcement.h"

#include <gtest/gtest.h>

using Vant::UdpBroadcasting::makeAnnouncement;
using Vant::UdpBroadcasting::parseAnnouncement;

namespace {
const std::string Key = "01ab" + std::string(56, 'c') + "9f0e";
}  // namespace

TEST(Announcement, ReadsVersionRevisionAndKeyAndReadsBackThePrintersOwn) {
    struct Case {
        std::string text;
        unsigned version, revision;
    };
    const std::string upper = "01AB" + std::string(56, 'C') + "9F0E";
    // Any single character separates; a point without digits leaves revision 0; numbers
    // are read as strtol reads them, and what follows the key is ignored.
    const std::vector<Case> cases = {
        {"tolvane-v5-" + Key, 5, 0},    {"tolvane-v5.1-" + Key, 5, 1},
        {"tolvane-v12.x" + Key, 12, 0}, {"tolvane-v +7.3_" + Key + "tail", 7, 3},
        {"tolvane-v5-" + upper, 5, 0},  {makeAnnouncement(kel::bytes::fromHex(Key)), 5, 0}};
    for (const auto& c : cases) {
        auto parsed = parseAnnouncement(c.text);
        ASSERT_TRUE(parsed) << c.text;
        EXPECT_EQ(parsed->version, c.version) << c.text;
        EXPECT_EQ(parsed->revision, c.revision) << c.text;
        EXPECT_EQ(parsed->publicKey, kel::bytes::fromHex(Key)) << c.text;
    }
}

TEST(Announcement, IgnoresTextsThatDoNotFollowTheFormat) {
    // No (or a wrong) prefix, no version digits, no key, a short, shifted or non-hexadecimal key.
    const std::vector<std::string> invalid = {"",
                                              "tolvane-v",
                                              "tolvane-v5",
                                              "tolvane-v5.",
                                              "tolvane-v5.3",
                                              "tolvane-v5-",
                                              "tolvane-w5-" + Key,
                                              "Tolvane-v5-" + Key,
                                              "tolvane-v-" + std::string(64, 'a'),
                                              "tolvane-v5-" + Key.substr(0, 63),
                                              "tolvane-v5.1-" + Key.substr(1),
                                              "tolvane-v5-" + Key.substr(0, 30) + "zz" + Key.substr(32),
                                              std::string("tolvane-v5-\0", 12) + Key.substr(1)};
    for (const auto& text : invalid) EXPECT_FALSE(parseAnnouncement(text)) << '"' << text << '"';
}
