// The command line's screen and keyboard. Screen draws a block of rows (progress
// bars) that redraws in place on a terminal, and falls back to one line per change
// when standard output is not one (or TERM is dumb); messages go above the block.
// Input reads answers from standard input, giving way to Ctrl-C. Both belong to the
// main thread.
#pragma once

#include <atomic>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace tolvane {

// Set by SIGINT (Ctrl-C); the main thread looks at it and clears it.
extern std::atomic<bool> interruptRequested;
// Installs the SIGINT handler (without SA_RESTART, so a waiting read returns).
void catchInterrupts();

// Whether ANSI sequences may be written to `fd`: a terminal, and TERM is not "dumb".
bool ansiTerminal(int fd);

// One row of a block: "label [bar] status detail". `status` and the bar's progress
// decide whether a row changed; `detail` (time left) is only shown with them.
struct Row {
    std::string label;
    double progress = -1;  // the bar; negative: no bar
    std::string status;
    std::string detail;
};

class Screen {
public:
    Screen(std::FILE* out, bool ansi);

    // Shows the rows: redrawn in place on a terminal; elsewhere each row whose
    // label and status differ from what was last printed for it, one line each.
    void show(const std::vector<Row>& rows);
    // A line above the block.
    void say(const std::string& line);
    // A question whose answer is typed after it, on its line; the block is drawn
    // again below the answer.
    void ask(const std::string& question);
    // Forgets the block: what follows starts below it.
    void release();
    bool ansi() const { return withAnsi; }

    static std::string bar(double progress, int width);

private:
    void clearBlock();
    void drawBlock();

    std::FILE* out;
    const bool withAnsi;
    std::vector<Row> rows;
    int drawn = 0;                                  // rows on screen (terminal)
    std::map<std::string, std::string> printedRow;  // label -> status last printed (plain)
};

class Input {
public:
    Input();
    bool interactive() const { return terminal; }

    enum Result { Line, Interrupted, Closed };
    // Reads one line (without its newline); echo off for pass phrases.
    Result readLine(std::string& line, bool echo = true);

    // Keys of the nozzle adjustment.
    enum Key { Up, Down, Done, Other, KeyInterrupted, KeyClosed };
    // Reads one key press, raw (no Enter needed) on a terminal; elsewhere one line
    // ("up", "down", anything else ends).
    Key readKey();

private:
    bool terminal;
};

}  // namespace tolvane
