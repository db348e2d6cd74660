// A temporary printer home laid out by scripts/stage-home (the stand-ins, data-temp/
// and data/), made once per test process and removed when it ends. The platform
// layer reads TOLVANE_HOME once, so the first call sets TOLVANE_HOME (and
// TOLVANE_PYTHON=python3) before anything asks it.
#pragma once

#include <string>

namespace testsupport {

// The staged home folder (without a trailing slash).
const std::string& stagedHome();

// The project's source folder (TOLVANE_SOURCE_DIR, else the one this build came from).
std::string sourceDir();

// A new empty folder under the system's temporary folder, removed at process exit.
std::string scratchFolder();

// Writes `content` to `path`; throws when it cannot.
void writeFile(const std::string& path, const std::string& content);
// The whole content of a file ("" when it cannot be read).
std::string slurp(const std::string& path);

}  // namespace testsupport
