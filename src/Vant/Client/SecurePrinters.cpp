#include "Vant/Client/SecurePrinters.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <set>

#include "Vant/Client/Identity.h"
#include "Vant/KeyList.h"

namespace Vant {
namespace Client {

namespace {

// Set once by the program's main thread, read by every Session it makes later.
std::atomic<bool> everyPrinterSecure{false};

}  // namespace

std::string securePrintersPath() {
    return configFolder() + "/secure-printers";
}

void secureEveryPrinter() {
    everyPrinterSecure = true;
}

bool applyConnectionChoice(Vant::User::ClientSettings& settings, std::string& error) {
    if (everyPrinterSecure) settings.secureAll = true;
    const std::string path = securePrintersPath();
    if (::access(path.c_str(), F_OK) != 0) return true;  // nothing remembered
    std::set<kel::bytes> remembered;
    if (!Vant::readKeyList(path, "secure-printers", remembered, error)) return false;
    settings.securePrinters.insert(remembered.begin(), remembered.end());
    return true;
}

bool rememberSecurePrinter(const kel::bytes& printer, std::string& error) {
    const std::string path = securePrintersPath();
    std::set<kel::bytes> remembered;
    if (::access(path.c_str(), F_OK) == 0 && !Vant::readKeyList(path, "secure-printers", remembered, error))
        return false;
    if (remembered.count(printer) != 0) return true;
    if (!makeConfigFolder(error)) return false;
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    const std::string line = printer.toHex() + "\n";
    const bool written =
        fd >= 0 && ::write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size());
    if (!written) error = "cannot write " + path + ": " + std::strerror(errno);
    if (fd >= 0) ::close(fd);
    return written;
}

}  // namespace Client
}  // namespace Vant
