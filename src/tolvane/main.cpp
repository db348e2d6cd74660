// tolvane: the command-line client of a printer's owner. It finds printers on the
// local network, shows what they do, prints a model (serving it to the printer
// itself), runs any task and answers the printer's questions, and interrupts tasks.
// Every sub-command has --help; docs/cli.md describes them, their JSON lines and
// their exit statuses (0 done, 1 failed or interrupted, 2 usage, 3 no printer).
//
// The main thread parses, chooses the printer and follows the task; the client core
// (Vant::Client) runs discovery and the connection on its own threads. The client's
// protocol log goes to --log (nothing by default); the screen gets only what is
// meant for a person or a script.
#include <fcntl.h>
#include <unistd.h>

#include <CLI/CLI.hpp>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "Commands.h"
#include "Terminal.h"
#include "Vant/Client/SecurePrinters.h"
#include "Vant/StateMachine/build.h"

namespace {

// Keeps the screen on a descriptor of its own and sends what the process writes to
// standard output (the client's log lines) to `logPath`.
std::FILE* screenApartFromLog(const std::string& logPath) {
    std::fflush(stdout);
    std::FILE* screen = ::fdopen(::dup(1), "w");
    const int log = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (log >= 0) {
        ::dup2(log, 1);
        ::close(log);
    }
    return screen;
}

}  // namespace

int main(int argc, char** argv) {
    tolvane::Options options;
    CLI::App app{"tolvane: find, watch and use the printers on your local network."};
    app.require_subcommand(1);
    app.fallthrough();
    app.failure_message(CLI::FailureMessage::help);
    app.set_version_flag("--version", "tolvane 5.0");
    app.add_option("--printer", options.printer,
                   "the printer to use: its address or at least 4 leading hexadecimal digits of its key");
    app.add_option("--wait", options.waitSeconds, "seconds to listen for printers (default 4)")
        ->check(CLI::Range(0.5, 600.0));
    app.add_option("--key-file", options.keyFile, "the user key file (default ~/.config/tolvane/user.key)");
    app.add_option("--log", options.logFile, "write the client's protocol log to this file");
    app.add_flag("--json", options.json, "one JSON object per line, for scripts");
    app.add_flag(
        "--secure", options.secure,
        "reach printers over the encrypted channel only, where each must prove the key it announces");

    CLI::App* printers = app.add_subcommand("printers", "every printer heard, with what it is doing");
    CLI::App* status = app.add_subcommand("status", "the printer's live tasks and what it waits for");
    CLI::App* print = app.add_subcommand("print", "print a model (STL): serve it, answer, follow to the end");
    print->add_option("model", options.model, "the model to print (an STL file)")->required();
    print->add_flag("--yes,-y", options.yes, "answer yes to \"is the bed clear?\"");
    print->add_flag("--detach", options.detach, "return once the printer has the model");
    print->add_option("--set", options.assignments, "a task variable, NAME=VALUE (layerHeight=0.2, ...)");
    CLI::App* run = app.add_subcommand("run", "run a task (Maintaining, LoadingFilament, WifiSetup, ...)");
    run->add_option("type", options.taskType, "the task's state type")->required();
    run->add_option("--set", options.assignments, "a task variable, NAME=VALUE");
    run->add_option("--ssid", options.ssid, "the Wi-Fi network, for WifiSetup");
    run->add_option("--passphrase", options.passphrase, "its pass phrase, for WifiSetup (better asked)");
    run->add_flag("--yes,-y", options.yes, "answer yes to the printer's questions");
    CLI::App* cancel = app.add_subcommand("cancel", "interrupt a task");
    cancel->add_option("task", options.taskId, "the task's id (tolvane status shows it)")->required();
    CLI::App* watch = app.add_subcommand("watch", "a live view of every printer and its tasks, until Ctrl-C");
    CLI::App* pair = app.add_subcommand(
        "pair",
        "this user's key, as a line for a printer's trusted users; with --printer, reach that printer "
        "over the encrypted channel from now on");
    CLI::App* web = app.add_subcommand("web", "a live dashboard of every printer in the browser, until Ctrl-C");
    web->add_option("--listen", options.listen, "ADDRESS:PORT to serve it on (default 127.0.0.1:8080)");
    web->add_option("--token", options.token, "the token a browser must give (needed beyond loopback)");
    web->add_option("--token-file", options.tokenFile, "read the token from the first line of this file");
    web->add_option("--max-upload", options.maxUploadMb, "the largest model accepted, in MB (default 256)")
        ->check(CLI::Range(1.0, 4096.0));

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        const int status = app.exit(e);
        return status == 0 ? tolvane::Done : tolvane::Usage;
    }

    Vant::StateMachine::buildStateMachine();
    if (options.secure) Vant::Client::secureEveryPrinter();
    // The commands that follow something ask what Ctrl-C should do; the others just end.
    if (print->parsed() || run->parsed() || watch->parsed()) tolvane::catchInterrupts();
    options.ansi = !options.json && tolvane::ansiTerminal(1);
    std::FILE* screen = screenApartFromLog(options.logFile);
    tolvane::Commands commands(options, screen);
    int result = tolvane::Usage;
    if (printers->parsed()) result = commands.printers();
    if (status->parsed()) result = commands.status();
    if (print->parsed()) result = commands.print();
    if (run->parsed()) result = commands.run();
    if (cancel->parsed()) result = commands.cancel();
    if (watch->parsed()) result = commands.watch();
    if (pair->parsed()) result = commands.pair();
    if (web->parsed()) result = commands.web();
    std::fflush(screen);
    return result;
}
