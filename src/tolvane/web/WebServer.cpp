#include "WebServer.h"

#include <dirent.h>
#include <unistd.h>

#include <boost/asio/bind_executor.hpp>
#include <boost/asio/dispatch.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/optional.hpp>

#include <cstdlib>
#include <deque>
#include <future>
#include <mutex>
#include <set>

#include "Dashboard.h"
#include "Vant/Log.h"
#include "kel/var.h"

namespace tolvane {
namespace web {

namespace beast = boost::beast;
namespace websocket = beast::websocket;
namespace net = boost::asio;
using tcp = net::ip::tcp;

namespace {

const std::chrono::seconds IdleLimit(30);
const std::size_t MaxOutbox = 256;
const std::size_t MaxCommand = 64 * 1024;
const std::size_t MaxWrongTokens = 10;

std::string uploadsFolder(const std::string& parent) {
    std::string base = parent;
    if (base.empty()) {
        const char* tmp = std::getenv("TMPDIR");
        base = tmp != nullptr && tmp[0] == '/' ? tmp : "/tmp";
    }
    std::string pattern = base + "/tolvane-web-XXXXXX";
    if (::mkdtemp(&pattern[0]) == nullptr)
        throw std::runtime_error("cannot make a folder for uploads in " + base);
    return pattern;
}

void removeFolder(const std::string& folder) {
    if (DIR* dir = ::opendir(folder.c_str())) {
        while (const dirent* entry = ::readdir(dir)) {
            const std::string name = entry->d_name;
            if (name != "." && name != "..") ::unlink((folder + "/" + name).c_str());
        }
        ::closedir(dir);
    }
    ::rmdir(folder.c_str());
}

// A file name for people: the last part of what the page says, without control characters.
std::string displayName(const std::string& given) {
    std::string name =
        given.substr(given.find_last_of("/\\") == std::string::npos ? 0 : given.find_last_of("/\\") + 1);
    std::string clean;
    for (char c : name) {
        if (static_cast<unsigned char>(c) >= 0x20 && c != 0x7f) clean += c;
    }
    if (clean.size() > 120) clean.resize(120);
    return clean.empty() ? std::string("model.stl") : clean;
}

}  // namespace

class SocketConnection;

struct WebServer::Core : std::enable_shared_from_this<WebServer::Core> {
    Core(Vant::Client::Session& session, WebSettings settings)
        : session(session),
          settings(std::move(settings)),
          io(session.io()),
          strand(net::make_strand(session.io())),
          timer(strand),
          acceptor(session.io()),
          uploads(uploadsFolder(this->settings.uploadsIn)),
          dashboard(new Dashboard(session, this->settings.printer)) {}

    void accept();
    void tick();
    void refresh();
    void join(const std::shared_ptr<SocketConnection>& socket);
    void leave(const std::shared_ptr<SocketConnection>& socket);
    void command(const std::shared_ptr<SocketConnection>& socket, const std::string& text);
    void shutDown();
    std::string newUploadPath() {
        return uploads + "/upload-" + kel::var::randomHex(8).stringValue() + ".stl";
    }

    Vant::Client::Session& session;
    const WebSettings settings;
    net::io_context& io;
    // Runs the dashboard, the timer and the set of open WebSockets, one handler at a time.
    net::strand<net::io_context::executor_type> strand;
    net::steady_timer timer;
    // Guards acceptor and acceptorStopped: accept completions on the pool against stop().
    std::mutex acceptorMutex;
    tcp::acceptor acceptor;
    bool acceptorStopped = false;
    const std::string uploads;
    // Strand only: the dashboard (null once stopped), the open WebSockets, what the
    // timer last saw.
    std::unique_ptr<Dashboard> dashboard;
    std::set<std::shared_ptr<SocketConnection>> sockets;
    unsigned long changesSeen = ~0ul;
    std::chrono::steady_clock::time_point lastRefresh;
    tcp::endpoint listening;  // set before the first accept

