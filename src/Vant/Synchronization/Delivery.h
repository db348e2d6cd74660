// Delivery of an event to each receiver on its own: a receiver that throws is
// logged and the remaining receivers still hear the event. The synchronizers push
// their events from the peer synchronizer's worker thread and from the gate's pool
// threads, where an escaping exception would end the thread or leave a half-done
// sequence behind.
#pragma once

#include <exception>
#include <iostream>
#include <string>

#include "kel/signal.h"
#include "Vant/Log.h"

namespace Vant {
namespace Synchronization {

// Runs `call`; an exception it throws is logged under `where` and swallowed.
// Returns whether `call` completed.
template <typename Call>
bool guarded(const char* where, Call call) {
    try {
        call();
        return true;
    } catch (const std::exception& e) {
        Vant::LogLine() << where << " receiver failed : " << e.what();
    } catch (...) {
        Vant::LogLine() << where << " receiver failed with an unknown exception.";
    }
    return false;
}

// Same order as kel::signal::pusher: pushees (each of their handlers), then plain
// handlers, each receiver guarded separately.
template <typename... Args>
void deliverToEach(kel::signal::pusher<Args...>& pusher, const char* where, const Args&... args) {
    for (kel::signal::pushee<Args...>* p : pusher.pushees) {
        for (size_t i = 0; i < p->pushees.size(); ++i) {
            std::function<void(Args...)> handler = p->pushees[i];
            if (handler) guarded(where, [&] { handler(args...); });
        }
    }
    for (size_t i = 0; i < pusher.fpushees.size(); ++i) {
        std::function<void(Args...)> handler = pusher.fpushees[i];
        if (handler) guarded(where, [&] { handler(args...); });
    }
}

}  // namespace Synchronization
}  // namespace Vant
