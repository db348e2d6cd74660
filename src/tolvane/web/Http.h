// tolvane::web HTTP rules: what the dashboard's server answers to a request, decided
// from the request alone, with no I/O, so the connection code stays a thin shell and
// the rules can be fuzzed. Who may ask (the Host a request names, the token's
// cookie, the Origin of every request that changes something), where each path goes,
// the page's own files, the login, and whether an uploaded file looks like an STL
// model. Pure functions; any thread.
#pragma once

#include <boost/beast/http/message.hpp>
#include <boost/beast/http/string_body.hpp>

#include <cstdint>
#include <map>
#include <string>

namespace tolvane {
namespace web {

namespace http = boost::beast::http;

using Request = http::request<http::string_body>;
using Response = http::response<http::string_body>;
using RequestHeader = http::request_header<>;

// Largest request head and the largest body of anything but an upload.
const std::size_t MaxHeadBytes = 8192;
const std::size_t MaxSmallBody = 1024;
const std::uint64_t DefaultMaxUpload = 256ull * 1024 * 1024;

struct Access {
    // The token a browser must give once; "" lets anyone who reaches the server in
    // (which the command allows only on a loopback address).
    std::string token;
    std::uint64_t maxUpload = DefaultMaxUpload;
};

enum class Route {
    Refused,  // answer `status` and close
    Asset,    // one of the page's files
    State,    // GET /api/session: whether a token is needed and given
    Login,    // POST /api/login: the token in the body (at most MaxSmallBody bytes)
    Upload,   // POST /api/print?printer=P: an STL model in the body
    Socket,   // GET /ws upgraded to a WebSocket
};

struct Decision {
    Route route = Route::Refused;
    http::status status = http::status::ok;
    std::string reason;                        // for a refusal, said in its body
    std::map<std::string, std::string> query;  // the target's query parameters, decoded
};

// Decides from the request's head alone. Refusals: 400 (no or bad Host, a target
// that is not a plain path), 403 (a Host name other than an address or "localhost"
// without a token, which keeps out pages of other sites that rename themselves to
// this machine's address; a missing or foreign Origin on a request that changes
// something or opens the WebSocket), 401 (no valid token cookie when a token is
// set), 404, 405, 413 (an upload whose announced length exceeds the limit).
Decision decide(const RequestHeader& request, const Access& access);

// The answer for the routes that need no more than the whole request: Asset, State,
// Login (a right token gets the cookie: HttpOnly, SameSite=Strict), and refusals.
Response respond(const Request& request, const Decision& decision, const Access& access);
// A plain-text answer with the headers every answer of this server carries.
Response answer(const RequestHeader& request, http::status status, const std::string& body,
                const std::string& contentType = "text/plain; charset=utf-8");

// The cookie value that stands for `token` (a keyed hash, so the cookie is not the token).
std::string cookieValue(const std::string& token);

// Whether a file of `size` bytes whose first bytes are `head` and last bytes `tail`
// (up to 512 each) looks like an STL model: a binary one whose length matches its
// facet count, or an ASCII one from "solid" to "endsolid" with facets.
bool looksLikeStl(const std::string& head, const std::string& tail, std::uint64_t size);
// The same for a file on disk.
bool fileLooksLikeStl(const std::string& path);

}  // namespace web
}  // namespace tolvane
