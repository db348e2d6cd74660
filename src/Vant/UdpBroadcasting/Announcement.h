// The printer's announcement text ("tolvane-v" version ["." revision] separator
// 64-hex-digit public key): how the printer writes it and how a client reads it.
// Pure functions, safe from any thread.
#pragma once

#include <cstdint>
#include <string>

#include <boost/optional.hpp>

#include "kel/bytes.h"

namespace Vant {
namespace UdpBroadcasting {

const char* const AnnouncementPrefix = "tolvane-v";
const unsigned AnnouncementVersion = 5;

struct Announcement {
    kel::bytes publicKey;  // 32 bytes
    uint32_t version = 0;
    uint32_t revision = 0;
};

// "tolvane-v" + version + "-" + the key in lower-case hexadecimal.
std::string makeAnnouncement(const kel::bytes& publicKey, unsigned version = AnnouncementVersion);

// Reads an announcement; none when the text does not follow the format. The version
// and revision are read as strtol reads decimals (leading spaces and a sign
// accepted); anything after the 64 key digits is ignored.
boost::optional<Announcement> parseAnnouncement(const std::string& text);

}  // namespace UdpBroadcasting
}  // namespace Vant
