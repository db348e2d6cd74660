// Files of public keys, one a line as 64 hexadecimal digits, with "#" comments (whole
// lines, or after the key): the printer's trusted users, the client's printers
// reached over the encrypted channel. Plain file reading on the calling thread.
#pragma once

#include <set>
#include <string>

#include "kel/bytes.h"

namespace Vant {

// Reads the keys of the file at `path` (a list of `what`, for the messages). False,
// with `error` naming the file and the line, when it cannot be read or a line holds
// anything else.
bool readKeyList(const std::string& path, const std::string& what, std::set<kel::bytes>& keys,
                 std::string& error);

// Whether `text` is 64 hexadecimal digits.
bool isHexKey(const std::string& text);

}  // namespace Vant
