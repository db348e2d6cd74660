#include "Vant/User/User.h"

#include <utility>

#include "Vant/Log.h"
#include "Vant/Messaging/EncryptedConnection.h"
#include "Vant/UdpBroadcasting/Announcement.h"
#include "Vant/User/Printer.h"
#include "kel/Sodium.h"

namespace Vant {
namespace User {

User::User(boost::asio::io_service& io, kel::bytes privateKey, ClientSettings settings)
    : io(io),
      settings(settings),
      privateKey(privateKey),
      publicKey(kel::Sodium::publicKey(privateKey)),
      udpListener(settings.announcementPort),
      socketContainer(io, settings.connection) {
    udpListener.pushBroadcast >> [this](boost::asio::ip::address sender, kel::bytes payload) {
        // Payloads that are not announcements are ignored without a word.
        boost::optional<Vant::UdpBroadcasting::Announcement> announcement =
            Vant::UdpBroadcasting::parseAnnouncement(std::string(payload));
        if (!announcement) return;
        onSeenPrinter(sender, announcement->publicKey, announcement->version, announcement->revision);
    };
    onSeenPrinter = [this](boost::asio::ip::address address, kel::bytes key, unsigned version,
                           unsigned revision) { seenPrinter(address, key, version, revision); };
}

User::~User() {
    // No announcement is handled from here on: the listener's thread has ended.
    udpListener.stop();
    std::map<kel::bytes, Printer*> proxies;
    {
        std::lock_guard<std::recursive_mutex> lock(printersMutex);
        proxies.swap(printers);
    }
    for (auto& entry : proxies) entry.second->stop();
    for (auto& entry : proxies) delete entry.second;
}

void User::start() {
    for (Printer* printer : getPrinters()) printer->start();
    udpListener.start();
}

void User::stop() {
    for (Printer* printer : getPrinters()) printer->stop();
    udpListener.stop();
}

std::shared_ptr<Vant::Messaging::Connection> User::connectionTo(const kel::bytes& printerKey,
                                                                const boost::asio::ip::address& address) {
    if (settings.secure(printerKey)) {
        return Vant::Messaging::EncryptedConnection::create(
            io, privateKey, publicKey, boost::asio::ip::tcp::endpoint(address, settings.securePort),
            printerKey, settings.connection);
    }
    return Vant::Messaging::SimpleSocket::create(
        io, &socketContainer, boost::asio::ip::tcp::endpoint(address, settings.printerPort),
        settings.connection);
}

bool User::started() const {
    return udpListener.started();
}

Printer* User::getPrinter(kel::bytes key) {
    std::lock_guard<std::recursive_mutex> lock(printersMutex);
    auto found = printers.find(key);
    return found == printers.end() ? nullptr : found->second;
}

std::vector<Printer*> User::getPrinters() {
    std::lock_guard<std::recursive_mutex> lock(printersMutex);
    std::vector<Printer*> all;
    for (auto& entry : printers) all.push_back(entry.second);
    return all;
}

void User::seenPrinter(boost::asio::ip::address address, kel::bytes key, unsigned version,
                       unsigned revision) {
    if (key == publicKey) return;
    std::lock_guard<std::recursive_mutex> lock(printersMutex);
    Printer* printer = nullptr;
    auto found = printers.find(key);
    if (found != printers.end()) {
        printer = found->second;
    } else {
        LOGI("NEW PRINTER : %s @ %s, version %i, revision %i", key.toHex().c_str(),
             address.to_string().c_str(), static_cast<int>(version), static_cast<int>(revision));
        printer = new Printer(this, key.clone(), version, revision);
        printers[key.clone()] = printer;
        pushAddedPrinter(*printer);
        const std::string hex = key.toHex();
        printer->pushDisconnected >> [this, printer, hex]() {
            LOGI("%s %s", "pushDisconnected ", hex.c_str());
            pushDisconnectedPrinter(*printer);
        };
        printer->pushConnected >> [this, printer, hex]() {
            LOGI("%s %s", "pushConnected ", hex.c_str());
            pushConnectedPrinter(*printer);
        };
        printer->start();
    }
    printer->addAddress(address);
}

}  // namespace User
}  // namespace Vant
