// The daemon's one way to log: every line, whoever writes it, reaches standard output
// through logLine in a single write, so the lines of concurrent threads never mix.
// LOGD, LOGI and LOGV prefix the tag "TolvaneCore: ", LOGE and LOGW add an error or
// warning marker in front of it, LOGSIMPLE writes the text alone (all printf formats).
// LogLine gathers one line with << and writes it when it goes. Any thread.
#pragma once

#include <cstddef>
#include <sstream>
#include <string>

#define TOLVANE_LOG_TAG "TolvaneCore"

#define LOGD(...) ::Vant::logLine(TOLVANE_LOG_TAG ": " + ::Vant::formatted(__VA_ARGS__))
#define LOGI(...) ::Vant::logLine(TOLVANE_LOG_TAG ": " + ::Vant::formatted(__VA_ARGS__))
#define LOGV(...) ::Vant::logLine(TOLVANE_LOG_TAG ": " + ::Vant::formatted(__VA_ARGS__))
#define LOGE(...) ::Vant::logLine("*** Error:  " TOLVANE_LOG_TAG ": " + ::Vant::formatted(__VA_ARGS__))
#define LOGW(...) ::Vant::logLine("* Warning: " TOLVANE_LOG_TAG ": " + ::Vant::formatted(__VA_ARGS__))
#define LOGSIMPLE(...) ::Vant::logLine(::Vant::formatted(__VA_ARGS__))

namespace Vant {

// `line` and a newline on standard output, whole: one writev(2) under a process-wide
// lock (a line longer than a pipe's atomic size may take several writes; no other
// line comes between them). A failing output drops the line; logging never throws.
void logLine(const std::string& line);
// The same for the `length` characters at `text` (a newline among them is written as it is).
void logLine(const char* text, std::size_t length);

// The text printf would write for `format` and its arguments.
std::string formatted(const char* format, ...) __attribute__((format(printf, 1, 2)));

// One line gathered as an ostream would print it, logged when the object goes:
// LogLine() << "Layerer::layer() Gcode total count = " << count;
class LogLine {
public:
    LogLine() = default;
    LogLine(const LogLine&) = delete;
    LogLine& operator=(const LogLine&) = delete;
    ~LogLine() { logLine(text.str()); }
    template <typename T>
    LogLine& operator<<(const T& value) {
        text << value;
        return *this;
    }

private:
    std::ostringstream text;
};

// An object's address as the log lines show it ("0x61800001a490").
inline std::string addressOf(const void* object) {
    std::ostringstream text;
    text << object;
    return text.str();
}

}  // namespace Vant
