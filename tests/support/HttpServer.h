// `python3 -m http.server` serving a folder on 127.0.0.1 at a port the kernel picks,
// ended by its process id when the object goes.
#pragma once

#include <memory>
#include <string>

#include "support/ChildProcess.h"

namespace testsupport {

class HttpServer {
public:
    explicit HttpServer(const std::string& folder);
    // A short Python server that prints "PORT n" first, for what http.server lacks.
    static std::unique_ptr<HttpServer> script(const std::string& pythonSource);

    int port() const { return portNumber; }
    std::string url(const std::string& name) const;

private:
    explicit HttpServer(std::unique_ptr<ChildProcess> process);
    void readPort(const std::string& prefix);

    std::unique_ptr<ChildProcess> process;
    int portNumber = 0;
};

}  // namespace testsupport
