#include "Vant/Ferrow/ClientMode.h"

#include <cstdio>

#include "Vant/Ferrow/Startup.h"
#include "Vant/User/Printer.h"
#include "kel/var.h"

namespace Vant {
namespace Ferrow {

const char* const DefaultObjectId = "00000000000000000000000000000001";

std::unique_ptr<Vant::User::User> startClientMode(boost::asio::io_service& io, const kel::bytes& privateKey,
                                                  const std::string& taskType,
                                                  Vant::User::ClientSettings settings) {
    // The client logs with printf: line by line, so that a pipe or a journal sees each
    // line when it is written rather than a block at a time. The stream has written
    // already, and only a buffer given here makes it switch.
    static char lineBuffer[BUFSIZ];
    std::fflush(stdout);
    std::setvbuf(stdout, lineBuffer, _IOLBF, sizeof lineBuffer);
    std::unique_ptr<Vant::User::User> user(new Vant::User::User(io, privateKey, settings));
    user->pushAddedPrinter >> [taskType](Vant::User::Printer& printer) {
        if (taskType.empty()) return;
        const std::string taskId = printer.taskQueue().makeTask(taskType);
        printer.taskQueue().setVariable(taskId, "ObjectId", kel::var(DefaultObjectId));
    };
    user->start();
    return user;
}

int runClientMode(boost::asio::io_service& io, const kel::bytes& privateKey, const std::string& taskType) {
    std::unique_ptr<Vant::User::User> user = startClientMode(io, privateKey, taskType);
    runPool(io, [&user] { user->stop(); });
    return 0;
}

}  // namespace Ferrow
}  // namespace Vant
