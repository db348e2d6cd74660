#include "Vant/Ferrow/Startup.h"

#include <sys/stat.h>

#include <chrono>
#include <exception>
#include <fstream>
#include <iostream>
#include <thread>
#include <vector>

#include "Vant/StateMachine/StateType.h"
#include "Vant/StateMachine/build.h"
#include "kel/var.h"

namespace Vant {
namespace Ferrow {

CommandLine parseCommandLine(int argc, const char* const* argv) {
    CommandLine options;
    for (int a = 1; a < argc; ++a) {
        const std::string argument = argv[a] != nullptr ? argv[a] : "";
        if (argument.size() < 2 || argument[0] != '-') continue;
        switch (argument[1]) {
            case 'k':
                if (++a < argc) options.privKeyHex = argv[a];
                break;
            case 't':
                if (++a < argc) options.fakeUserTaskType = argv[a];
                break;
            case 'p':
                options.prompt = true;
                break;
            case 'u':
                options.fakeUser = true;
                break;
            default:
                break;
        }
    }
    return options;
}

void printUsage() {
    std::cerr << "Usage :" << std::endl;
    std::cerr << "\t-k    Peer's private key in hexadecimal (required)." << std::endl;
    std::cerr << "\t-p    Port to start a P2P server as." << std::endl;
}

std::string readFile(const std::string& path) {
    std::ifstream file(path, std::ios::in | std::ios::binary);
    if (!file) return std::string();
    file.seekg(0, std::ios::end);
    const std::streamoff length = file.tellg();
    std::string content;
    if (length > 0) content.reserve(static_cast<size_t>(length));
    file.seekg(0, std::ios::beg);
    content.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    return content;
}

bool fileExist(const std::string& path) {
    struct stat info;
    return ::stat(path.c_str(), &info) == 0;
}

void runIoService(boost::asio::io_service& io) {
    while (!io.stopped()) {
        try {
            io.run();
        } catch (const std::exception& e) {
            std::cout << "main() Exception caugth on thread root : " << e.what() << std::endl;
        }
    }
}

void runPool(boost::asio::io_service& io, const std::function<void()>& mainThread) {
    std::vector<std::thread> pool;
    for (int i = 0; i < PoolSize; ++i) pool.emplace_back([&io] { runIoService(io); });
    if (mainThread) mainThread();
    std::this_thread::sleep_for(std::chrono::seconds(MainSleepSeconds));
    io.stop();
    for (auto& thread : pool) thread.join();
}

bool loadStateMachine(const std::string& path) {
    if (!fileExist(path)) {
        StateMachine::buildStateMachine();
        return true;
    }
    try {
        StateMachine::StateTypes = kel::var::fromJsonString(readFile(path));
    } catch (const std::exception& e) {
        std::cerr << "loadStateMachine() " << path << " does not read : " << e.what() << std::endl;
        return false;
    }
    return true;
}

}  // namespace Ferrow
}  // namespace Vant
