// Client mode of the daemon (-u): builds and starts the diagnostic client, which
// finds printers on the local network and mirrors their task queues, and with -t
// adds one task of the given state type to every printer it finds. Called once from
// the main thread before the I/O pool runs; the pool then serves the client.
#pragma once

#include <memory>
#include <string>

#include <boost/asio/io_service.hpp>

#include "Vant/User/User.h"
#include "kel/bytes.h"

namespace Vant {
namespace Ferrow {

// Stored in the variable "ObjectId" of every task made with -t.
extern const char* const DefaultObjectId;

// Client mode of the daemon: starts the client on `io`, runs `io` on the I/O pool
// (whose threads log an exception escaping a handler and go on) until SIGTERM or
// SIGINT, then stops the client and returns 0.
int runClientMode(boost::asio::io_service& io, const kel::bytes& privateKey, const std::string& taskType);

// Creates the client, subscribes the task maker when `taskType` is not empty, and
// starts it. The caller keeps the client for as long as the mode runs.
std::unique_ptr<Vant::User::User> startClientMode(
    boost::asio::io_service& io, const kel::bytes& privateKey, const std::string& taskType,
    Vant::User::ClientSettings settings = Vant::User::ClientSettings());

}  // namespace Ferrow
}  // namespace Vant
