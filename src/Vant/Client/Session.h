// Vant::Client::Session: one run of the user's client. It owns an I/O pool of its
// own, the client (Vant::User::User, which hears printers and keeps a proxy and a
// copy of the queue per printer) and the printer selection of the command line and
// the dashboard. The caller's thread asks; announcements arrive on the listener's
// thread and connections run on the pool.
#pragma once

#include <boost/asio/io_service.hpp>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Vant/User/Printer.h"
#include "Vant/User/User.h"
#include "kel/bytes.h"
#include "kel/var.h"

namespace Vant {
namespace Client {

// How long a printer may take to answer after it was heard: connection, claim and
// the whole queue.
const std::chrono::milliseconds ReadyDeadline(15000);

// The outcome of choosing one printer.
struct Selection {
    enum Status { Chosen, NoneFound, Ambiguous, BadName };
    Status status = NoneFound;
    Vant::User::Printer* printer = nullptr;
    std::vector<Vant::User::Printer*> candidates;  // every printer that fitted (Ambiguous)
};

class Session {
public:
    // Called when a synchronisation message of ours reached a printer; on a pool thread.
    typedef std::function<void(Vant::User::Printer&, const kel::var&)> Delivered;

    // Reaches printers plainly or over the encrypted channel as the program chose
    // (SecurePrinters.h); throws std::invalid_argument when the remembered printers
    // do not read, std::exception when the announcements cannot be heard.
    explicit Session(const kel::bytes& privateKey,
                     Vant::User::ClientSettings settings = Vant::User::ClientSettings());
    // Stops the client, then the pool.
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    void start();
    boost::asio::io_service& io() { return service; }
    Vant::User::User& user() { return *client; }

    // Every printer heard so far, in key order.
    std::vector<Vant::User::Printer*> printers() { return client->getPrinters(); }

    // `wanted` is an address or a prefix of at least 4 hexadecimal digits of a
    // printer's key. With a name the first printer that fits ends the wait; without
    // one the whole wait runs and exactly one printer must have been heard.
    Selection select(const std::string& wanted, std::chrono::milliseconds wait);
    // Whether the name can name a printer at all.
    static bool validName(const std::string& wanted);
    static bool fits(Vant::User::Printer& printer, const std::string& wanted);

    // Waits until the printer is connected and its whole queue has arrived.
    static bool waitReady(Vant::User::Printer& printer, std::chrono::milliseconds deadline = ReadyDeadline);

    void onDelivered(Delivered handler);

    // Counts what may change a view of the printers: a printer heard for the first
    // time, a connection made or lost, a difference applied to a printer's copy of its
    // queue. Changes made through this client's own copy are not counted. A view
    // compares it with the value it last saw to know whether to look again.
    unsigned long changes() const { return changeCount.load(); }

private:
    boost::asio::io_service service;
    std::unique_ptr<boost::asio::io_service::work> work;
    std::vector<std::thread> pool;
    std::unique_ptr<Vant::User::User> client;
    std::mutex deliveredMutex;  // guards delivered: the caller's thread against the pool's deliveries
    Delivered delivered;
    // Bumped on the listener's thread and the pool's; read by any thread.
    std::atomic<unsigned long> changeCount{0};
};

// The printer's key as text, and its short form for people (the first 8 digits).
std::string keyText(const Vant::User::Printer& printer);
std::string shortKey(const Vant::User::Printer& printer);

// Polls `done` every `step` until it holds or `deadline` passes; its last value.
bool waitFor(const std::function<bool()>& done, std::chrono::milliseconds deadline,
             std::chrono::milliseconds step = std::chrono::milliseconds(100));

}  // namespace Client
}  // namespace Vant
