// Vant::Client::Identity: the user's key pair as the command-line client and the
// dashboard keep it: a private key made on first use and stored in one file (mode
// 0600, its folder 0700), so every call presents the same user to a printer and
// finds its session there. Called once, on the main thread, before anything connects.
#pragma once

#include <string>

#include "kel/bytes.h"

namespace Vant {
namespace Client {

// The client's configuration folder: $XDG_CONFIG_HOME/tolvane, or ~/.config/tolvane
// when XDG_CONFIG_HOME is unset, empty or not an absolute path.
std::string configFolder();
// Makes it (mode 0700) and the folders above it when missing; false with `error`.
bool makeConfigFolder(std::string& error);
// The key file in it, user.key.
std::string defaultKeyPath();

class Identity {
public:
    // Reads the key at `path`, or makes it (and its folder) when the file does not
    // exist. When another process of this user holds the key at the moment (a
    // `tolvane print` running while `tolvane status` asks), this process takes a key
    // of its own for this run instead: a printer keeps one connection per user key,
    // and two processes sharing one would take the connection from each other.
    // False with `error` set when the file cannot be made or does not hold a key;
    // an existing file is never overwritten.
    bool load(const std::string& path, std::string& error);

    Identity() = default;
    ~Identity();
    Identity(const Identity&) = delete;
    Identity& operator=(const Identity&) = delete;

    const kel::bytes& privateKey() const { return key; }
    kel::bytes publicKey() const;
    // The public key of the key file, whichever key this run uses: the one a printer's
    // owner adds to its trusted users.
    kel::bytes storedPublicKey() const;
    // True when the stored key is in use by this process (false: a key of this run).
    bool persistent() const { return lockFd >= 0; }

private:
    kel::bytes key;
    kel::bytes stored;  // the key file's private key
    int lockFd = -1;    // the key file, locked for this process's life
};

}  // namespace Client
}  // namespace Vant
