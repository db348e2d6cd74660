#include "Vant/Log.h"

#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <mutex>

namespace Vant {

namespace {
std::mutex& outputLock() {
    static std::mutex lock;  // never destroyed before a thread that still logs
    return lock;
}
}  // namespace

void logLine(const std::string& line) {
    std::string whole;
    try {
        whole.reserve(line.size() + 1);
        whole.append(line).push_back('\n');
    } catch (...) {
        return;
    }
    std::lock_guard<std::mutex> hold(outputLock());
    const char* next = whole.data();
    std::size_t left = whole.size();
    while (left > 0) {
        const ssize_t written = ::write(STDOUT_FILENO, next, left);
        if (written < 0) {
            if (errno == EINTR) continue;
            return;
        }
        next += written;
        left -= static_cast<std::size_t>(written);
    }
}

std::string formatted(const char* format, ...) {
    char small[256];
    va_list arguments;
    va_start(arguments, format);
    const int needed = std::vsnprintf(small, sizeof small, format, arguments);
    va_end(arguments);
    if (needed < 0) return std::string();
    if (static_cast<std::size_t>(needed) < sizeof small) return std::string(small, static_cast<std::size_t>(needed));
    std::string text(static_cast<std::size_t>(needed) + 1, '\0');
    va_start(arguments, format);
    std::vsnprintf(&text[0], text.size(), format, arguments);
    va_end(arguments);
    text.resize(static_cast<std::size_t>(needed));
    return text;
}

}  // namespace Vant
