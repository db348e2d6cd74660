// The dashboard's HTTP handling on arbitrary bytes, parsed as the server parses a
// request, decided and answered under an open and a token-guarded access, the body
// through the STL check: every request gets a status of 200 or more; nothing throws.
#include <boost/asio/buffer.hpp>
#include <boost/beast/http/parser.hpp>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "Http.h"

namespace http = boost::beast::http;
using namespace tolvane::web;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    http::request_parser<http::string_body> parser;
    parser.header_limit(static_cast<std::uint32_t>(MaxHeadBytes));
    parser.body_limit(64 * 1024);
    parser.eager(true);
    boost::asio::const_buffer input(data, size);
    boost::beast::error_code error;
    while (input.size() > 0 && !parser.is_done()) {
        const std::size_t used = parser.put(input, error);
        if (error || used == 0) break;
        input += used;
    }
    if (!parser.is_header_done() || (error && error != http::error::need_more)) return 0;

    Access open, guarded;
    guarded.token = "fuzzing-token";
    guarded.maxUpload = 4096;
    for (const Access& access : {open, guarded}) {
        const Decision decision = decide(parser.get().base(), access);
        const Response response = respond(parser.get(), decision, access);
        if (static_cast<unsigned>(response.result()) < 200) std::abort();
    }
    const std::string& body = parser.get().body();
    looksLikeStl(body.substr(0, 512), body.size() > 512 ? body.substr(body.size() - 512) : body, body.size());
    return 0;
}
