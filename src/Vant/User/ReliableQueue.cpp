#include "Vant/User/ReliableQueue.h"

#include <utility>

namespace Vant {
namespace User {

ReliableQueue::ReliableQueue(Vant::Gate::Gate& gate) : line(std::make_shared<Line>()) {
    line->gate = &gate;
}

ReliableQueue::~ReliableQueue() {
    std::lock_guard<std::mutex> lock(line->mutex);
    line->gate = nullptr;
    line->waiting.clear();
    line->busy = false;
}

void ReliableQueue::send(kel::bytes message, SentCallback onSent) {
    std::lock_guard<std::mutex> lock(line->mutex);
    if (line->gate == nullptr) return;
    line->waiting.push_back(Entry{std::move(message), std::move(onSent)});
    if (!line->busy) handFront(line);
}

std::size_t ReliableQueue::size() const {
    std::lock_guard<std::mutex> lock(line->mutex);
    return line->waiting.size();
}

void ReliableQueue::handFront(const std::shared_ptr<Line>& line) {
    line->busy = true;
    std::weak_ptr<Line> weak = line;
    line->gate->sendReliably(line->waiting.front().message, [weak](boost::system::error_code result) {
        auto self = weak.lock();
        if (!self) return;
        SentCallback done;
        {
            std::lock_guard<std::mutex> lock(self->mutex);
            if (self->gate == nullptr || self->waiting.empty()) return;
            done = std::move(self->waiting.front().onSent);
            self->waiting.pop_front();
            self->busy = false;
            if (!self->waiting.empty()) handFront(self);
        }
        if (done) done(result);
    });
}

}  // namespace User
}  // namespace Vant
