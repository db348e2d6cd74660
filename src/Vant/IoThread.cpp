#include "Vant/IoThread.h"
#include "Vant/Log.h"

#include <exception>
#include <iostream>

namespace Vant {

void runIoService(boost::asio::io_service& io) {
    while (!io.stopped()) {
        try {
            io.run();
        } catch (const std::exception& e) {
            Vant::LogLine() << "main() Exception caugth on thread root : " << e.what();
        }
    }
}

}  // namespace Vant