    // Wrong tokens: at most MaxWrongTokens a minute, then every login waits for the
    // minute to pass, so the token cannot be guessed at the speed of the network.
    bool loginAllowed() {
        std::lock_guard<std::mutex> lock(loginMutex);
        const auto now = std::chrono::steady_clock::now();
        while (!wrongTokens.empty() && now - wrongTokens.front() > std::chrono::minutes(1)) wrongTokens.pop_front();
        return wrongTokens.size() < MaxWrongTokens;
    }
    void loginFailed() {
        std::lock_guard<std::mutex> lock(loginMutex);
        wrongTokens.push_back(std::chrono::steady_clock::now());
    }
    // Guards wrongTokens: logins on every connection's strand.
    std::mutex loginMutex;
    std::deque<std::chrono::steady_clock::time_point> wrongTokens;
};

// One WebSocket of a page. Its own handlers run on its strand; the server's strand
// hands it messages through send().
class SocketConnection : public std::enable_shared_from_this<SocketConnection> {
public:
    SocketConnection(tcp::socket&& socket, std::shared_ptr<WebServer::Core> core)
        : ws(std::move(socket)), core(std::move(core)) {}

    void accept(http::request<http::empty_body> upgrade) {
        request = std::move(upgrade);
        ws.set_option(websocket::stream_base::timeout::suggested(beast::role_type::server));
        ws.read_message_max(MaxCommand);
        ws.async_accept(request, beast::bind_front_handler(&SocketConnection::accepted, shared_from_this()));
    }

    // Any thread: queues the message; a page too far behind is closed instead.
    void send(std::shared_ptr<const std::string> message) {
        net::post(ws.get_executor(), [self = shared_from_this(), message]() {
            if (!self->open) return;
            if (self->outbox.size() >= MaxOutbox) {
                Vant::logLine("WebServer::send() a page lags too far behind; closing its WebSocket");
                self->closeNow();
                return;
            }
            self->outbox.push_back(message);
            if (self->outbox.size() == 1) self->writeNext();
        });
    }

    void close() {
        net::post(ws.get_executor(), [self = shared_from_this()]() { self->closeNow(); });
    }

private:
    void accepted(beast::error_code error) {
        if (error) return;
        open = true;
        net::post(core->strand, [core = core, self = shared_from_this()]() { core->join(self); });
        read();
    }

    void read() {
        ws.async_read(buffer, beast::bind_front_handler(&SocketConnection::received, shared_from_this()));
    }

    void received(beast::error_code error, std::size_t) {
        if (error) {
            closeNow();
            net::post(core->strand, [core = core, self = shared_from_this()]() { core->leave(self); });
            return;
        }
        std::string text = beast::buffers_to_string(buffer.data());
        buffer.consume(buffer.size());
        net::post(core->strand, [core = core, self = shared_from_this(), text = std::move(text)]() {
            core->command(self, text);
        });
        read();
    }

    void writeNext() {
        writing = true;
        ws.text(true);
        ws.async_write(net::buffer(*outbox.front()),
                       beast::bind_front_handler(&SocketConnection::written, shared_from_this()));
    }

    void written(beast::error_code error, std::size_t) {
        writing = false;
        outbox.pop_front();  // the message just written: the queue is never emptied under a write
        if (error || !open) {
            closeNow();
            return;
        }
        if (!outbox.empty()) writeNext();
    }

    void closeNow() {
        open = false;
        // A write under way still reads the front message; it goes when the write ends.
        if (!writing) outbox.clear();
        beast::get_lowest_layer(ws).close();
    }

    websocket::stream<beast::tcp_stream> ws;
    http::request<http::empty_body> request;
    beast::flat_buffer buffer;
    std::deque<std::shared_ptr<const std::string>> outbox;
    bool open = false;
    bool writing = false;  // an async_write of outbox.front() is under way
    std::shared_ptr<WebServer::Core> core;
};

// One HTTP connection: requests one after the other until a refusal, an upgrade, an
// error or 30 s without a request.
class HttpConnection : public std::enable_shared_from_this<HttpConnection> {
public:
    HttpConnection(tcp::socket&& socket, std::shared_ptr<WebServer::Core> core)
        : stream(std::move(socket)), core(std::move(core)) {}

