// `tolvane web`: the dashboard in the browser. The main thread checks the options,
// starts the session and the web server (both run on the session's pool), says where
// the dashboard is and then waits for SIGINT or SIGTERM, which it takes with sigwait
// (blocked before any thread exists, so no handler runs anywhere), and stops in order:
// no more requests, the pages' WebSockets closed, the uploaded models deleted.
#include <pthread.h>
#include <signal.h>

#include <boost/asio/ip/tcp.hpp>

#include <fstream>
#include <memory>

#include "Commands.h"
#include "Dashboard.h"
#include "WebServer.h"

namespace tolvane {

namespace {

// "ADDRESS:PORT", "[v6]:PORT" or ":PORT" (loopback).
bool parseListen(const std::string& text, boost::asio::ip::tcp::endpoint& endpoint) {
    const auto colon = text.rfind(':');
    if (colon == std::string::npos) return false;
    std::string host = text.substr(0, colon);
    const std::string port = text.substr(colon + 1);
    if (port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos)
        return false;
    const unsigned long number = std::stoul(port);
    if (number > 65535) return false;
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
    if (host.empty()) host = "127.0.0.1";
    boost::system::error_code notAnAddress;
    const auto address = boost::asio::ip::make_address(host, notAnAddress);
    if (notAnAddress) return false;
    endpoint = boost::asio::ip::tcp::endpoint(address, static_cast<unsigned short>(number));
    return true;
}

std::string urlOf(const boost::asio::ip::tcp::endpoint& endpoint) {
    const auto address = endpoint.address();
    std::string host = address.is_unspecified() ? std::string("127.0.0.1") : address.to_string();
    if (address.is_v6() && !address.is_unspecified()) host = "[" + host + "]";
    return "http://" + host + ":" + std::to_string(endpoint.port()) + "/";
}

}  // namespace

int Commands::web() {
    boost::asio::ip::tcp::endpoint endpoint;
    if (!parseListen(options.listen, endpoint))
        return fail(Usage, "--listen takes ADDRESS:PORT, such as 127.0.0.1:8080: \"" + options.listen + "\"");
    if (!options.printer.empty() && options.printer != web::LocalPrinters &&
        !Vant::Client::Session::validName(options.printer)) {
        return fail(Usage,
                    "--printer takes an address, at least 4 hexadecimal digits of a key, or \"local\": \"" +
                        options.printer + "\"");
    }
    std::string token = options.token;
    if (!options.tokenFile.empty()) {
        std::ifstream file(options.tokenFile);
        if (!file || !std::getline(file, token))
            return fail(Usage, "cannot read the token file " + options.tokenFile);
        while (!token.empty() && (token.back() == '\r' || token.back() == ' ')) token.pop_back();
    }
    if ((!options.token.empty() || !options.tokenFile.empty()) && token.size() < 8)
        return fail(Usage, "a token has at least 8 characters");
    if (token.empty() && !endpoint.address().is_loopback()) {
        return fail(Usage,
                    "listening on " + endpoint.address().to_string() +
                        " needs --token or --token-file: anyone who reaches it could use the printers");
    }

    // Before the session's threads exist, so that every thread inherits the mask.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    if (!begin()) return Usage;

    web::WebSettings settings;
    settings.access.token = token;
    settings.access.maxUpload = static_cast<std::uint64_t>(options.maxUploadMb * 1024 * 1024);
    settings.printer = options.printer;
    std::unique_ptr<web::WebServer> server;
    try {
        server.reset(new web::WebServer(*session, endpoint, settings));
    } catch (const std::exception& e) {
        return fail(Failed, "cannot serve the dashboard on " + options.listen + ": " + e.what());
    }
    const std::string url = urlOf(server->endpoint());
    if (options.json) {
        kel::var object;
        object["event"] = "listening";
        object["url"] = url;
        emit(object);
    }
    say("The dashboard is at " + url + " (Ctrl-C ends it)");
    int received = 0;
    sigwait(&stopSignals, &received);
    server->stop();
    say("The dashboard has stopped.");
    return Done;
}

}  // namespace tolvane
