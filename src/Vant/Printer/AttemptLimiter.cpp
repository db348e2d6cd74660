#include "Vant/Printer/AttemptLimiter.h"

#include <algorithm>

namespace Vant {
namespace Printer {

AttemptLimiter::AttemptLimiter(AttemptLimits limits) : limits(limits) {}

void AttemptLimiter::drain(Entry& entry, Time now) const {
    if (now <= entry.drained) return;
    const double forgiven =
        std::chrono::duration<double>(now - entry.drained) / std::chrono::duration<double>(limits.drainEvery);
    entry.failures = std::max(0.0, entry.failures - forgiven);
    entry.drained = now;
    if (entry.failures == 0) entry.refused = false;
}

bool AttemptLimiter::refusing(const Entry& entry) const {
    // One more failure would go beyond the burst: refused until a whole one has drained.
    return entry.failures + 1 > limits.failureBurst;
}

bool AttemptLimiter::makeRoom(Time now) {
    for (auto it = entries.begin(); it != entries.end();) {
        drain(it->second, now);
        if (it->second.pending == 0 && it->second.failures == 0) {
            it = entries.erase(it);
        } else {
            ++it;
        }
    }
    return entries.size() < limits.addresses;
}

AttemptLimiter::Admission AttemptLimiter::admit(const boost::asio::ip::address& address, Time now) {
    auto found = entries.find(address);
    if (found == entries.end()) {
        if (entries.size() >= limits.addresses && !makeRoom(now)) return Refused;
        found = entries.emplace(address, Entry()).first;
        found->second.drained = now;
    }
    Entry& entry = found->second;
    drain(entry, now);
    if (refusing(entry)) return Refused;
    if (entry.pending >= limits.pendingPerAddress || pendingTotal >= limits.pendingTotal) return Busy;
    ++entry.pending;
    ++pendingTotal;
    return Admitted;
}

bool AttemptLimiter::finished(const boost::asio::ip::address& address, bool failed, Time now) {
    auto found = entries.find(address);
    if (found == entries.end()) return false;
    Entry& entry = found->second;
    if (entry.pending > 0) {
        --entry.pending;
        --pendingTotal;
    }
    if (!failed) return false;
    drain(entry, now);
    entry.failures += 1;
    if (!refusing(entry) || entry.refused) return false;
    entry.refused = true;
    return true;
}

}  // namespace Printer
}  // namespace Vant
