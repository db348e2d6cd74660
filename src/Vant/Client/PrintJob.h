// Vant::Client::PrintJob: one model printed on one printer, the way the command line
// and the dashboard both do it: the model is served from this machine's address
// towards the printer (FileServer), a "Printing" task is added, the printer's request
// for the model is answered with the link and the model's MD5 digest, and serving
// ends as soon as the printer has the model or the task has ended. Made and stepped
// by one thread at a time (the command's main thread, the dashboard's strand); the
// file server runs on the session's pool.
#pragma once

#include <boost/asio/io_service.hpp>

#include <map>
#include <memory>
#include <stdexcept>
#include <string>

#include "Vant/Client/FileServer.h"
#include "Vant/Client/TaskView.h"
#include "Vant/User/Printer.h"
#include "kel/var.h"

namespace Vant {
namespace Client {

class PrintJob {
public:
    // Why a job could not start, in a person's words.
    struct Refused : std::runtime_error {
        using std::runtime_error::runtime_error;
    };

    // Checks the model, serves it and adds the "Printing" task with `variables`;
    // throws Refused when the model cannot be read or the printer cannot be reached.
    PrintJob(boost::asio::io_service& io, Vant::User::Printer& printer, const std::string& model,
             const std::map<std::string, kel::var>& variables = {});
    PrintJob(const PrintJob&) = delete;
    PrintJob& operator=(const PrintJob&) = delete;

    // What one step did.
    struct Step {
        bool answeredModel = false;    // the model request was answered just now
        std::string modelRequest;      // its instance
        bool printerHasModel = false;  // the download completed just now
    };
    // Looks at the task's current view: answers the printer's model request once, and
    // ends serving when the printer has the model or the task has ended.
    Step step(const TaskView& view);

    Vant::User::Printer& printer() const { return target; }
    const std::string& taskId() const { return task; }
    const std::string& model() const { return modelPath; }
    const std::string& md5() const { return digest; }
    std::string url() const { return server->url(); }
    // True until the printer has the model or the task has ended.
    bool serving() const { return !stopped; }
    // Ends serving at once (the task goes on); any later step does nothing more.
    void stop();

private:
    Vant::User::Printer& target;
    const std::string modelPath;
    std::string digest;
    std::unique_ptr<FileServer> server;
    std::string task;
    std::string answeredInstance;
    bool stopped = false;
};

}  // namespace Client
}  // namespace Vant
