// BoardSim::Pty: one pseudo-terminal standing in for a serial device, linked at a
// path of the caller's choice. The simulator keeps the slave side open itself, in
// raw mode, so the link works before and between host connections. Owned and used
// by the simulator's single event loop.
#pragma once

#include <string>

namespace BoardSim {

class Pty {
public:
    explicit Pty(std::string linkPath);
    ~Pty();
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;

    // Creates the pseudo-terminal and points the link at its slave; throws on failure.
    void open();
    // Closes both sides: the host's reads and writes fail from now on.
    void close();
    bool isOpen() const { return master >= 0; }
    // Drops what was written to the host and not read yet.
    void discardPendingOutput();
    void removeLink();

    int fd() const { return master; }
    const std::string& path() const { return linkPath; }

private:
    std::string linkPath;
    int master = -1;
    int slave = -1;
};

}  // namespace BoardSim
