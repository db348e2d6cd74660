// Log macros: plain lines on standard output through printf. LOGD, LOGI and LOGV
// prefix the tag "TolvaneCore: ", LOGE and LOGW add an error or warning marker in
// front of it, LOGSIMPLE writes the text alone. Every line ends with a newline.
// logLine writes the components' own "Class::operation() ..." lines; any thread.
#pragma once

#include <cstdio>
#include <iostream>
#include <sstream>
#include <string>

#define TOLVANE_LOG_TAG "TolvaneCore"

#define LOGD(...) (std::printf("%s: ", TOLVANE_LOG_TAG), std::printf(__VA_ARGS__), std::printf("\n"))
#define LOGI(...) (std::printf("%s: ", TOLVANE_LOG_TAG), std::printf(__VA_ARGS__), std::printf("\n"))
#define LOGV(...) (std::printf("%s: ", TOLVANE_LOG_TAG), std::printf(__VA_ARGS__), std::printf("\n"))
#define LOGE(...) \
    (std::printf("*** Error:  %s: ", TOLVANE_LOG_TAG), std::printf(__VA_ARGS__), std::printf("\n"))
#define LOGW(...) \
    (std::printf("* Warning: %s: ", TOLVANE_LOG_TAG), std::printf(__VA_ARGS__), std::printf("\n"))
#define LOGSIMPLE(...) (std::printf(__VA_ARGS__), std::printf("\n"))

namespace Vant {

// One line on standard output, written in a single call so that the lines of
// concurrent threads never mix.
inline void logLine(const std::string& line) {
    std::cout << line + "\n" << std::flush;
}

// An object's address as the log lines show it ("0x61800001a490").
inline std::string addressOf(const void* object) {
    std::ostringstream text;
    text << object;
    return text.str();
}

}  // namespace Vant
