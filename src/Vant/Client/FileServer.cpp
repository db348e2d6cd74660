#include "Vant/Client/FileServer.h"

#include <boost/asio/io_context_strand.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/udp.hpp>
#include <boost/asio/read_until.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/streambuf.hpp>
#include <boost/asio/write.hpp>

#include <atomic>
#include <fstream>
#include <istream>
#include <mutex>
#include <set>
#include <sstream>

#include "kel/bytes.h"

namespace Vant {
namespace Client {

using boost::asio::ip::tcp;

namespace {

const std::size_t MaxRequestHead = 8192;
const std::size_t ChunkSize = 65536;
const std::chrono::seconds IdleLimit(30);

}  // namespace

struct FileServer::Core : std::enable_shared_from_this<FileServer::Core> {
    Core(boost::asio::io_service& io, std::string path) : io(io), acceptor(io), path(std::move(path)) {}

    struct Connection : std::enable_shared_from_this<Connection> {
        Connection(boost::asio::io_service& io, std::shared_ptr<Core> core)
            : strand(io), socket(io), timer(io), head(MaxRequestHead), core(std::move(core)) {}
        // Serialises the connection's handlers: its timer may close the socket while a
        // read or write completes on another pool thread.
        boost::asio::io_service::strand strand;
        tcp::socket socket;
        boost::asio::steady_timer timer;
        boost::asio::streambuf head;
        std::ifstream file;
        std::vector<char> chunk;
        std::string header;
        std::shared_ptr<Core> core;
    };

    void accept() {
        auto self = shared_from_this();
        auto connection = std::make_shared<Connection>(io, self);
        std::lock_guard<std::mutex> lock(mutex);
        if (stopped) return;
        acceptor.async_accept(connection->socket, [self, connection](boost::system::error_code error) {
            if (error == boost::asio::error::operation_aborted) return;
            if (!error) self->serve(connection);
            self->accept();
        });
    }

    // Runs on the accept handler, before the connection has a handler of its own.
    void serve(const std::shared_ptr<Connection>& connection) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (stopped) return;
            open.insert(connection);
        }
        armIdleTimer(connection);
        boost::asio::async_read_until(
            connection->socket, connection->head, "\r\n\r\n",
            connection->strand.wrap(
                [self = shared_from_this(), connection](boost::system::error_code error, std::size_t) {
                    if (error) {
                        self->close(connection);
                        return;
                    }
                    self->answer(connection);
                }));
    }

    // A connection that moves nothing for IdleLimit is closed; each step re-arms it.
    void armIdleTimer(const std::shared_ptr<Connection>& connection) {
        connection->timer.expires_after(IdleLimit);
        std::weak_ptr<Connection> weak = connection;
        connection->timer.async_wait(
            connection->strand.wrap([self = shared_from_this(), weak](boost::system::error_code error) {
                if (error) return;
                if (auto c = weak.lock()) self->close(c);
            }));
    }

    void answer(const std::shared_ptr<Connection>& connection) {
        std::istream request(&connection->head);
        std::string method, target;
        request >> method >> target;
        const bool known = method == "GET" || method == "HEAD";
        if (known && target == urlPath) connection->file.open(path, std::ios::binary);
        if (!known || target != urlPath || !connection->file) {
            const std::string body = known ? "not found\n" : "method not allowed\n";
            connection->header =
                std::string(known ? "HTTP/1.1 404 Not Found" : "HTTP/1.1 405 Method Not Allowed") +
                "\r\nContent-Type: text/plain\r\nContent-Length: " + std::to_string(body.size()) +
                "\r\nConnection: close\r\n\r\n" + body;
            write(connection, false);
            return;
        }
        connection->file.seekg(0, std::ios::end);
        const std::streamoff size = connection->file.tellg();
        connection->file.seekg(0);
        connection->header = "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\nContent-Length: " +
                             std::to_string(size) + "\r\nConnection: close\r\n\r\n";
        write(connection, method == "GET");
    }

    // Writes the header, then (with `body`) the file chunk after chunk, then closes.
    void write(const std::shared_ptr<Connection>& connection, bool body) {
        boost::asio::async_write(connection->socket, boost::asio::buffer(connection->header),
                                 connection->strand.wrap([self = shared_from_this(), connection, body](
                                                             boost::system::error_code error, std::size_t) {
                                     if (error || !body) {
                                         self->close(connection);
                                         return;
                                     }
                                     connection->chunk.resize(ChunkSize);
                                     self->nextChunk(connection);
                                 }));
    }

