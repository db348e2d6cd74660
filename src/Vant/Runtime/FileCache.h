// Vant::Runtime::FileCache: the folder of model and G-code files kept under the MD5
// digest of their content (lower-case hexadecimal), so a file's id is its digest.
// Files enter only by being moved in after their digest has been computed, and are
// never removed. Holds no state of its own: any thread may call it (the runners and
// the completion handlers of downloads and slicing on the I/O threads).
#pragma once

#include <string>

#include <boost/optional.hpp>

namespace Vant {
namespace Runtime {

class FileCache {
public:
    // folder ends with '/'; the daemon's is the platform's cache folder.
    explicit FileCache(std::string folder = defaultFolder());
    virtual ~FileCache();

    // True when the id names a readable file of the cache.
    bool hasFile(std::string id);
    // The cached file's path, when hasFile(id).
    boost::optional<std::string> getFile(std::string id);
    // Moves the local file `url` in when its digest equals `id`; a file whose digest
    // differs stays where it is.
    bool takeFile(std::string id, std::string url);
    // Moves the local file `url` in under its digest; the digest, or nothing.
    boost::optional<std::string> takeFile(std::string url);

    // The lower-case hexadecimal MD5 digest of a file, from the platform's md5sum
    // (started without a shell); nothing when it cannot be computed.
    static boost::optional<std::string> digestOf(const std::string& path);

    static std::string defaultFolder();

private:
    bool moveIn(const std::string& from, const std::string& digest);

    std::string folder;
};

// True when the path names a regular file that can be opened for reading.
bool readableFile(const std::string& path);

}  // namespace Runtime
}  // namespace Vant
