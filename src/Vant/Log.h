// Log macros: plain lines on standard output through printf. LOGD, LOGI and LOGV
// prefix the tag "TolvaneCore: ", LOGE and LOGW add an error or warning marker in
// front of it, LOGSIMPLE writes the text alone. Every line ends with a newline.
#pragma once

#include <cstdio>

#define TOLVANE_LOG_TAG "TolvaneCore"

#define LOGD(...) (std::printf("%s: ", TOLVANE_LOG_TAG), std::printf(__VA_ARGS__), std::printf("\n"))
#define LOGI(...) (std::printf("%s: ", TOLVANE_LOG_TAG), std::printf(__VA_ARGS__), std::printf("\n"))
#define LOGV(...) (std::printf("%s: ", TOLVANE_LOG_TAG), std::printf(__VA_ARGS__), std::printf("\n"))
#define LOGE(...) \
    (std::printf("*** Error:  %s: ", TOLVANE_LOG_TAG), std::printf(__VA_ARGS__), std::printf("\n"))
#define LOGW(...) \
    (std::printf("* Warning: %s: ", TOLVANE_LOG_TAG), std::printf(__VA_ARGS__), std::printf("\n"))
#define LOGSIMPLE(...) (std::printf(__VA_ARGS__), std::printf("\n"))
