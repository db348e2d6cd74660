#include "Vant/UdpBroadcasting/Announcement.h"

#include <gtest/gtest.h>

using Vant::UdpBroadcasting::makeAnnouncement;
using Vant::UdpBroadcasting::parseAnnouncement;

namespace {

const std::string Key = "01ab" + std::string(56, 'c') + "9f0e";

kel::bytes keyBytes() {
    return kel::bytes::fromHex(Key);
}

}  // namespace

TEST(Announcement, ReadsVersionRevisionAndKey) {
    auto plain = parseAnnouncement("tolvane-v5-" + Key);
    ASSERT_TRUE(plain);
    EXPECT_EQ(plain->version, 5u);
    EXPECT_EQ(plain->revision, 0u);
    EXPECT_EQ(plain->publicKey, keyBytes());

    auto revised = parseAnnouncement("tolvane-v5.1-" + Key);
    ASSERT_TRUE(revised);
    EXPECT_EQ(revised->version, 5u);
    EXPECT_EQ(revised->revision, 1u);
    EXPECT_EQ(revised->publicKey, keyBytes());

    // Any single character separates; a point without digits leaves revision 0 and
    // the next character is the separator.
    auto pointX = parseAnnouncement("tolvane-v12.x" + Key);
    ASSERT_TRUE(pointX);
    EXPECT_EQ(pointX->version, 12u);
    EXPECT_EQ(pointX->revision, 0u);
    EXPECT_EQ(pointX->publicKey, keyBytes());

    // Numbers are read as strtol reads them, and what follows the key is ignored.
    auto spaced = parseAnnouncement("tolvane-v +7.3_" + Key + "trailing");
    ASSERT_TRUE(spaced);
    EXPECT_EQ(spaced->version, 7u);
    EXPECT_EQ(spaced->revision, 3u);
    EXPECT_EQ(spaced->publicKey, keyBytes());
}

TEST(Announcement, UpperCaseKeyDigitsDecodeLikeLowerCase) {
    std::string upper = Key;
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    auto parsed = parseAnnouncement("tolvane-v5-" + upper);
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->publicKey, keyBytes());
}

TEST(Announcement, IgnoresTextsThatDoNotFollowTheFormat) {
    const std::vector<std::string> invalid = {
        "",
        "tolvane-v",
        "tolvane-w5-" + Key,
        "Tolvane-v5-" + Key,
        "tolvane-v-" + std::string(64, 'a'),  // no version digits
        "tolvane-v5",                         // ends after the version
        "tolvane-v5.",                        // ends after the point
        "tolvane-v5.3",                       // ends after the revision
        "tolvane-v5-",
        "tolvane-v5-" + Key.substr(0, 63),  // 63 key digits
        "tolvane-v5.1-" + Key.substr(1),
        "tolvane-v5-" + Key.substr(0, 30) + "zz" + Key.substr(32),  // not hexadecimal
        std::string("tolvane-v5-\0", 12) + Key.substr(1),
    };
    for (const auto& text : invalid) EXPECT_FALSE(parseAnnouncement(text)) << '"' << text << '"';
}

TEST(Announcement, ThePrintersTextIsSeventyFiveCharactersAndReadsBack) {
    const std::string text = makeAnnouncement(keyBytes());
    EXPECT_EQ(text.size(), 75u);
    EXPECT_EQ(text.substr(0, 11), "tolvane-v5-");
    EXPECT_EQ(text.substr(11, 4), "01ab");
    auto parsed = parseAnnouncement(text);
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->version, 5u);
    EXPECT_EQ(parsed->revision, 0u);
    EXPECT_EQ(parsed->publicKey, keyBytes());
}
