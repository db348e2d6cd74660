// kel::signal: small synchronous typed event channels that wire components
// together. A pusher delivers an event to its connected pushees, then to its plain
// handlers, on the caller's thread. A puller asks a connected pullee for a value.
// No locking: the owning component serialises all use of one channel, and nothing
// is ever disconnected (a pushee must outlive every pusher connected to it).
#pragma once

#include <functional>
#include <vector>

namespace kel {
namespace signal {

template <typename... Args>
class pushee {
public:
    // Adds a handler; earlier handlers stay.
    pushee& operator=(std::function<void(Args...)> f) {
        pushees.push_back(std::move(f));
        return *this;
    }

    void operator()(Args... args) {
        for (auto& handler : pushees) {
            if (handler) handler(args...);
        }
    }

    explicit operator bool() const {
        for (const auto& handler : pushees) {
            if (handler) return true;
        }
        return false;
    }

    std::vector<std::function<void(Args...)>> pushees;
};

template <typename... Args>
class pusher {
public:
    pusher& operator>>(pushee<Args...>& p) {
        pushees.push_back(&p);
        return *this;
    }

    pusher& operator>>(std::function<void(Args...)> f) {
        fpushees.push_back(std::move(f));
        return *this;
    }

    // Pushees first, in connection order, then plain handlers; each handler gets
    // its own copy of the arguments.
    void operator()(Args... args) {
        for (pushee<Args...>* p : pushees) {
            if (*p) (*p)(args...);
        }
        for (size_t i = 0; i < fpushees.size(); ++i) {
            std::function<void(Args...)> handler = fpushees[i];
            if (handler) handler(args...);
        }
    }

    explicit operator bool() const {
        for (const pushee<Args...>* p : pushees) {
            if (*p) return true;
        }
        for (const auto& handler : fpushees) {
            if (handler) return true;
        }
        return false;
    }

    std::vector<pushee<Args...>*> pushees;
    std::vector<std::function<void(Args...)>> fpushees;
};

template <typename Signature>
class pullee;
template <typename Signature>
class puller;

template <typename R>
class pullee<R()> {
public:
    pullee& operator=(std::function<R()> f) {
        _pullee = std::move(f);
        return *this;
    }
    R operator()() { return _pullee(); }

    std::function<R()> _pullee;
};

template <typename R>
class puller<R()> {
public:
    puller& operator<<(pullee<R()>& p) {
        _pullee = &p;
        return *this;
    }
    R operator()() { return (*_pullee)(); }

    pullee<R()>* _pullee = nullptr;
};

}  // namespace signal
}  // namespace kel
