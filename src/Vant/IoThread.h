// The body of one thread of an I/O pool, shared by the daemon's pool, the client
// core's session pool and the tools: it runs the service until the service is
// stopped. Any thread; it holds no state of its own.
#pragma once

#include <boost/asio/io_service.hpp>

namespace Vant {

// Runs `io` until it is stopped. An exception escaping a handler is logged and the
// thread goes back to running the service, so one bad message never takes a pool
// thread away.
void runIoService(boost::asio::io_service& io);

}  // namespace Vant
