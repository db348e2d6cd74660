// The gate's network entry. The input is a sequence of network messages, each
// preceded by its length byte. A model of the window of 20 identifiers says which
// messages the application must receive and which must be acknowledged.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <vector>

#include <boost/asio/io_service.hpp>

#include "Vant/Gate/Gate.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    boost::asio::io_service io;
    Vant::Gate::Gate gate(io);
    std::vector<kel::bytes> delivered, acknowledged;
    gate.pushMessageToApplication >> [&](kel::bytes message) { delivered.push_back(message); };
    gate.pushMessageToNetwork >> [&](kel::bytes message, Vant::Gate::Gate::SentCallback done) {
        acknowledged.push_back(message);
        done(boost::system::error_code());
    };
    gate.sendReliably(kel::bytes("pending"), [](boost::system::error_code) {});  // for notifications to match
    io.poll();
    acknowledged.clear();

    std::deque<kel::bytes> window;
    std::vector<kel::bytes> expectDelivered, expectAcknowledged;
    size_t at = 0;
    while (at < size) {
        const size_t length = std::min<size_t>(data[at], size - at - 1);
        const kel::bytes message(data + at + 1, static_cast<unsigned>(length));  // exact size: over-reads are caught
        at += 1 + length;
        gate.onMessageFromNetwork(message);

        if (length < 5) continue;
        const kel::bytes id = message.subBytes(1, 4);
        if (message[0] == Vant::Gate::Reliable)
            expectAcknowledged.push_back(Vant::Gate::NotificationBytes + id);
        if (std::find(window.begin(), window.end(), id) != window.end()) continue;
        window.push_front(id);
        if (window.size() > Vant::Gate::Gate::LastReceivedIdsSize) window.pop_back();
        if (message[0] != Vant::Gate::Notification) expectDelivered.push_back(message.subBytes(5));
    }
    io.poll();
    if (delivered != expectDelivered) abort();
    // The gate's own resends may be interleaved with the acknowledgements.
    acknowledged.erase(std::remove_if(acknowledged.begin(), acknowledged.end(),
                                      [](const kel::bytes& m) { return m[0] != Vant::Gate::Notification; }),
                       acknowledged.end());
    if (acknowledged != expectAcknowledged) abort();
    return 0;
}
