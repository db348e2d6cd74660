// The announcement parser on any text. An accepted text yields a 32-byte key that the
// parser reads back from the printer's own form of the same announcement.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "Vant/UdpBroadcasting/Announcement.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const auto parsed = Vant::UdpBroadcasting::parseAnnouncement(text);
    if (!parsed) return 0;
    if (parsed->publicKey.length() != 32) abort();
    const auto again = Vant::UdpBroadcasting::parseAnnouncement(
        Vant::UdpBroadcasting::makeAnnouncement(parsed->publicKey, 5));
    if (!again || again->publicKey != parsed->publicKey || again->version != 5 || again->revision != 0)
        abort();
    return 0;
}
