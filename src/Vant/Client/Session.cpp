#include "Vant/Client/Session.h"

#include <boost/asio/ip/address.hpp>

#include <cctype>
#include <stdexcept>

#include "Vant/Client/SecurePrinters.h"
#include "Vant/IoThread.h"

namespace Vant {
namespace Client {

namespace {

const unsigned PoolThreads = 2;

bool isHexPrefix(const std::string& text) {
    if (text.size() < 4 || text.size() > 64) return false;
    for (char c : text) {
        if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
    }
    return true;
}

std::string lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

bool isAddress(const std::string& text, boost::asio::ip::address& address) {
    boost::system::error_code notAnAddress;
    address = boost::asio::ip::make_address(text, notAnAddress);
    return !notAnAddress;
}

}  // namespace

bool waitFor(const std::function<bool()>& done, std::chrono::milliseconds deadline,
             std::chrono::milliseconds step) {
    const auto end = std::chrono::steady_clock::now() + deadline;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= end) return done();
        std::this_thread::sleep_for(step);
    }
    return true;
}

std::string keyText(const Vant::User::Printer& printer) {
    return printer.getPublicKey().toHex();
}

std::string shortKey(const Vant::User::Printer& printer) {
    return keyText(printer).substr(0, 8);
}

Session::Session(const kel::bytes& privateKey, Vant::User::ClientSettings settings)
    : work(new boost::asio::io_service::work(service)) {
    std::string error;
    if (!applyConnectionChoice(settings, error)) throw std::invalid_argument(error);
    for (unsigned i = 0; i < PoolThreads; ++i) {
        pool.emplace_back([this]() { Vant::runIoService(service); });
    }
    client.reset(new Vant::User::User(service, privateKey, settings));
    // Before the proxy connects, so nothing is delivered while the handler is added.
    client->pushAddedPrinter >> [this](Vant::User::Printer& printer) {
        printer.pushDelivered >> [this, &printer](kel::var message) {
            std::lock_guard<std::mutex> lock(deliveredMutex);
            if (delivered) delivered(printer, message);
        };
        printer.pushConnected >> [this]() { ++changeCount; };
        printer.pushDisconnected >> [this]() { ++changeCount; };
        printer.taskQueue().pushDifference >> [this](Vant::StateMachine::TaskQueue) { ++changeCount; };
        ++changeCount;
    };
}

Session::~Session() {
    client->stop();
    client.reset();
    work.reset();
    service.stop();
    for (auto& thread : pool) thread.join();
}

void Session::start() {
    client->start();
}

void Session::onDelivered(Delivered handler) {
    std::lock_guard<std::mutex> lock(deliveredMutex);
    delivered = std::move(handler);
}

bool Session::validName(const std::string& wanted) {
    boost::asio::ip::address address;
    return isAddress(wanted, address) || isHexPrefix(wanted);
}

bool Session::fits(Vant::User::Printer& printer, const std::string& wanted) {
    boost::asio::ip::address address;
    if (isAddress(wanted, address)) {
        boost::asio::ip::address announced;
        return isAddress(printer.getAnnouncedAddress(), announced) && announced == address;
    }
    return keyText(printer).compare(0, wanted.size(), lower(wanted)) == 0;
}

Selection Session::select(const std::string& wanted, std::chrono::milliseconds wait) {
    Selection selection;
    if (!wanted.empty() && !validName(wanted)) {
        selection.status = Selection::BadName;
        return selection;
    }
    auto fitting = [&]() {
        std::vector<Vant::User::Printer*> found;
        for (Vant::User::Printer* printer : printers()) {
            if (wanted.empty() || fits(*printer, wanted)) found.push_back(printer);
        }
        return found;
    };
    if (wanted.empty()) {
        std::this_thread::sleep_for(wait);
    } else {
        waitFor([&]() { return !fitting().empty(); }, wait);
    }
    selection.candidates = fitting();
    if (selection.candidates.size() == 1) {
        selection.status = Selection::Chosen;
        selection.printer = selection.candidates.front();
    } else {
        selection.status = selection.candidates.empty() ? Selection::NoneFound : Selection::Ambiguous;
    }
    return selection;
}

bool Session::waitReady(Vant::User::Printer& printer, std::chrono::milliseconds deadline) {
    return waitFor([&]() { return printer.connected() && printer.receivedMessages() > 0; }, deadline);
}

}  // namespace Client
}  // namespace Vant
