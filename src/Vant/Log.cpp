#include "Vant/Log.h"

#include <sys/uio.h>
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
    logLine(line.data(), line.size());
}

void logLine(const char* text, std::size_t length) {
    // The text and its newline leave in one writev: no copy of the line is made.
    char newline = '\n';
    iovec parts[2] = {{const_cast<char*>(text), length}, {&newline, 1}};
    iovec* next = parts;
    int left = 2;
    std::lock_guard<std::mutex> hold(outputLock());
    while (left > 0) {
        const ssize_t written = ::writev(STDOUT_FILENO, next, left);
        if (written < 0) {
            if (errno == EINTR) continue;
            return;
        }
        // A partial write (a line longer than a pipe holds): go on where it stopped.
        std::size_t done = static_cast<std::size_t>(written);
        while (left > 0 && done >= next->iov_len) {
            done -= next->iov_len;
            ++next;
            --left;
        }
        if (left > 0) {
            next->iov_base = static_cast<char*>(next->iov_base) + done;
            next->iov_len -= done;
        }
    }
}

std::string formatted(const char* format, ...) {
    char small[256];
    va_list arguments;
    va_start(arguments, format);
    const int needed = std::vsnprintf(small, sizeof small, format, arguments);
    va_end(arguments);
    if (needed < 0) return std::string();
    if (static_cast<std::size_t>(needed) < sizeof small)
        return std::string(small, static_cast<std::size_t>(needed));
    std::string text(static_cast<std::size_t>(needed) + 1, '\0');
    va_start(arguments, format);
    std::vsnprintf(&text[0], text.size(), format, arguments);
    va_end(arguments);
    text.resize(static_cast<std::size_t>(needed));
    return text;
}

}  // namespace Vant