    void start() {
        net::dispatch(stream.get_executor(),
                      beast::bind_front_handler(&HttpConnection::readHead, shared_from_this()));
    }

private:
    void readHead() {
        head.emplace();
        head->header_limit(static_cast<std::uint32_t>(MaxHeadBytes));
        stream.expires_after(IdleLimit);
        http::async_read_header(stream, buffer, *head,
                                beast::bind_front_handler(&HttpConnection::headRead, shared_from_this()));
    }

    void headRead(beast::error_code error, std::size_t) {
        if (error == http::error::end_of_stream || error == beast::error::timeout ||
            error == net::error::operation_aborted || error == net::error::connection_reset) {
            close();
            return;
        }
        if (error) {
            const bool tooLong = error == http::error::header_limit;
            send(answer(RequestHeader(),
                        tooLong ? http::status::request_header_fields_too_large : http::status::bad_request,
                        tooLong ? "the request head is too long\n" : "a broken request\n"));
            return;
        }
        const RequestHeader& header = head->get().base();
        decision = decide(header, core->settings.access);
        switch (decision.route) {
            case Route::Asset:
            case Route::State:
                if (!head->is_done()) {
                    send(answer(header, http::status::bad_request, "a body where none belongs\n"));
                    return;
                }
                send(respond(Request(header), decision, core->settings.access));
                return;
            case Route::Login:
                small.emplace(std::move(*head));
                small->body_limit(MaxSmallBody);
                http::async_read(stream, buffer, *small,
                                 beast::bind_front_handler(&HttpConnection::loginRead, shared_from_this()));
                return;
            case Route::Upload:
                startUpload();
                return;
            case Route::Socket:
                stream.expires_never();
                std::make_shared<SocketConnection>(stream.release_socket(), core)->accept(head->release());
                return;
            case Route::Refused:
                send(respond(Request(header), decision, core->settings.access));
                return;
        }
    }

    void loginRead(beast::error_code error, std::size_t) {
        const RequestHeader& header = small->get().base();
        if (error == http::error::body_limit) {
            send(answer(header, http::status::payload_too_large, "too long\n"));
        } else if (error) {
            close();
        } else if (!core->loginAllowed()) {
            send(answer(header, http::status::too_many_requests, "too many wrong tokens; try again in a minute\n"));
        } else {
            Response response = respond(small->get(), decision, core->settings.access);
            if (response.result() == http::status::unauthorized) core->loginFailed();
            send(std::move(response));
        }
    }

    void startUpload() {
        uploadPath = core->newUploadPath();
        upload.emplace(std::move(*head));
        upload->body_limit(core->settings.access.maxUpload);
        beast::error_code error;
        upload->get().body().open(uploadPath.c_str(), beast::file_mode::write_new, error);
        if (error) {
            Vant::logLine("WebServer::startUpload() cannot write " + uploadPath + ": " + error.message());
            uploadPath.clear();
            send(answer(upload->get().base(), http::status::insufficient_storage, "cannot keep the model\n"));
            return;
        }
        readUpload();
    }

    // The body in pieces, each within IdleLimit: a slow upload goes on, a stalled one ends.
    void readUpload() {
        stream.expires_after(IdleLimit);
        http::async_read_some(stream, buffer, *upload,
                              beast::bind_front_handler(&HttpConnection::uploadRead, shared_from_this()));
    }

