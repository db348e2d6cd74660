// tolvane::web::Dashboard: what the dashboard page shows and what it may do, on the
// client core. It builds one card per printer heard (key, address, connection, live
// and lately ended tasks with their running states, progress, time left and the
// question waited on), carries out the page's commands (start a task, answer a
// question, a nozzle step, interrupt) and runs the prints started from the page
// (Vant::Client::PrintJob), deleting each uploaded model once no printer needs it.
// Called only on the web server's strand, never by two threads at once; the printers'
// copies of their queues lock themselves.
#pragma once

#include <chrono>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "Vant/Client/PrintJob.h"
#include "Vant/Client/Session.h"
#include "Vant/Client/TaskView.h"
#include "kel/var.h"

namespace tolvane {
namespace web {

// The printer name that stands for the printers announced from this machine itself
// (the dashboard on a printer's own board).
extern const char* const LocalPrinters;

// The tasks the page starts with its buttons (a print starts with its model).
extern const std::vector<std::string> StartableTasks;

class Dashboard {
public:
    // `printer` limits the dashboard to the printers that name fits (Session::fits),
    // or with LocalPrinters to those announced from this machine; "" shows every
    // printer heard.
    Dashboard(Vant::Client::Session& session, const std::string& printer,
              std::chrono::seconds keepEnded = std::chrono::seconds(600));
    // Ends serving every model and deletes the uploaded files.
    ~Dashboard();
    Dashboard(const Dashboard&) = delete;
    Dashboard& operator=(const Dashboard&) = delete;

    // Builds every card again and steps the prints; the cards that differ from the last
    // build (JSON objects).
    std::vector<kel::var> refresh(
        std::chrono::steady_clock::time_point now = std::chrono::steady_clock::now());
    // Every card of the last build, in key order (a JSON array).
    kel::var cards() const;

    // Carries out one command of the page (a JSON object with "op"); "" when done,
    // else why not, in a person's words.
    std::string command(const kel::var& command);

    // Prints the uploaded model `file` (called `name` on the page) on the printer
    // named `printer`. From the call on the file is the dashboard's: it is deleted
    // once the printer has it or the task has ended, or at once when the print cannot
    // start. The task's id, or "" with `error` set (and `notFound` for an unknown printer).
    std::string print(const std::string& printer, const std::string& file, const std::string& name,
                      const std::map<std::string, kel::var>& variables, std::string& error, bool& notFound);

    // Files of prints still being served (for the tests of what is kept).
    std::size_t servingCount() const { return jobs.size(); }

private:
    struct PrinterState {
        Vant::Client::TaskClock clock;
        std::set<std::string> seenLive;                                      // tasks seen running
        std::map<std::string, std::chrono::steady_clock::time_point> ended;  // when seen ended
        std::map<std::string, std::string> models;                           // task -> model name
        std::string lastCard;                                                // JSON text
        kel::var card;
    };
    struct Job {
        std::unique_ptr<Vant::Client::PrintJob> print;
        std::string file;
    };

    bool shown(Vant::User::Printer& printer);
    Vant::User::Printer* find(const std::string& key);
    kel::var cardOf(Vant::User::Printer& printer, PrinterState& state,
                    std::chrono::steady_clock::time_point now);
    void stepJobs(Vant::User::Printer& printer, const Vant::Client::TaskView& view);

    Vant::Client::Session& session;
    const std::string filter;
    const std::chrono::seconds keepEnded;
    std::map<std::string, PrinterState> printers;  // by key
    std::vector<Job> jobs;
    std::map<std::string, bool> ownAddresses;  // announced address -> whether it is this machine's
};

}  // namespace web
}  // namespace tolvane