    void nextChunk(const std::shared_ptr<Connection>& connection) {
        connection->file.read(connection->chunk.data(),
                              static_cast<std::streamsize>(connection->chunk.size()));
        const std::streamsize got = connection->file.gcount();
        if (got <= 0) {
            if (connection->file.eof()) ++servedCount;
            close(connection);
            return;
        }
        armIdleTimer(connection);
        boost::asio::async_write(connection->socket,
                                 boost::asio::buffer(connection->chunk.data(), static_cast<std::size_t>(got)),
                                 connection->strand.wrap([self = shared_from_this(), connection](
                                                             boost::system::error_code error, std::size_t) {
                                     if (error) {
                                         self->close(connection);
                                         return;
                                     }
                                     self->nextChunk(connection);
                                 }));
    }

    void close(const std::shared_ptr<Connection>& connection) {
        boost::system::error_code ignoredCloseError;  // the connection ends either way
        {
            std::lock_guard<std::mutex> lock(mutex);
            open.erase(connection);
        }
        connection->socket.shutdown(tcp::socket::shutdown_both, ignoredCloseError);
        connection->socket.close(ignoredCloseError);
        connection->timer.cancel(ignoredCloseError);
    }

    void stop() {
        std::set<std::shared_ptr<Connection>> closing;
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (stopped) return;
            stopped = true;
            boost::system::error_code ignoredCloseError;  // nothing more is accepted either way
            acceptor.close(ignoredCloseError);
            closing.swap(open);
        }
        // Closed on each connection's strand, where its own handlers run.
        for (const auto& connection : closing) {
            connection->strand.post([self = shared_from_this(), connection]() { self->close(connection); });
        }
    }

    boost::asio::io_service& io;
    // Guards acceptor, stopped and open: the pool's handlers against stop() on any thread.
    std::mutex mutex;
    tcp::acceptor acceptor;
    bool stopped = false;
    std::set<std::shared_ptr<Connection>> open;
    const std::string path;
    std::string urlPath;  // "/<token>/<name>"; set before the first accept
    std::string host;
    unsigned short port = 0;
    std::atomic<unsigned long> servedCount{0};
};

namespace {

// The file's own name, kept to letters, digits, '.', '-' and '_', so the link needs
// no escaping.
std::string linkName(const std::string& path) {
    std::string name = path.substr(path.rfind('/') + 1);
    for (char& c : name) {
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                           c == '.' || c == '-' || c == '_';
        if (!plain) c = '_';
    }
    return name.empty() ? std::string("model.stl") : name;
}

}  // namespace

FileServer::FileServer(boost::asio::io_service& io, const std::string& path,
                       const boost::asio::ip::address& address)
    : core(std::make_shared<Core>(io, path)) {
    const tcp::endpoint endpoint(address, 0);
    core->acceptor.open(endpoint.protocol());
    core->acceptor.set_option(tcp::acceptor::reuse_address(true));
    core->acceptor.bind(endpoint);
    core->acceptor.listen();
    core->port = core->acceptor.local_endpoint().port();
    core->host = address.is_v6() ? "[" + address.to_string() + "]" : address.to_string();
    core->urlPath = "/" + kel::bytes(16).randomize().toHex() + "/" + linkName(path);
    core->accept();
}

FileServer::~FileServer() {
    stop();
}

std::string FileServer::url() const {
    return "http://" + core->host + ":" + std::to_string(core->port) + core->urlPath;
}

void FileServer::stop() {
    core->stop();
}

unsigned long FileServer::served() const {
    return core->servedCount.load();
}

boost::asio::ip::address localAddressTowards(boost::asio::io_service& io,
                                             const boost::asio::ip::address& peer) {
    boost::asio::ip::udp::socket probe(io);
    boost::system::error_code noRoute;
    probe.connect(boost::asio::ip::udp::endpoint(peer, 9), noRoute);
    if (noRoute) return boost::asio::ip::address();
    const auto local = probe.local_endpoint(noRoute);
    return noRoute ? boost::asio::ip::address() : local.address();
}

}  // namespace Client
}  // namespace Vant
