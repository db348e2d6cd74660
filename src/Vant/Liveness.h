// Vant::Liveness: lets the handlers an object gives to the I/O service (or to another
// thread) find out whether the object still exists. The object holds one in a
// shared_ptr, each handler a copy; a handler runs its work under the guard's lock and
// only while the object lives, and the object's destructor calls end() first, which
// waits for a handler under way. Any thread. The lock is recursive: a handler may run
// another one of the same object inline (a dispatch on the strand it is on).
#pragma once

#include <memory>
#include <mutex>
#include <utility>

namespace Vant {

class Liveness {
public:
    // Runs `work` when the owner still lives, holding the lock while it runs; false
    // when the owner is gone (work not run).
    template <typename Work>
    static bool whileAlive(const std::shared_ptr<Liveness>& life, Work&& work) {
        std::lock_guard<std::recursive_mutex> lock(life->mutex);
        if (!life->alive) return false;
        std::forward<Work>(work)();
        return true;
    }

    // `handler` wrapped so that it runs only while the owner of `life` lives; for
    // handlers that capture the owner's `this`.
    template <typename Handler>
    static auto guard(const std::shared_ptr<Liveness>& life, Handler handler) {
        return [life, handler = std::move(handler)](auto&&... arguments) mutable {
            whileAlive(life, [&] { handler(std::forward<decltype(arguments)>(arguments)...); });
        };
    }

    // The owner is going: waits for a handler under way (unless it is the caller's own
    // thread); no handler runs its work after this.
    void end() {
        std::lock_guard<std::recursive_mutex> lock(mutex);
        alive = false;
    }

private:
    std::recursive_mutex mutex;  // held by a running handler and by end()
    bool alive = true;           // guarded by mutex
};

}  // namespace Vant
