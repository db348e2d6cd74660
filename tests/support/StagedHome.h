// A temporary printer home laid out by scripts/stage-home, made once per test process
// and removed at its end. The first call sets TOLVANE_HOME (and TOLVANE_PYTHON=python3),
// which the platform layer reads once: call it before anything asks.
#pragma once

#include <string>

namespace testsupport {

const std::string& stagedHome();  // without a trailing slash
// The project's source folder (TOLVANE_SOURCE_DIR, else the one this build came from).
std::string sourceDir();
// A new empty folder under the system's temporary folder, removed at process exit.
std::string scratchFolder();
void writeFile(const std::string& path, const std::string& content);  // throws when it cannot
std::string slurp(const std::string& path);                           // "" when unreadable

}  // namespace testsupport
