// The sub-commands of tolvane. One Commands object serves one run, on the main
// thread: it loads the user's key, starts the client session, chooses the printer
// and follows tasks, drawing on the Screen or writing JSON lines.
#pragma once

#include <cstdio>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "Terminal.h"
#include "Vant/Client/Identity.h"
#include "Vant/Client/Session.h"
#include "Vant/Client/TaskView.h"
#include "kel/var.h"

namespace Vant {
namespace Client {
class PrintJob;
}
}  // namespace Vant

namespace tolvane {

// Exit statuses.
enum Status { Done = 0, Failed = 1, Usage = 2, Unreachable = 3 };

struct Options {
    std::string printer;
    double waitSeconds = 4.0;
    std::string keyFile;
    std::string logFile = "/dev/null";
    bool json = false;
    bool secure = false;  // every printer over the encrypted channel
    bool ansi = false;
    // print / run / cancel
    std::string model;
    bool yes = false;
    bool detach = false;
    std::vector<std::string> assignments;
    std::string taskType;
    std::string ssid;
    std::string passphrase;
    std::string taskId;
    // web
    std::string listen = "127.0.0.1:8080";
    std::string token;
    std::string tokenFile;
    double maxUploadMb = 256;
};

class Commands {
public:
    Commands(const Options& options, std::FILE* screen);
    ~Commands();

    int printers();
    int status();
    int print();
    int run();
    int cancel();
    int watch();
    int pair();
    int web();  // WebCommand.cpp

private:
    // What the follower does besides showing the task.
    struct Job {
        std::unique_ptr<Vant::Client::PrintJob> print;  // print: the model served and asked for
    };

    bool loadIdentity();  // the key; false after saying why
    bool begin();         // the key and the session; false after saying why
    // Chooses the printer and waits until it is ready; a status other than Done after
    // saying why.
    int choose(Vant::User::Printer*& printer);
    // Chooses the printer, ready or not; a status other than Done after saying why.
    int select(Vant::User::Printer*& printer);
    int follow(Vant::User::Printer& printer, const std::string& taskId, Job& job);
    // Answers the question of the view; false when the run must end (`result` set).
    bool answer(Vant::User::Printer& printer, const Vant::Client::TaskView& view, int& result);
    // Records that a question instance was answered (and says so in JSON).
    void noteAnswer(const std::string& taskId, const std::string& instance, const std::string& question,
                    const std::string& what);
    bool askYes(const std::string& question, bool& yes);
    int askAboutInterruption(Vant::User::Printer& printer, const std::string& taskId, bool& goOn);
    std::vector<Row> rowsOf(const Vant::Client::TaskView& view);
    // The task views of a printer's live tasks.
    std::vector<Vant::Client::TaskView> liveTasks(Vant::User::Printer& printer);
    bool assignments(std::map<std::string, kel::var>& variables);

    void say(const std::string& line);
    int fail(int status, const std::string& message);
    void emit(kel::var object);
    kel::var printerJson(Vant::User::Printer& printer);

    const Options options;
    std::FILE* out;
    Screen screen;
    Input input;
    Vant::Client::Identity identity;
    std::unique_ptr<Vant::Client::Session> session;
    std::set<std::string> answered;  // request instances answered
};

}  // namespace tolvane
