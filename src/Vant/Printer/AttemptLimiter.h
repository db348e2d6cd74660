// Vant::Printer::AttemptLimiter: how much of the encrypted port one address may use.
// An address gets a few handshakes at a time and a burst of failed ones (a refused
// key, a broken, truncated or abandoned handshake); beyond that its connections are
// closed as they are accepted, before any cryptography, until its failures have
// drained at one per `drainEvery`. A flood from one address thus costs an accept and
// a close per connection. Bookkeeping only: the caller passes the time and
// serialises the calls (the trusted acceptor's mutex).
#pragma once

#include <chrono>
#include <cstddef>
#include <map>

#include <boost/asio/ip/address.hpp>

namespace Vant {
namespace Printer {

struct AttemptLimits {
    unsigned pendingPerAddress = 4;              // handshakes under way from one address
    unsigned pendingTotal = 32;                  // from all addresses together
    unsigned failureBurst = 8;                   // failures an address may have before it is refused
    std::chrono::milliseconds drainEvery{1000};  // one failure forgiven this often
    std::size_t addresses = 256;                 // addresses remembered at most
};

class AttemptLimiter {
public:
    typedef std::chrono::steady_clock::time_point Time;

    enum Admission {
        Admitted,  // run the handshake, then tell finished()
        Busy,      // too many handshakes under way (from it, or from everyone)
        Refused,   // too many failures lately
    };

    explicit AttemptLimiter(AttemptLimits limits = AttemptLimits());

    Admission admit(const boost::asio::ip::address& address, Time now);
    // The handshake of an admitted connection has ended; a refused key counts as a
    // failure. True when this failure makes the address refused, once until its
    // failures have drained away completely (so a flood is logged once).
    bool finished(const boost::asio::ip::address& address, bool failed, Time now);

    std::size_t addressCount() const { return entries.size(); }

private:
    struct Entry {
        unsigned pending = 0;
        double failures = 0;
        Time drained;          // when failures was last brought up to date
        bool refused = false;  // reported refused since failures were last 0
    };

    void drain(Entry& entry, Time now) const;
    bool refusing(const Entry& entry) const;
    // Makes room for one more address: forgets those with nothing under way and
    // nothing left to drain. False when none could go.
    bool makeRoom(Time now);

    const AttemptLimits limits;
    std::map<boost::asio::ip::address, Entry> entries;
    unsigned pendingTotal = 0;
};

}  // namespace Printer
}  // namespace Vant
