#include "Http.h"

#include <sodium.h>

#include <boost/asio/ip/address.hpp>
#include <boost/beast/http/empty_body.hpp>
#include <boost/beast/websocket/rfc6455.hpp>

#include <cctype>
#include <fstream>

#include "Assets.h"
#include "kel/bytes.h"

namespace tolvane {
namespace web {

namespace {

const char* const CookieName = "tolvane";
const char* const Policy =
    "default-src 'self'; connect-src 'self'; img-src 'self' data:; style-src 'self'; script-src 'self'; "
    "frame-ancestors 'none'; base-uri 'none'; form-action 'none'";

std::string lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

std::string field(const RequestHeader& request, http::field name) {
    const auto found = request.find(name);
    return found == request.end() ? std::string() : std::string(found->value());
}

// The host part of a Host header ("127.0.0.1:8080", "[::1]:8080", "localhost"); ""
// when it does not read as one.
std::string hostName(const std::string& host) {
    if (host.empty()) return std::string();
    if (host[0] == '[') {
        const auto close = host.find(']');
        if (close == std::string::npos) return std::string();
        const std::string rest = host.substr(close + 1);
        if (!rest.empty() && rest[0] != ':') return std::string();
        return host.substr(1, close - 1);
    }
    const auto colon = host.find(':');
    if (colon != host.rfind(':')) return std::string();
    return host.substr(0, colon);
}

bool isAddress(const std::string& name) {
    boost::system::error_code notAnAddress;
    boost::asio::ip::make_address(name, notAnAddress);
    return !notAnAddress;
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Percent-decoding of a query word ('+' is a space); false on a broken escape.
bool decode(const std::string& text, std::string& out) {
    out.clear();
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '+') {
            out += ' ';
        } else if (text[i] == '%') {
            if (i + 2 >= text.size()) return false;
            const int high = hexValue(text[i + 1]), low = hexValue(text[i + 2]);
            if (high < 0 || low < 0) return false;
            out += static_cast<char>(high * 16 + low);
            i += 2;
        } else {
            out += text[i];
        }
    }
    return true;
}

bool parseQuery(const std::string& query, std::map<std::string, std::string>& parameters) {
    std::size_t at = 0;
    while (at < query.size()) {
        std::size_t end = query.find('&', at);
        if (end == std::string::npos) end = query.size();
        const std::string pair = query.substr(at, end - at);
        const auto equal = pair.find('=');
        std::string name, value;
        if (!decode(pair.substr(0, equal), name)) return false;
        if (equal != std::string::npos && !decode(pair.substr(equal + 1), value)) return false;
        if (!name.empty()) parameters[name] = value;
        at = end + 1;
    }
    return true;
}

// The value of the dashboard's cookie among the request's cookies, "" when absent.
std::string cookieOf(const RequestHeader& request) {
    const auto cookies = request.equal_range(http::field::cookie);
    for (auto header = cookies.first; header != cookies.second; ++header) {
        const std::string text(header->value());
        std::size_t at = 0;
        while (at < text.size()) {
            std::size_t end = text.find(';', at);
            if (end == std::string::npos) end = text.size();
            std::string pair = text.substr(at, end - at);
            const auto first = pair.find_first_not_of(' ');
            pair = first == std::string::npos ? std::string() : pair.substr(first);
            const auto equal = pair.find('=');
            if (equal != std::string::npos && pair.substr(0, equal) == CookieName)
                return pair.substr(equal + 1);
            at = end + 1;
        }
    }
    return std::string();
}

bool sameText(const std::string& a, const std::string& b) {
    return a.size() == b.size() && sodium_memcmp(a.data(), b.data(), a.size()) == 0;
}

bool authorized(const RequestHeader& request, const Access& access) {
    return access.token.empty() || sameText(cookieOf(request), cookieValue(access.token));
}

// A request that changes something must come from a page of this server: browsers
// name the page's origin on every such request.
bool sameOrigin(const RequestHeader& request) {
    const std::string origin = field(request, http::field::origin);
    return !origin.empty() && lower(origin) == "http://" + lower(field(request, http::field::host));
}

// Whether the body a request announces (Content-Length) fits `limit`; a body that
// comes in chunks is held to the limit as it arrives.
bool lengthWithin(const RequestHeader& request, std::uint64_t limit) {
    const std::string length = field(request, http::field::content_length);
    if (length.empty()) return true;
    if (length.size() > 18 || length.find_first_not_of("0123456789") != std::string::npos) return false;
    return std::stoull(length) <= limit;
}

Decision refuse(http::status status, const std::string& reason) {
    Decision decision;
    decision.route = Route::Refused;
    decision.status = status;
    decision.reason = reason;
    return decision;
}

}  // namespace

std::string cookieValue(const std::string& token) {
    static const std::string key = "tolvane web dashboard cookie";
    unsigned char hash[32];
    crypto_generichash(hash, sizeof hash, reinterpret_cast<const unsigned char*>(token.data()), token.size(),
                       reinterpret_cast<const unsigned char*>(key.data()), key.size());
    return kel::bytes(std::string(reinterpret_cast<const char*>(hash), sizeof hash)).toHex();
}

Decision decide(const RequestHeader& request, const Access& access) {
    const std::string host = field(request, http::field::host);
    const std::string name = hostName(host);
    if (name.empty()) return refuse(http::status::bad_request, "the request names no host");
    if (access.token.empty() && !isAddress(name) && lower(name) != "localhost")
        return refuse(http::status::forbidden, "open the dashboard by its address");

    const std::string target(request.target());
    if (target.empty() || target[0] != '/') return refuse(http::status::bad_request, "not a path");
    const auto mark = target.find('?');
    const std::string path = target.substr(0, mark);
    Decision decision;
    if (mark != std::string::npos && !parseQuery(target.substr(mark + 1), decision.query))
        return refuse(http::status::bad_request, "a broken query");

    const http::verb method = request.method();
    const bool reading = method == http::verb::get || method == http::verb::head;
    if (findAsset(path) != nullptr) {
        if (!reading) return refuse(http::status::method_not_allowed, "method not allowed");
        decision.route = Route::Asset;
        return decision;
    }
    if (path == "/api/session") {
        if (!reading) return refuse(http::status::method_not_allowed, "method not allowed");
        decision.route = Route::State;
        return decision;
    }
    if (path == "/api/login") {
        if (method != http::verb::post) return refuse(http::status::method_not_allowed, "method not allowed");
        if (!sameOrigin(request)) return refuse(http::status::forbidden, "not from this dashboard");
        if (!lengthWithin(request, MaxSmallBody)) return refuse(http::status::payload_too_large, "too long");
        decision.route = Route::Login;
        return decision;
    }
    if (path == "/api/print") {
        if (method != http::verb::post) return refuse(http::status::method_not_allowed, "method not allowed");
        if (!sameOrigin(request)) return refuse(http::status::forbidden, "not from this dashboard");
        if (!authorized(request, access)) return refuse(http::status::unauthorized, "the token is needed");
        if (decision.query["printer"].empty()) return refuse(http::status::bad_request, "which printer?");
        if (!lengthWithin(request, access.maxUpload))
            return refuse(http::status::payload_too_large, "the model is larger than the upload limit");
        decision.route = Route::Upload;
        return decision;
    }
    if (path == "/ws") {
        if (method != http::verb::get) return refuse(http::status::method_not_allowed, "method not allowed");
        if (!boost::beast::websocket::is_upgrade(request))
            return refuse(http::status::upgrade_required, "a WebSocket only");
        if (!sameOrigin(request)) return refuse(http::status::forbidden, "not from this dashboard");
        if (!authorized(request, access)) return refuse(http::status::unauthorized, "the token is needed");
        decision.route = Route::Socket;
        return decision;
    }
    return refuse(http::status::not_found, "not found");
}

Response answer(const RequestHeader& request, http::status status, const std::string& body,
                const std::string& contentType) {
    Response response(status, request.version());
    response.set(http::field::content_type, contentType);
    response.set(http::field::cache_control, "no-store");
    response.set("X-Content-Type-Options", "nosniff");
    response.set("X-Frame-Options", "DENY");
    response.set("Referrer-Policy", "no-referrer");
    response.set("Content-Security-Policy", Policy);
    response.keep_alive(http::request<http::empty_body>(request).keep_alive() &&
                        static_cast<unsigned>(status) < 400);
    response.body() = body;
    response.prepare_payload();
    return response;
}

Response respond(const Request& request, const Decision& decision, const Access& access) {
    switch (decision.route) {
        case Route::Asset: {
            const std::string target(request.target());
            const Asset* asset = findAsset(target.substr(0, target.find('?')));
            Response response =
                answer(request, http::status::ok,
                       std::string(reinterpret_cast<const char*>(asset->data), asset->size), asset->type);
            if (request.method() == http::verb::head) {
                response.body().clear();
                response.content_length(asset->size);
            }
            return response;
        }
        case Route::State: {
            const bool needed = !access.token.empty();
            return answer(request, http::status::ok,
                          std::string("{\"tokenNeeded\":") + (needed ? "true" : "false") +
                              ",\"authorized\":" + (authorized(request, access) ? "true" : "false") +
                              ",\"maxUpload\":" + std::to_string(access.maxUpload) + "}",
                          "application/json");
        }
        case Route::Login: {
            std::string given = request.body();
            while (!given.empty() && std::isspace(static_cast<unsigned char>(given.back()))) given.pop_back();
            if (!access.token.empty() && !sameText(cookieValue(given), cookieValue(access.token)))
                return answer(request, http::status::unauthorized, "wrong token\n");
            Response response = answer(request, http::status::no_content, "");
            if (!access.token.empty()) {
                response.set(http::field::set_cookie,
                             std::string(CookieName) + "=" + cookieValue(access.token) +
                                 "; Path=/; HttpOnly; SameSite=Strict; Max-Age=31536000");
            }
            return response;
        }
        default:
            return answer(request,
                          decision.status == http::status::ok ? http::status::bad_request : decision.status,
                          decision.reason + "\n");
    }
}

bool looksLikeStl(const std::string& head, const std::string& tail, std::uint64_t size) {
    if (size >= 84 && head.size() >= 84) {
        const auto byte = [&](std::size_t i) {
            return static_cast<std::uint64_t>(static_cast<unsigned char>(head[i]));
        };
        const std::uint64_t facets = byte(80) | byte(81) << 8 | byte(82) << 16 | byte(83) << 24;
        if (facets > 0 && size == 84 + 50 * facets) return true;
    }
    const auto first = head.find_first_not_of(" \t\r\n");
    if (first == std::string::npos || lower(head.substr(first, 5)) != "solid") return false;
    if (lower(head).find("facet") == std::string::npos) return false;
    return lower(tail).find("endsolid") != std::string::npos;
}

bool fileLooksLikeStl(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) return false;
    file.seekg(0, std::ios::end);
    const std::streamoff size = file.tellg();
    if (size <= 0) return false;
    const std::streamoff piece = std::min<std::streamoff>(512, size);
    std::string head(static_cast<std::size_t>(piece), '\0'), tail(static_cast<std::size_t>(piece), '\0');
    file.seekg(0);
    file.read(&head[0], piece);
    file.seekg(size - piece);
    file.read(&tail[0], piece);
    return file.good() && looksLikeStl(head, tail, static_cast<std::uint64_t>(size));
}

}  // namespace web
}  // namespace tolvane
