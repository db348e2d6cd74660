#include "Vant/Client/Identity.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "Vant/KeyList.h"
#include "kel/Sodium.h"

namespace Vant {
namespace Client {

namespace {

std::string systemError(const std::string& what, const std::string& path) {
    return what + " " + path + ": " + std::strerror(errno);
}

// Makes every missing folder of `folder`; the last one (the client's own) is 0700.
bool makeFolders(const std::string& folder, std::string& error) {
    for (std::string::size_type at = 1; at != std::string::npos;) {
        at = folder.find('/', at + 1);
        const std::string part = folder.substr(0, at);
        const mode_t mode = at == std::string::npos ? 0700 : 0755;
        if (::mkdir(part.c_str(), mode) != 0 && errno != EEXIST) {
            error = systemError("cannot make the folder", part);
            return false;
        }
    }
    return true;
}

// Writes a new key under a temporary name and links it into place, so a reader never
// sees a half-written file and a concurrent first run keeps whichever came first.
bool createKeyFile(const std::string& path, std::string& error) {
    const std::string folder = path.substr(0, path.rfind('/'));
    if (!folder.empty() && !makeFolders(folder, error)) return false;
    const std::string temporary = path + ".new-" + std::to_string(::getpid());
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
        error = systemError("cannot write the key file", temporary);
        return false;
    }
    const std::string text = kel::bytes(32).randomize().toHex() + "\n";
    const bool written =
        ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) && ::fsync(fd) == 0;
    ::close(fd);
    const bool linked = written && (::link(temporary.c_str(), path.c_str()) == 0 || errno == EEXIST);
    if (!linked) error = systemError("cannot write the key file", path);
    ::unlink(temporary.c_str());
    return linked;
}

}  // namespace

std::string configFolder() {
    const char* config = std::getenv("XDG_CONFIG_HOME");
    std::string folder;
    if (config != nullptr && config[0] == '/') {
        folder = config;
    } else {
        const char* home = std::getenv("HOME");
        folder = std::string(home != nullptr && home[0] != '\0' ? home : ".") + "/.config";
    }
    return folder + "/tolvane";
}

bool makeConfigFolder(std::string& error) {
    return makeFolders(configFolder(), error);
}

std::string defaultKeyPath() {
    return configFolder() + "/user.key";
}

Identity::~Identity() {
    if (lockFd >= 0) ::close(lockFd);
}

bool Identity::load(const std::string& path, std::string& error) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0 && errno == ENOENT) {
        if (!createKeyFile(path, error)) return false;
        fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    }
    if (fd < 0) {
        error = systemError("cannot read the key file", path);
        return false;
    }
    char buffer[129] = {0};
    const ssize_t n = ::read(fd, buffer, sizeof buffer - 1);
    std::string text(buffer, n > 0 ? static_cast<size_t>(n) : 0);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' '))
        text.pop_back();
    if (!isHexKey(text)) {
        ::close(fd);
        error = "the key file " + path + " does not hold a key (64 hexadecimal digits)";
        return false;
    }
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    stored = kel::bytes::fromHex(text);
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
        key = stored;
        lockFd = fd;
    } else {
        ::close(fd);
        key = kel::bytes(32).randomize();
    }
    return true;
}

kel::bytes Identity::publicKey() const {
    return kel::Sodium::publicKey(key);
}

kel::bytes Identity::storedPublicKey() const {
    return kel::Sodium::publicKey(stored);
}

}  // namespace Client
}  // namespace Vant