    void uploadRead(beast::error_code error, std::size_t) {
        const RequestHeader header = upload->get().base();
        if (!error && !upload->is_done()) {
            readUpload();
            return;
        }
        beast::error_code ignoredCloseError;  // the file goes either way on failure
        upload->get().body().file().close(ignoredCloseError);
        if (error) {
            dropUpload();
            if (error == http::error::body_limit) {
                send(answer(header, http::status::payload_too_large,
                            "the model is larger than the upload limit\n"));
            } else {
                close();
            }
            return;
        }
        if (!fileLooksLikeStl(uploadPath)) {
            dropUpload();
            send(answer(header, http::status::unsupported_media_type, "that is not an STL model\n"));
            return;
        }
        std::map<std::string, kel::var> variables;
        const auto layer = decision.query.find("layerHeight");
        if (layer != decision.query.end()) {
            char* end = nullptr;
            const double height = std::strtod(layer->second.c_str(), &end);
            if (end == layer->second.c_str() || *end != '\0' || !(height >= 0.05 && height <= 1.0)) {
                dropUpload();
                send(answer(header, http::status::bad_request, "a layer height is 0.05 to 1 mm\n"));
                return;
            }
            variables["layerHeight"] = height;
        }
        const std::string printer = decision.query["printer"];
        const std::string name = displayName(decision.query["name"]);
        const std::string file = uploadPath;
        uploadPath.clear();  // the dashboard's from here on
        net::post(core->strand, [self = shared_from_this(), printer, name, file, variables, header]() {
            std::string error, task;
            bool notFound = false;
            if (self->core->dashboard) {
                task = self->core->dashboard->print(printer, file, name, variables, error, notFound);
                self->core->refresh();
            } else {
                ::unlink(file.c_str());
                error = "the dashboard is stopping";
            }
            Response response =
                !task.empty()
                    ? answer(header, http::status::ok, "{\"task\":\"" + task + "\"}", "application/json")
                    : answer(header, notFound ? http::status::not_found : http::status::conflict,
                             error + "\n");
            net::dispatch(self->stream.get_executor(), [self, response = std::move(response)]() mutable {
                self->send(std::move(response));
            });
        });
    }

    void dropUpload() {
        if (!uploadPath.empty()) ::unlink(uploadPath.c_str());
        uploadPath.clear();
    }

    void send(Response response) {
        auto message = std::make_shared<Response>(std::move(response));
        stream.expires_after(IdleLimit);
        http::async_write(stream, *message,
                          [self = shared_from_this(), message](beast::error_code error, std::size_t) {
                              if (error || !message->keep_alive()) {
                                  self->close();
                                  return;
                              }
                              self->readHead();
                          });
    }

    void close() {
        dropUpload();
        beast::error_code ignoredCloseError;  // the connection ends either way
        stream.socket().shutdown(tcp::socket::shutdown_both, ignoredCloseError);
        stream.close();
    }

