# Writes OUTPUT: a C++ source that holds the dashboard page's files (PAGE/index.html,
# app.js, style.css) as bytes, and findAsset over them. Run at build time by
# src/tolvane/web/CMakeLists.txt whenever a page file changes.
set(assets "")
set(table "")
set(index 0)
foreach(entry "index.html|text/html" "app.js|text/javascript" "style.css|text/css")
  string(REPLACE "|" ";" parts "${entry}")
  list(GET parts 0 name)
  list(GET parts 1 type)
  file(READ "${PAGE}/${name}" hex HEX)
  string(LENGTH "${hex}" digits)
  math(EXPR size "${digits} / 2")
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
  string(APPEND assets "const unsigned char file${index}[] = {${bytes}};\n")
  string(APPEND table "    {\"/${name}\", \"${type}; charset=utf-8\", file${index}, ${size}},\n")
  math(EXPR index "${index} + 1")
endforeach()
file(WRITE "${OUTPUT}" "// Made from src/tolvane/web/page/ by EmbedPage.cmake at build time.
#include \"Assets.h\"

namespace tolvane {
namespace web {

namespace {

${assets}
const Asset assets[] = {
${table}};

}  // namespace

const Asset* findAsset(const std::string& path) {
    const std::string wanted = path == \"/\" ? std::string(\"/index.html\") : path;
    for (const Asset& asset : assets) {
        if (wanted == asset.path) return &asset;
    }
    return nullptr;
}

}  // namespace web
}  // namespace tolvane
")
