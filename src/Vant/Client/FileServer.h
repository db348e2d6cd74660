// Vant::Client::FileServer: hands one file to a printer over HTTP, the way a printer
// fetches a model: it listens on an ephemeral port of one address (the one that
// reaches the printer), answers GET and HEAD of one unguessable path with the file,
// and 404 to everything else. It runs on the session's I/O pool; each connection
// keeps itself alive through its handlers, and stop() closes the listener and every
// connection (a late completion finds the shared core, never freed memory).
//
// clang-format off
//   accept ──▶ read head (≤ 8 KB, 30 s) ──▶ path fits? ──▶ header, file in 64 KB writes ──▶ close
//                                               └─ no ──▶ 404 ──▶ close
// clang-format on
#pragma once

#include <boost/asio/io_service.hpp>
#include <boost/asio/ip/address.hpp>

#include <memory>
#include <string>

namespace Vant {
namespace Client {

class FileServer {
public:
    // Starts serving `path` at once; throws boost::system::system_error when it
    // cannot listen on `address`.
    FileServer(boost::asio::io_service& io, const std::string& path, const boost::asio::ip::address& address);
    ~FileServer();  // stop()
    FileServer(const FileServer&) = delete;
    FileServer& operator=(const FileServer&) = delete;

    // The link a printer downloads the file from.
    std::string url() const;
    // Ends serving: no new connection, and transfers under way are cut. Any thread.
    void stop();
    // Complete transfers of the whole file so far.
    unsigned long served() const;

    struct Core;

private:
    std::shared_ptr<Core> core;
};

// The address of this machine's interface that reaches `peer` (the source address
// the kernel would pick); unspecified when there is no route.
boost::asio::ip::address localAddressTowards(boost::asio::io_service& io,
                                             const boost::asio::ip::address& peer);

}  // namespace Client
}  // namespace Vant
