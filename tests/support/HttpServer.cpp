#include "support/HttpServer.h"

#include <cctype>
#include <stdexcept>

namespace testsupport {

HttpServer::HttpServer(const std::string& folder)
    : process(new ChildProcess({"/usr/bin/python3", "-u", "-m", "http.server", "--bind", "127.0.0.1",
                                "--directory", folder, "0"})) {
    readPort("port ");
}

HttpServer::HttpServer(std::unique_ptr<ChildProcess> process) : process(std::move(process)) {
    readPort("PORT ");
}

std::unique_ptr<HttpServer> HttpServer::script(const std::string& pythonSource) {
    return std::unique_ptr<HttpServer>(new HttpServer(
        std::unique_ptr<ChildProcess>(new ChildProcess({"/usr/bin/python3", "-u", "-c", pythonSource}))));
}

void HttpServer::readPort(const std::string& prefix) {
    if (!process->waitForOutput("\n", std::chrono::seconds(20)))
        throw std::runtime_error("web server did not start: " + process->err());
    const std::string out = process->out();
    const auto at = out.find(prefix);
    if (at == std::string::npos || !std::isdigit(static_cast<unsigned char>(out[at + prefix.size()])))
        throw std::runtime_error("web server printed no port: " + out);
    portNumber = std::stoi(out.substr(at + prefix.size()));
}

std::string HttpServer::url(const std::string& name) const {
    return "http://127.0.0.1:" + std::to_string(portNumber) + "/" + name;
}

}  // namespace testsupport
