// tolvane::web::WebServer: the dashboard's HTTP and WebSocket server (Boost.Beast),
// on the client session's I/O pool. Each connection runs on a strand of its own and
// keeps itself alive through its handlers; the dashboard (cards, commands, prints)
// and the list of open WebSockets live on the server's strand, whose timer looks for
// changes every tick and sends the cards that changed to every open page. stop()
// closes the listener and every WebSocket, ends the prints' serving and deletes the
// uploaded files; a late completion finds the shared core, never freed memory.
//
// clang-format off
//   accept ──▶ head (≤ 8 KB, 30 s) ──▶ decide ──▶ page file, state, login ──▶ answer ──▶ next head
//                                         ├──▶ upload: body to a private file (≤ limit, 30 s a piece)
//                                         │       ──▶ looks like STL? ──▶ strand: print ──▶ answer
//                                         ├──▶ WebSocket ──▶ strand: join, every card ──▶ commands
//                                         │       ──▶ strand: carried out ──▶ result to that page
//                                         └──▶ refusal (4xx) ──▶ close
//   strand timer, every tick: changes seen by the session, or a second gone? ──▶ refresh
//       ──▶ the changed cards to every WebSocket (a page that lags 256 messages behind is closed)
// clang-format on
#pragma once

#include <boost/asio/ip/tcp.hpp>

#include <chrono>
#include <memory>
#include <string>

#include "Http.h"
#include "Vant/Client/Session.h"

namespace tolvane {
namespace web {

struct WebSettings {
    Access access;
    std::string printer;    // only the printers this name fits (Session::fits); "" for all
    std::string uploadsIn;  // where the private folder of uploads is made; "" for $TMPDIR or /tmp
    std::chrono::milliseconds tick{250};
    std::chrono::milliseconds fullRefresh{1000};  // cards are built again at least this often
};

class WebServer {
public:
    // Listens at once; throws boost::system::system_error when it cannot, and
    // std::runtime_error when the uploads folder cannot be made.
    WebServer(Vant::Client::Session& session, const boost::asio::ip::tcp::endpoint& listen,
              WebSettings settings = WebSettings());
    ~WebServer();  // stop()
    WebServer(const WebServer&) = delete;
    WebServer& operator=(const WebServer&) = delete;

    // Stops serving (see above) and waits for it; not on a thread of the pool.
    void stop();
    boost::asio::ip::tcp::endpoint endpoint() const;
    // The private folder (mode 0700) where uploads are kept while a printer needs them.
    std::string uploads() const;

    struct Core;

private:
    std::shared_ptr<Core> core;
};

}  // namespace web
}  // namespace tolvane
