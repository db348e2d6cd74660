#include "Vant/Runtime/FileCache.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>

#include "Vant/Platform.h"
#include "Vant/Process.h"
#include "Vant/Log.h"

namespace Vant {
namespace Runtime {

namespace {

// Ids name files inside the cache folder only: letters and digits, as every digest
// is. Anything else ("", "../x", "a/b") names no cached file.
bool validId(const std::string& id) {
    if (id.empty()) return false;
    for (char c : id) {
        const bool alnum = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
        if (!alnum) return false;
    }
    return true;
}

bool isDigest(const std::string& text) {
    if (text.size() != 32) return false;
    for (char c : text) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    }
    return true;
}

// Copies `from` into the open, empty file `out`, flushing it to disk; closes `out`.
bool copyFile(const std::string& from, int out) {
    const int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0) {
        ::close(out);
        return false;
    }
    bool ok = true;
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(in, buffer, sizeof buffer);
        if (n == 0) break;
        if (n < 0) {
            if (errno == EINTR) continue;
            ok = false;
            break;
        }
        for (ssize_t done = 0; done < n && ok;) {
            const ssize_t w = ::write(out, buffer + done, static_cast<size_t>(n - done));
            if (w < 0 && errno == EINTR) continue;
            if (w <= 0)
                ok = false;
            else
                done += w;
        }
        if (!ok) break;
    }
    if (ok && (::fsync(out) != 0 || ::fchmod(out, 0644) != 0)) ok = false;
    ::close(in);
    if (::close(out) != 0) ok = false;
    return ok;
}

}  // namespace

bool readableFile(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat info;
    const bool regular = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
    ::close(fd);
    return regular;
}

std::string FileCache::defaultFolder() {
    return Platform::cacheFileFolder();
}

FileCache::FileCache(std::string folder) : folder(std::move(folder)) {}

FileCache::~FileCache() = default;

bool FileCache::hasFile(std::string id) {
    return validId(id) && readableFile(folder + id);
}

boost::optional<std::string> FileCache::getFile(std::string id) {
    if (!hasFile(id)) return boost::none;
    return folder + id;
}

boost::optional<std::string> FileCache::digestOf(const std::string& path) {
    Process md5sum({"md5sum", "--", path});
    if (!md5sum.started()) {
        Vant::LogLine() << "FileCache::digestOf() md5sum did not start: " << md5sum.error();
        return boost::none;
    }
    std::string line, rest;
    const bool got = md5sum.readLine(line);
    while (md5sum.readLine(rest)) {
    }
    const int status = md5sum.wait();
    // md5sum escapes a file name holding a backslash or newline and then starts its
    // line with a backslash; the digest follows it.
    if (!line.empty() && line[0] == '\\') line.erase(0, 1);
    if (!got || status != 0 || line.size() < 32 || !isDigest(line.substr(0, 32))) return boost::none;
    return line.substr(0, 32);
}

bool FileCache::moveIn(const std::string& from, const std::string& digest) {
    const std::string to = folder + digest;
    if (::rename(from.c_str(), to.c_str()) == 0) return true;
    if (errno != EXDEV) {
        Vant::LogLine() << "FileCache::takeFile() cannot move " << from << " : " << std::strerror(errno)
                 ;
        return false;
    }
    // Another file system: copy beside the target under a name of its own, then
    // rename, so that readers never see a half-written cached file.
    std::string partial = folder + "." + digest + ".XXXXXX";
    const int out = ::mkostemp(&partial[0], O_CLOEXEC);
    if (out < 0 || !copyFile(from, out) || ::rename(partial.c_str(), to.c_str()) != 0) {
        Vant::LogLine() << "FileCache::takeFile() cannot copy " << from << " into the cache";
        ::unlink(partial.c_str());
        return false;
    }
    ::unlink(from.c_str());
    return true;
}

bool FileCache::takeFile(std::string id, std::string url) {
    const auto digest = digestOf(url);
    if (!digest || *digest != id) return false;
    return moveIn(url, *digest);
}

boost::optional<std::string> FileCache::takeFile(std::string url) {
    const auto digest = digestOf(url);
    if (!digest || !moveIn(url, *digest)) return boost::none;
    return digest;
}

}  // namespace Runtime
}  // namespace Vant
