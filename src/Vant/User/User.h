// Vant::User::User: the client of client mode. It listens for printer announcements,
// keeps one proxy (Vant::User::Printer) per printer key it has heard, offers each
// proxy the address its printer announced from, makes the proxies' connections
// (framed, or encrypted for the printers its settings name), and reports printers
// appearing, connecting and disconnecting. Announcements are handled on the listener's own
// thread; start, stop, getPrinter and getPrinters may be called from any thread.
#pragma once

#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <vector>

#include <boost/asio/io_service.hpp>
#include <boost/asio/ip/address.hpp>

#include "Vant/Gate/Gate.h"
#include "Vant/Messaging/Connection.h"
#include "Vant/Messaging/SimpleContainer.h"
#include "Vant/Messaging/SimpleSocket.h"
#include "Vant/Synchronization/PeerSynchronizer.h"
#include "Vant/UdpBroadcasting/UdpListener.h"
#include "Vant/Variables.h"
#include "kel/bytes.h"
#include "kel/signal.h"

namespace Vant {
namespace User {

class Printer;

// How long a finished service task stays in the queue before the client deletes it.
const std::chrono::milliseconds AutoDeletionDelay(10000);

// Ports and durations of the client and its proxies: the system's values unless a
// test moves or shortens them.
struct ClientSettings {
    int announcementPort = UdpPort;              // where announcements are heard (0: any free port)
    unsigned short printerPort = SimpleTcpPort;  // where the proxies connect
    std::chrono::milliseconds autoDeletionDelay = AutoDeletionDelay;
    std::chrono::milliseconds calibrationPause = std::chrono::milliseconds(500);
    std::chrono::milliseconds resendAfter = Vant::Gate::ResendAfter;
    std::chrono::milliseconds sendingInterval = Vant::Synchronization::SendingInterval;
    Vant::Messaging::SimpleTimings connection;
    // Printers reached over the encrypted channel on securePort instead, each of which
    // must prove there the key it announces: every printer with secureAll, else the
    // ones listed.
    bool secureAll = false;
    std::set<kel::bytes> securePrinters;
    unsigned short securePort = EncryptedTcpPort;

    bool secure(const kel::bytes& printerKey) const {
        return secureAll || securePrinters.count(printerKey) != 0;
    }
};

class User {
public:
    // Handler of a parsed announcement: sender address, printer key, version, revision.
    kel::signal::pushee<boost::asio::ip::address, kel::bytes, unsigned, unsigned> onSeenPrinter;
    // A proxy was created (on the listener's thread, before it connects).
    kel::signal::pusher<Printer&> pushAddedPrinter;
    // A proxy's connection is up (claim sent) or went down (on a pool thread).
    kel::signal::pusher<Printer&> pushConnectedPrinter;
    kel::signal::pusher<Printer&> pushDisconnectedPrinter;

    // Binds the announcement port at once (throws boost::system::system_error when it
    // cannot); nothing runs until start().
    User(boost::asio::io_service& io, kel::bytes privateKey, ClientSettings settings = ClientSettings());
    User(const User&) = delete;
    User& operator=(const User&) = delete;
    // Stops listening, then stops and destroys every proxy.
    virtual ~User();

    // Starts every known proxy (in key order), then the listener.
    void start();
    // Stops every proxy (in key order), then the listener.
    void stop();
    bool started() const;

    // The proxy of that printer key, or null.
    Printer* getPrinter(kel::bytes publicKey);
    // Every proxy, in key order.
    std::vector<Printer*> getPrinters();

    // What the proxies share with their client.
    boost::asio::io_service& getIoService() { return io; }
    const kel::bytes& getPublicKey() const { return publicKey; }
    Vant::Messaging::SimpleContainer& getSocketContainer() { return socketContainer; }
    // A new, unstarted connection to that printer at `address`: encrypted, expecting
    // its key, when the settings say so, else framed.
    std::shared_ptr<Vant::Messaging::Connection> connectionTo(const kel::bytes& printerKey,
                                                              const boost::asio::ip::address& address);
    const ClientSettings& getSettings() const { return settings; }
    unsigned short announcementPort() const { return udpListener.localPort(); }

private:
    void seenPrinter(boost::asio::ip::address address, kel::bytes key, unsigned version, unsigned revision);

    boost::asio::io_service& io;
    const ClientSettings settings;
    kel::bytes privateKey;
    kel::bytes publicKey;
    Vant::UdpBroadcasting::UdpListener udpListener;
    Vant::Messaging::SimpleContainer socketContainer;

    // Guards printers: the listener's thread (which adds proxies) against start, stop,
    // getPrinter and getPrinters on the caller's threads. Recursive, because
    // pushAddedPrinter fires with it held and its handlers may ask for the printers.
    // Not held while proxies are stopped or destroyed, which waits for their handlers.
    mutable std::recursive_mutex printersMutex;
    std::map<kel::bytes, Printer*> printers;
};

}  // namespace User
}  // namespace Vant
