// Printer mode of the daemon: opens the lighting controller and the motion board,
// serves users through the printer service, starts the start-up task once the board
// has answered, and keeps the G-code console on a thread of its own. Runs on the
// main thread, which also waits for the stop signal and stops in order; the
// driver's initialisation callback runs on a pool thread.
#pragma once

#include <string>

#include <boost/asio/io_service.hpp>

#include "kel/bytes.h"

namespace Vant {
namespace Ferrow {

// Builds the printer-mode objects on `io`, runs `io` on the I/O pool until SIGTERM
// or SIGINT, stops in order and returns 0. Returns 0 at once when the lighting
// controller or the motion board cannot be opened (after a line saying why), 1 when
// the service cannot listen. With a trusted-users file, only the users listed in it
// come in, over the encrypted channel; a file that does not read returns 1 before
// anything is opened, and SIGHUP reads it again. SIGHUP must be blocked
// (blockHangUpSignal) before the call.
int runPrinterMode(boost::asio::io_service& io, const kel::bytes& privateKey, bool prompt,
                   const std::string& trustedUsersPath = std::string());

}  // namespace Ferrow
}  // namespace Vant
