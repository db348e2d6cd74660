#include "Terminal.h"

#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace tolvane {

std::atomic<bool> interruptRequested{false};

namespace {

void onInterrupt(int) {
    interruptRequested = true;
}

// Terminal settings changed for one read, put back when it ends.
class TerminalMode {
public:
    TerminalMode(bool echo, bool raw) {
        if (::tcgetattr(0, &saved) != 0) return;
        termios changed = saved;
        if (!echo) changed.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        if (raw) {
            changed.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
            changed.c_cc[VMIN] = 1;
            changed.c_cc[VTIME] = 0;
        }
        active = ::tcsetattr(0, TCSANOW, &changed) == 0;
    }
    ~TerminalMode() {
        if (active) ::tcsetattr(0, TCSANOW, &saved);
    }

private:
    termios saved{};
    bool active = false;
};

// Waits for a byte of standard input; Interrupted on Ctrl-C, Closed at its end.
Input::Result readByte(char& c) {
    for (;;) {
        if (interruptRequested) return Input::Interrupted;
        pollfd p{0, POLLIN, 0};
        const int ready = ::poll(&p, 1, 200);
        if (ready < 0 && errno != EINTR) return Input::Closed;
        if (ready <= 0) continue;
        const ssize_t n = ::read(0, &c, 1);
        if (n == 1) return Input::Line;
        if (n == 0 || errno != EINTR) return Input::Closed;
    }
}

}  // namespace

void catchInterrupts() {
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = onInterrupt;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGINT, &action, nullptr);
}

bool ansiTerminal(int fd) {
    const char* term = std::getenv("TERM");
    return ::isatty(fd) == 1 && term != nullptr && term[0] != '\0' && std::strcmp(term, "dumb") != 0;
}

Screen::Screen(std::FILE* out, bool ansi) : out(out), withAnsi(ansi) {}

std::string Screen::bar(double progress, int width) {
    const double share = progress < 0 ? 0.0 : (progress > 1.0 ? 1.0 : progress);
    const int filled = static_cast<int>(std::floor(share * width));
    return "[" + std::string(static_cast<size_t>(filled), '#') +
           std::string(static_cast<size_t>(width - filled), '-') + "]";
}

void Screen::clearBlock() {
    if (drawn > 0) std::fprintf(out, "\r\x1b[%dA\x1b[J", drawn);
    drawn = 0;
}

void Screen::drawBlock() {
    for (const Row& row : rows) {
        std::string line = "  " + row.label;
        if (line.size() < 12) line.resize(12, ' ');
        if (row.progress >= 0) line += bar(row.progress, 30) + " ";
        line += row.status;
        if (!row.detail.empty()) line += "  " + row.detail;
        std::fprintf(out, "\x1b[2K%s\n", line.c_str());
    }
    drawn = static_cast<int>(rows.size());
}

void Screen::show(const std::vector<Row>& newRows) {
    if (withAnsi) {
        clearBlock();
        rows = newRows;
        drawBlock();
    } else {
        for (const Row& row : newRows) {
            auto printed = printedRow.find(row.label);
            if (printed != printedRow.end() && printed->second == row.status) continue;
            printedRow[row.label] = row.status;
            std::string line = row.label + ": " + row.status;
            if (!row.detail.empty()) line += " (" + row.detail + ")";
            std::fprintf(out, "%s\n", line.c_str());
        }
    }
    std::fflush(out);
}

void Screen::say(const std::string& line) {
    if (withAnsi) clearBlock();
    std::fprintf(out, "%s\n", line.c_str());
    if (withAnsi) drawBlock();
    std::fflush(out);
}

void Screen::ask(const std::string& question) {
    if (withAnsi) clearBlock();
    std::fprintf(out, "%s ", question.c_str());
    std::fflush(out);
}

void Screen::release() {
    rows.clear();
    drawn = 0;
    printedRow.clear();
}

Input::Input() : terminal(::isatty(0) == 1) {}

Input::Result Input::readLine(std::string& line, bool echo) {
    TerminalMode mode(echo, false);
    line.clear();
    for (;;) {
        char c;
        const Result got = readByte(c);
        if (got != Line) return got;
        if (c == '\n') break;
        if (c != '\r') line += c;
    }
    return Line;
}

Input::Key Input::readKey() {
    if (!terminal) {
        std::string line;
        const Result got = readLine(line);
        if (got == Interrupted) return KeyInterrupted;
        if (got == Closed) return KeyClosed;
        if (line == "up" || line == "u" || line == "+") return Up;
        if (line == "down" || line == "d" || line == "-") return Down;
        return Done;
    }
    TerminalMode mode(false, true);
    char c;
    Result got = readByte(c);
    if (got != Line) return got == Interrupted ? KeyInterrupted : KeyClosed;
    if (c == '\n' || c == '\r') return Done;
    if (c == 'u' || c == '+' || c == 'k') return Up;
    if (c == 'd' || c == '-' || c == 'j') return Down;
    if (c == '\x1b') {
        char sequence[2];
        if (readByte(sequence[0]) != Line || readByte(sequence[1]) != Line) return Other;
        if (sequence[0] == '[' && sequence[1] == 'A') return Up;
        if (sequence[0] == '[' && sequence[1] == 'B') return Down;
    }
    return Other;
}

}  // namespace tolvane
