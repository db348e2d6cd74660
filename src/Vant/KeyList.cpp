#include "Vant/KeyList.h"

#include <cctype>
#include <cerrno>
#include <cstring>
#include <fstream>

namespace Vant {

namespace {

std::string lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// The line without its comment and the blanks around what is left.
std::string meaningful(const std::string& line) {
    const std::string text = line.substr(0, line.find('#'));
    const auto first = text.find_first_not_of(" \t\r");
    if (first == std::string::npos) return std::string();
    return text.substr(first, text.find_last_not_of(" \t\r") + 1 - first);
}

}  // namespace

bool isHexKey(const std::string& text) {
    if (text.size() != 64) return false;
    for (char c : text) {
        if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
    }
    return true;
}

bool readKeyList(const std::string& path, const std::string& what, std::set<kel::bytes>& keys,
                 std::string& error) {
    std::ifstream file(path);
    if (!file) {
        error = "cannot read the " + what + " file " + path + ": " + std::strerror(errno);
        return false;
    }
    std::set<kel::bytes> read;
    unsigned number = 0;
    for (std::string line; std::getline(file, line);) {
        ++number;
        const std::string key = meaningful(line);
        if (key.empty()) continue;
        if (!isHexKey(key)) {
            error = "the " + what + " file " + path + ", line " + std::to_string(number) +
                    ", holds no key (64 hexadecimal digits, then an optional # comment): \"" + line + "\"";
            return false;
        }
        read.insert(kel::bytes::fromHex(lower(key)));
    }
    if (file.bad()) {
        error = "cannot read the " + what + " file " + path + ": " + std::strerror(errno);
        return false;
    }
    keys.swap(read);
    return true;
}

}  // namespace Vant
