#include "Vant/IoThread.h"

#include <exception>
#include <iostream>

namespace Vant {

void runIoService(boost::asio::io_service& io) {
    while (!io.stopped()) {
        try {
            io.run();
        } catch (const std::exception& e) {
            std::cout << "main() Exception caugth on thread root : " << e.what() << std::endl;
        }
    }
}

}  // namespace Vant
