#include "support/StagedHome.h"

#include <stdlib.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <mutex>
#include <stdexcept>
#include <vector>

#include "support/ChildProcess.h"

namespace testsupport {

namespace {

std::mutex foldersMutex;  // guards folders; tests may make scratch folders from any thread
std::vector<std::string> folders;

void removeFolders() {
    std::lock_guard<std::mutex> lock(foldersMutex);
    for (const auto& folder : folders)
        ChildProcess({"rm", "-rf", "--", folder}).wait(std::chrono::seconds(30));
}

}  // namespace

std::string sourceDir() {
    const char* dir = std::getenv("TOLVANE_SOURCE_DIR");
    return dir != nullptr && dir[0] != '\0' ? dir : TOLVANE_SOURCE_DIR_DEFAULT;
}

std::string scratchFolder() {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern =
        std::string(tmp != nullptr && tmp[0] != '\0' ? tmp : "/tmp") + "/tolvane-test-XXXXXX";
    if (mkdtemp(&pattern[0]) == nullptr) throw std::runtime_error("mkdtemp failed");
    std::lock_guard<std::mutex> lock(foldersMutex);
    if (folders.empty()) std::atexit(removeFolders);
    folders.push_back(pattern);
    return pattern;
}

const std::string& stagedHome() {
    static const std::string home = [] {
        const std::string folder = scratchFolder();
        ChildProcess stage({sourceDir() + "/scripts/stage-home", folder});
        const int status = stage.wait(std::chrono::seconds(30));
        if (status != 0)
            throw std::runtime_error("stage-home failed (" + std::to_string(status) + "): " + stage.err());
        setenv("TOLVANE_HOME", folder.c_str(), 1);
        setenv("TOLVANE_PYTHON", "python3", 1);
        return folder;
    }();
    return home;
}

void writeFile(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary);
    out << content;
    if (!out) throw std::runtime_error("cannot write " + path);
}

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace testsupport
