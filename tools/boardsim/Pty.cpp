#include "Pty.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace BoardSim {

namespace {

std::runtime_error failure(const std::string& what) {
    return std::runtime_error(what + ": " + std::strerror(errno));
}

}  // namespace

Pty::Pty(std::string path) : linkPath(std::move(path)) {}

Pty::~Pty() {
    close();
}

void Pty::open() {
    close();
    master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (master < 0) throw failure("posix_openpt");
    if (grantpt(master) != 0 || unlockpt(master) != 0) throw failure("grantpt/unlockpt");
    const char* name = ptsname(master);
    if (name == nullptr) throw failure("ptsname");
    const std::string slaveName = name;
    slave = ::open(slaveName.c_str(), O_RDWR | O_NOCTTY);
    if (slave < 0) throw failure("open " + slaveName);
    // Raw from the start: no echo of the board's replies back to the board, no line
    // editing, no newline translation.
    termios settings;
    if (tcgetattr(slave, &settings) != 0) throw failure("tcgetattr");
    cfmakeraw(&settings);
    cfsetispeed(&settings, B115200);
    cfsetospeed(&settings, B115200);
    if (tcsetattr(slave, TCSANOW, &settings) != 0) throw failure("tcsetattr");

    // Replace the link atomically so a host never sees it missing.
    const std::string temporary = linkPath + ".new";
    ::unlink(temporary.c_str());
    if (::symlink(slaveName.c_str(), temporary.c_str()) != 0) throw failure("symlink " + temporary);
    if (::rename(temporary.c_str(), linkPath.c_str()) != 0) throw failure("rename " + linkPath);
}

void Pty::close() {
    if (master >= 0) ::close(master);
    if (slave >= 0) ::close(slave);
    master = -1;
    slave = -1;
}

void Pty::discardPendingOutput() {
    if (slave >= 0) tcflush(slave, TCIFLUSH);
}

void Pty::removeLink() {
    ::unlink(linkPath.c_str());
}

}  // namespace BoardSim
