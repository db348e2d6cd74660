// Which printers the user's client reaches over the encrypted channel, where a printer
// must prove the key it announces and a printer that admits trusted users only lets
// this user in: the printers remembered in the client's configuration (`tolvane pair
// --printer`), and every printer once the program asked for it (`tolvane --secure`).
// Every Session applies the choice itself, so the command line and the dashboard
// follow the same one. Called on the main thread, before Sessions are made.
#pragma once

#include <string>

#include "Vant/User/User.h"
#include "kel/bytes.h"

namespace Vant {
namespace Client {

// The file of remembered printers, beside the key file: secure-printers in the
// client's configuration folder, one printer key a line.
std::string securePrintersPath();

// Every Session of this process made from now on reaches every printer over the
// encrypted channel.
void secureEveryPrinter();

// Applies the choice to `settings`. False, with `error`, when the file of remembered
// printers exists but does not read.
bool applyConnectionChoice(Vant::User::ClientSettings& settings, std::string& error);

// Adds `printer` to the remembered printers (the file and its folder are made when
// missing); false with `error` when it cannot be written.
bool rememberSecurePrinter(const kel::bytes& printer, std::string& error);

}  // namespace Client
}  // namespace Vant
