// Printer mode of the daemon: opens the lighting controller and the motion board,
// serves users through the printer service, starts the start-up task once the board
// has answered, and keeps the main thread on the G-code console or asleep. Runs on
// the main thread; the driver's initialisation callback runs on a pool thread.
#pragma once

#include <boost/asio/io_service.hpp>

#include "kel/bytes.h"

namespace Vant {
namespace Ferrow {

// Builds the printer-mode objects on `io`, runs `io` on the I/O pool and never
// returns in normal operation. Returns 0 when the lighting controller or the motion
// board cannot be opened (after a line saying why), 1 when the service cannot listen.
int runPrinterMode(boost::asio::io_service& io, const kel::bytes& privateKey, bool prompt);

}  // namespace Ferrow
}  // namespace Vant