    beast::tcp_stream stream;
    beast::flat_buffer buffer;
    boost::optional<http::request_parser<http::empty_body>> head;
    boost::optional<http::request_parser<http::string_body>> small;
    boost::optional<http::request_parser<http::file_body>> upload;
    std::string uploadPath;  // a file of an upload in progress, deleted unless handed on
    Decision decision;
    std::shared_ptr<WebServer::Core> core;
};

void WebServer::Core::accept() {
    std::lock_guard<std::mutex> lock(acceptorMutex);
    if (acceptorStopped) return;
    acceptor.async_accept(
        net::make_strand(io), [self = shared_from_this()](beast::error_code error, tcp::socket socket) {
            if (error == net::error::operation_aborted) return;
            if (!error) {
                std::make_shared<HttpConnection>(std::move(socket), self)->start();
                self->accept();
                return;
            }
            // Out of descriptors or buffers: transient; wait a little instead of spinning.
            Vant::logLine("WebServer::accept() " + error.message());
            auto pause = std::make_shared<net::steady_timer>(self->io, std::chrono::milliseconds(100));
            pause->async_wait([self, pause](beast::error_code) { self->accept(); });
        });
}

void WebServer::Core::tick() {
    if (!dashboard) return;
    const auto now = std::chrono::steady_clock::now();
    const unsigned long changes = session.changes();
    if (changes != changesSeen || now - lastRefresh >= settings.fullRefresh) {
        changesSeen = changes;
        refresh();
    }
    timer.expires_after(settings.tick);
    timer.async_wait([self = shared_from_this()](beast::error_code error) {
        if (error != net::error::operation_aborted) self->tick();
    });
}

void WebServer::Core::refresh() {
    if (!dashboard) return;
    lastRefresh = std::chrono::steady_clock::now();
    const std::vector<kel::var> changed = dashboard->refresh(lastRefresh);
    if (changed.empty() || sockets.empty()) return;
    kel::var message;
    message["type"] = "cards";
    kel::var cards = kel::var::fromJsonString("[]");
    for (const kel::var& card : changed) cards.add(card);
    message["cards"] = cards;
    const auto text = std::make_shared<const std::string>(message.toJsonString());
    for (const auto& socket : sockets) socket->send(text);
}

void WebServer::Core::join(const std::shared_ptr<SocketConnection>& socket) {
    if (!dashboard) {
        socket->close();
        return;
    }
    sockets.insert(socket);
    refresh();
    kel::var message;
    message["type"] = "cards";
    message["full"] = true;
    message["cards"] = dashboard->cards();
    socket->send(std::make_shared<const std::string>(message.toJsonString()));
}

void WebServer::Core::leave(const std::shared_ptr<SocketConnection>& socket) {
    sockets.erase(socket);
}

void WebServer::Core::command(const std::shared_ptr<SocketConnection>& socket, const std::string& text) {
    kel::var reply;
    reply["type"] = "result";
    std::string error = "the dashboard is stopping";
    try {
        const kel::var command = kel::var::fromJsonString(text);
        if (command.isMap() && command.has("id") && command["id"].isInteger()) reply["id"] = command["id"];
        if (dashboard) error = dashboard->command(command);
    } catch (const std::exception&) {
        error = "not a command";
    }
    if (!error.empty()) reply["error"] = error;
    socket->send(std::make_shared<const std::string>(reply.toJsonString()));
    if (error.empty()) refresh();
}

void WebServer::Core::shutDown() {
    beast::error_code ignoredCancelError;  // the timer ends either way
    timer.cancel(ignoredCancelError);
    for (const auto& socket : sockets) socket->close();
    sockets.clear();
    dashboard.reset();
    removeFolder(uploads);
}

WebServer::WebServer(Vant::Client::Session& session, const tcp::endpoint& listen, WebSettings settings)
    : core(std::make_shared<Core>(session, std::move(settings))) {
    try {
        core->acceptor.open(listen.protocol());
        core->acceptor.set_option(tcp::acceptor::reuse_address(true));
        core->acceptor.bind(listen);
        core->acceptor.listen();
    } catch (...) {
        removeFolder(core->uploads);
        throw;
    }
    core->listening = core->acceptor.local_endpoint();
    Vant::logLine("WebServer::WebServer() listening on " + listen.address().to_string() + ":" +
                  std::to_string(core->listening.port()));
    core->accept();
    net::post(core->strand, [core = core]() { core->tick(); });
}

WebServer::~WebServer() {
    stop();
}

void WebServer::stop() {
    {
        std::lock_guard<std::mutex> lock(core->acceptorMutex);
        if (core->acceptorStopped) return;
        core->acceptorStopped = true;
        beast::error_code ignoredCloseError;  // nothing more is accepted either way
        core->acceptor.close(ignoredCloseError);
    }
    auto done = std::make_shared<std::promise<void>>();
    std::future<void> finished = done->get_future();
    net::post(core->strand, [core = core, done]() {
        core->shutDown();
        done->set_value();
    });
    // A pool that no longer runs never gets to it; then nothing else runs either.
    if (finished.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
        Vant::logLine("WebServer::stop() the pool does not answer; stopping here");
    }
}

tcp::endpoint WebServer::endpoint() const {
    return core->listening;
}

std::string WebServer::uploads() const {
    return core->uploads;
}

}  // namespace web
}  // namespace tolvane
