// The dashboard page's own files (page/ beside this header), built into the program
// so nothing is fetched or installed beside it. Read-only data; any thread.
#pragma once

#include <cstddef>
#include <string>

namespace tolvane {
namespace web {

struct Asset {
    const char* path;  // "/index.html", "/app.js", "/style.css"
    const char* type;  // its Content-Type
    const unsigned char* data;
    std::size_t size;
};

// The file served at `path` ("/" is "/index.html"), or null.
const Asset* findAsset(const std::string& path);

}  // namespace web
}  // namespace tolvane
