// bench_web: how much of a core `tolvane web` takes at idle with ten printers, next to
// its target (under 1 %). Ten printer daemons, each with its simulated board in a
// network namespace of its own, share one bridge with the dashboard's namespace; one
// page is open all along (a WebSocket here, reading every message the dashboard
// sends). Once every printer is connected and idle, the dashboard's user and system
// time is read from /proc before and after the measuring window.
//
//   bench_web [seconds] [printers]        (root: it makes network namespaces)
#include <unistd.h>

#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "e2e/PrinterUnderTest.h"
#include "kel/bytes.h"
#include "kel/var.h"

using namespace std::chrono_literals;
namespace beast = boost::beast;
using boost::asio::ip::tcp;

namespace {

// User plus system time of a process, in seconds.
double cpuSeconds(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string skip;
    for (int i = 0; i < 11; ++i) fields >> skip;  // state .. cmajflt
    unsigned long user = 0, system = 0;
    fields >> user >> system;
    return static_cast<double>(user + system) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

// The page: reads every message of the dashboard's WebSocket on a thread of its own
// inside the dashboard's namespace, and keeps the last card of every printer.
class Page {
public:
    explicit Page(const testsupport::NetworkNamespace& side) : thread([this, &side]() { run(side); }) {}
    ~Page() {
        stopping = true;
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (socket) {
                beast::error_code ignoredCloseError;  // the reader ends either way
                beast::get_lowest_layer(*socket).shutdown(tcp::socket::shutdown_both, ignoredCloseError);
            }
        }
        thread.join();
    }
    // Printers connected with nothing running.
    unsigned idlePrinters() {
        std::lock_guard<std::mutex> lock(mutex);
        unsigned idle = 0;
        for (const auto& card : cards) {
            const kel::var& value = card.second;
            bool running = false;
            for (unsigned i = 0; i < value["tasks"].size(); ++i)
                running = running || !value["tasks"][i]["ended"].booleanValue(false);
            idle += value["connected"].booleanValue(false) && !running;
        }
        return idle;
    }
    unsigned long messages() const { return count.load(); }

private:
    void run(const testsupport::NetworkNamespace& side) {
        testsupport::NetworkNamespace::Inside inside(side);
        boost::asio::io_context io;
        for (int attempt = 0; attempt < 100 && !stopping; ++attempt) {
            try {
                auto ws = std::make_shared<beast::websocket::stream<tcp::socket>>(io);
                ws->next_layer().connect(tcp::endpoint(boost::asio::ip::address_v4::loopback(), 8080));
                ws->set_option(
                    beast::websocket::stream_base::decorator([](beast::websocket::request_type& request) {
                        request.set(beast::http::field::origin, "http://127.0.0.1:8080");
                    }));
                ws->handshake("127.0.0.1:8080", "/ws");
                {
                    std::lock_guard<std::mutex> lock(mutex);
                    socket = ws;
                }
                for (;;) {
                    beast::flat_buffer buffer;
                    ws->read(buffer);
                    ++count;
                    const kel::var message =
                        kel::var::fromJsonString(beast::buffers_to_string(buffer.data()));
                    if (!message.has("cards")) continue;
                    std::lock_guard<std::mutex> lock(mutex);
                    for (unsigned i = 0; i < message["cards"].size(); ++i)
                        cards[message["cards"][i]["key"].stringValue("")] = message["cards"][i];
                }
            } catch (const std::exception&) {
                {
                    // The stream belongs to `io`, which ends with this function.
                    std::lock_guard<std::mutex> lock(mutex);
                    socket.reset();
                }
                if (stopping) return;
                std::this_thread::sleep_for(100ms);
            }
        }
    }

    std::atomic<bool> stopping{false};
    std::atomic<unsigned long> count{0};
    std::mutex mutex;  // guards socket and cards: the reader's thread against the main thread
    std::shared_ptr<beast::websocket::stream<tcp::socket>> socket;
    std::map<std::string, kel::var> cards;
    std::thread thread;
};

}  // namespace

int main(int argc, char** argv) {
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 30;
    const unsigned printers = argc > 2 ? static_cast<unsigned>(std::atoi(argv[2])) : 10;
    if (std::getenv("TOLVANE_BUILD_DIR") == nullptr)
        ::setenv("TOLVANE_BUILD_DIR", TOLVANE_BUILD_DIR_DEFAULT, 1);
    if (!testsupport::NetworkNamespace::available()) {
        std::fprintf(stderr, "bench_web: needs root, for the printers' network namespaces\n");
        return 1;
    }
    testsupport::NetworkNamespace dashboardSide;
    testsupport::Bridge bridge(dashboardSide, "10.0.0.100/24");
    std::vector<std::unique_ptr<testsupport::NetworkNamespace>> sides;
    std::vector<std::unique_ptr<testsupport::PrinterUnderTest>> daemons;
    for (unsigned i = 0; i < printers; ++i) {
        sides.emplace_back(new testsupport::NetworkNamespace);
        if (!bridge.plug(*sides.back(), "10.0.0." + std::to_string(i + 1) + "/24")) {
            std::fprintf(stderr, "bench_web: cannot join printer %u to the bridge\n", i + 1);
            return 1;
        }
        daemons.emplace_back(new testsupport::PrinterUnderTest(
            *sides.back(), kel::bytes(32).randomize().toHex(), "10.0.0.255"));
    }
    const std::string home = testsupport::scratchFolder();
    testsupport::ChildProcess web(dashboardSide.exec({testsupport::builtProgram("tolvane"), "web"}),
                                  {{"XDG_CONFIG_HOME", home}, {"TMPDIR", home}});
    if (!web.waitForOutput("The dashboard is at", 30s)) {
        std::fprintf(stderr, "bench_web: tolvane web did not start\n%s%s", web.out().c_str(),
                     web.err().c_str());
        return 1;
    }
    Page page(dashboardSide);
    if (!testsupport::waitUntil([&]() { return page.idlePrinters() == printers; }, 180s)) {
        std::fprintf(stderr, "bench_web: only %u of %u printers connected and idle\n", page.idlePrinters(),
                     printers);
        return 1;
    }
    std::this_thread::sleep_for(5s);  // the finished start-up tasks are deleted meanwhile
    const unsigned long before = page.messages();
    const double start = cpuSeconds(web.pid());
    const auto from = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    const double used = cpuSeconds(web.pid()) - start;
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - from).count();
    std::printf(
        "tolvane web at idle, %u printers, one page open: %.2f %% of a core over %.0f s "
        "(target < 1 %%); %lu messages to the page\n",
        printers, 100.0 * used / wall, wall, page.messages() - before);
    return 0;
}
