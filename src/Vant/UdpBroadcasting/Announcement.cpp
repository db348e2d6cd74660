#include "Vant/UdpBroadcasting/Announcement.h"

#include <cctype>
#include <cstdlib>
#include <cstring>

namespace Vant {
namespace UdpBroadcasting {

namespace {

const std::size_t KeyDigits = 64;

// Reads a decimal number at `from`; false when no digit was consumed.
bool readNumber(const std::string& text, std::size_t from, uint32_t& value, std::size_t& end) {
    const char* start = text.c_str() + from;
    char* stop = nullptr;
    const long number = std::strtol(start, &stop, 10);
    if (stop == start) return false;
    value = static_cast<uint32_t>(number);
    end = from + static_cast<std::size_t>(stop - start);
    return true;
}

}  // namespace

std::string makeAnnouncement(const kel::bytes& publicKey, unsigned version) {
    return AnnouncementPrefix + std::to_string(version) + "-" + publicKey.toHex();
}

boost::optional<Announcement> parseAnnouncement(const std::string& text) {
    const std::size_t prefixLength = std::strlen(AnnouncementPrefix);
    if (text.compare(0, prefixLength, AnnouncementPrefix) != 0) return boost::none;

    Announcement announcement;
    std::size_t position = 0;
    if (!readNumber(text, prefixLength, announcement.version, position)) return boost::none;
    if (position >= text.size()) return boost::none;
    if (text[position] == '.') {
        std::size_t afterRevision = 0;
        if (readNumber(text, position + 1, announcement.revision, afterRevision)) {
            position = afterRevision;
        } else {
            position += 1;
        }
    }
    position += 1;  // the separator, whatever it is
    if (position > text.size() || text.size() - position < KeyDigits) return boost::none;

    const std::string key = text.substr(position, KeyDigits);
    // Only hexadecimal digits make a key; anything else would decode to a key that
    // no printer has.
    for (char c : key) {
        if (!std::isxdigit(static_cast<unsigned char>(c))) return boost::none;
    }
    announcement.publicKey = kel::bytes::fromHex(key);
    return announcement;
}

}  // namespace UdpBroadcasting
}  // namespace Vant
