#include "Commands.h"

#include <boost/asio/ip/address.hpp>

#include <pwd.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <stdexcept>
#include <thread>

#include "Vant/Client/FileServer.h"
#include "Vant/Client/SecurePrinters.h"
#include "Vant/Client/PrintJob.h"
#include "Vant/Client/Tasks.h"
#include "Vant/Runtime/FileCache.h"
#include "Vant/StateMachine/StateType.h"

namespace tolvane {

using std::chrono::milliseconds;
using Vant::Client::TaskView;
using Vant::User::Printer;
using Clock = std::chrono::steady_clock;

namespace {

const milliseconds FollowStep(100);
const milliseconds DeliveryDeadline(15000);
// How long a printer may stay unreachable before a follower gives up.
const std::chrono::seconds LostAfter(30);

milliseconds seconds(double s) {
    return milliseconds(static_cast<long>(s * 1000));
}

std::string addressOf(Printer& printer) {
    const std::string connected = printer.getAvailabeAddress();
    return connected.empty() ? printer.getAnnouncedAddress() : connected;
}

// What to call a printer in a sentence.
std::string printerName(Printer& printer) {
    return Vant::Client::shortKey(printer) + " at " + addressOf(printer);
}

// Who runs this, for the comment of a trusted-users line: "user@host".
std::string userAtHost() {
    const passwd* entry = ::getpwuid(::geteuid());
    char host[256] = {0};
    if (::gethostname(host, sizeof host - 1) != 0) host[0] = '\0';
    return std::string(entry != nullptr ? entry->pw_name : "user") + "@" + (host[0] != '\0' ? host : "host");
}

std::string joined(const std::vector<std::string>& words, const std::string& separator) {
    std::string text;
    for (const std::string& word : words) text += (text.empty() ? "" : separator) + word;
    return text;
}

// The view's state as far as a person notices it: whole percentages, the running
// states, the question and the ending. A line or a JSON object is written when it
// changes, not at every line of a print.
std::string signatureOf(const TaskView& view) {
    std::string text = Vant::Client::percentText(view.progress) + "|" + joined(view.running, ",") + "|" +
                       view.question + "|" + view.interrupted + (view.done ? "|done" : "") +
                       (view.deleted ? "|deleted" : "");
    for (const Vant::Client::Stage& stage : view.stages) {
        text += "|" + (stage.started ? Vant::Client::percentText(stage.progress) : std::string("-"));
    }
    return text;
}

}  // namespace

Commands::Commands(const Options& options, std::FILE* screen)
    : options(options), out(screen), screen(screen, options.ansi) {}

Commands::~Commands() {
    session.reset();
}

void Commands::say(const std::string& line) {
    if (options.json) return;
    screen.say(line);
}

void Commands::emit(kel::var object) {
    std::fprintf(out, "%s\n", object.toJsonString().c_str());
    std::fflush(out);
}

int Commands::fail(int status, const std::string& message) {
    if (options.json) {
        kel::var error;
        error["event"] = "error";
        error["message"] = message;
        error["status"] = status;
        emit(error);
    } else {
        screen.release();
        std::fflush(out);
        std::fprintf(stderr, "tolvane: %s\n", message.c_str());
    }
    return status;
}

kel::var Commands::printerJson(Printer& printer) {
    kel::var object;
    object["printer"] = Vant::Client::keyText(printer);
    object["address"] = addressOf(printer);
    object["version"] = printer.getVersion();
    object["revision"] = printer.getRevision();
    return object;
}

bool Commands::loadIdentity() {
    std::string error;
    const std::string path = options.keyFile.empty() ? Vant::Client::defaultKeyPath() : options.keyFile;
    if (!identity.load(path, error)) {
        fail(Usage, error);
        return false;
    }
    return true;
}

bool Commands::begin() {
    if (!loadIdentity()) return false;
    try {
        session.reset(new Vant::Client::Session(identity.privateKey()));
    } catch (const std::invalid_argument& e) {
        fail(Usage, e.what());  // the remembered printers do not read
        return false;
    } catch (const std::exception& e) {
        fail(Unreachable, std::string("cannot listen for printers: ") + e.what());
        return false;
    }
    session->start();
    return true;
}

int Commands::choose(Printer*& printer) {
    const int selected = select(printer);
    if (selected != Done) return selected;
    if (!Vant::Client::Session::waitReady(*printer)) {
        std::string why;
        if (session->user().getSettings().secure(printer->getPublicKey())) {
            why =
                " over the encrypted channel: it must prove the key it announces and let this user in "
                "(tolvane "
                "pair shows the key to add to its trusted users)";
            if (!identity.persistent())
                why += "; this run uses a key of its own, as another tolvane holds the key file";
        }
        return fail(Unreachable, "the printer " + printerName(*printer) + " does not answer" + why);
    }
    return Done;
}

int Commands::select(Printer*& printer) {
    if (!begin()) return Usage;
    const Vant::Client::Selection selection = session->select(options.printer, seconds(options.waitSeconds));
    switch (selection.status) {
        case Vant::Client::Selection::BadName:
            return fail(Usage, "--printer takes an address or at least 4 hexadecimal digits of a key: \"" +
                                   options.printer + "\"");
        case Vant::Client::Selection::NoneFound:
            return fail(Unreachable, options.printer.empty() ? "no printer found on the local network"
                                                             : "no printer \"" + options.printer +
                                                                   "\" found on the local network");
        case Vant::Client::Selection::Ambiguous: {
            std::string list;
            for (Printer* candidate : selection.candidates) {
                list += "\n  " + Vant::Client::keyText(*candidate) + " at " + addressOf(*candidate);
            }
            return fail(Usage, "several printers answer; choose one with --printer:" + list);
        }
        case Vant::Client::Selection::Chosen:
            break;
    }
    printer = selection.printer;
    return Done;
}

std::vector<TaskView> Commands::liveTasks(Printer& printer) {
    std::vector<TaskView> views;
    const kel::var queue = printer.taskQueue().getQueue();
    if (!queue.isMap() || !queue.has("tasks") || !queue["tasks"].isArray()) return views;
    const kel::var& tasks = queue["tasks"];
    for (unsigned i = 0; i < tasks.size(); ++i) {
        TaskView view = Vant::Client::viewOf(tasks[i]);
        if (view.live()) views.push_back(view);
    }
    return views;
}

bool Commands::assignments(std::map<std::string, kel::var>& variables) {
    for (const std::string& text : options.assignments) {
        std::string name;
        kel::var value;
        if (!Vant::Client::parseAssignment(text, name, value)) {
            fail(Usage, "--set takes NAME=VALUE: \"" + text + "\"");
            return false;
        }
        variables[name] = value;
    }
    return true;
}

int Commands::printers() {
    if (!begin()) return Usage;
    std::this_thread::sleep_for(seconds(options.waitSeconds));
    std::vector<Printer*> heard;
    for (Printer* printer : session->printers()) {
        if (options.printer.empty() || Vant::Client::Session::fits(*printer, options.printer))
            heard.push_back(printer);
    }
    if (heard.empty()) return fail(Unreachable, "no printer found on the local network");
    const auto deadline = Clock::now() + Vant::Client::ReadyDeadline;
    for (Printer* printer : heard) {
        const bool ready = Vant::Client::Session::waitReady(
            *printer,
            std::chrono::duration_cast<milliseconds>(std::max(deadline - Clock::now(), Clock::duration(0))));
        std::vector<std::string> doing;
        kel::var tasks = kel::var::fromJsonString("[]");
        for (const TaskView& view : liveTasks(*printer)) {
            doing.push_back(Vant::Client::summaryLine(view));
            tasks.add(Vant::Client::toJson(view));
        }
        if (options.json) {
            kel::var object = printerJson(*printer);
            object["reachable"] = ready;
            if (ready) object["tasks"] = tasks;
            emit(object);
            continue;
        }
        const std::string summary = !ready ? "does not answer" : doing.empty() ? "idle" : joined(doing, "; ");
        say(Vant::Client::keyText(*printer) + "  " + addressOf(*printer) + "  version " +
            std::to_string(printer->getVersion()) + "." + std::to_string(printer->getRevision()) + "  " +
            summary);
    }
    return Done;
}

int Commands::status() {
    Printer* printer = nullptr;
    const int chosen = choose(printer);
    if (chosen != Done) return chosen;
    const std::vector<TaskView> views = liveTasks(*printer);
    if (options.json) {
        kel::var object = printerJson(*printer);
        kel::var tasks = kel::var::fromJsonString("[]");
        for (const TaskView& view : views) tasks.add(Vant::Client::toJson(view));
        object["tasks"] = tasks;
        emit(object);
        return Done;
    }
    say("Printer " + Vant::Client::keyText(*printer) + " at " + addressOf(*printer) + ": " +
        (views.empty() ? "idle" : std::to_string(views.size()) + (views.size() == 1 ? " task" : " tasks")));
    for (const TaskView& view : views) {
        say("");
        say("  " + view.type + "  " + view.id +
            "  now: " + (view.running.empty() ? "-" : joined(view.running, ", ")));
        std::string line = "  " + (options.ansi ? Screen::bar(view.progress, 30) + " " : std::string()) +
                           Vant::Client::percentText(view.progress);
        if (view.secondsLeft >= 0)
            line += "  about " + Vant::Client::durationText(view.secondsLeft) + " left";
        say(line);
        if (!view.question.empty()) say("  the printer asks: " + Vant::Client::questionText(view.question));
        if (view.isInterrupted()) say("  interrupted: " + view.interrupted);
    }
    return Done;
}

int Commands::print() {
    if (!Vant::Runtime::readableFile(options.model))
        return fail(Usage, "cannot read the model " + options.model);
    std::map<std::string, kel::var> variables;
    if (!assignments(variables)) return Usage;
    Printer* printer = nullptr;
    const int chosen = choose(printer);
    if (chosen != Done) return chosen;

    Job job;
    try {
        job.print.reset(new Vant::Client::PrintJob(session->io(), *printer, options.model, variables));
    } catch (const Vant::Client::PrintJob::Refused& e) {
        return fail(Unreachable, std::string(e.what()) + " (printer " + printerName(*printer) + ")");
    }
    const std::string taskId = job.print->taskId();
    if (options.json) {
        kel::var started = printerJson(*printer);
        started["event"] = "started";
        started["task"] = taskId;
        started["type"] = "Printing";
        started["model"] = options.model;
        started["md5"] = job.print->md5();
        emit(started);
    }
    say("Printing " + options.model + " on printer " + printerName(*printer) + " (task " + taskId + ")");
    const int result = follow(*printer, taskId, job);
    job.print->stop();
    return result;
}

int Commands::run() {
    const kel::var& types = Vant::StateMachine::StateTypes;
    if (!types.isMap() || !types.has(options.taskType)) {
        return fail(Usage, "no task type \"" + options.taskType +
                               "\"; task types are Maintaining, "
                               "LoadingFilament, EjectingFilament, NozzleCalibration, WifiSetup, Packaging, "
                               "StartingUp and Printing");
    }
    std::map<std::string, kel::var> variables;
    if (!assignments(variables)) return Usage;
    Printer* printer = nullptr;
    const int chosen = choose(printer);
    if (chosen != Done) return chosen;
    const std::string taskId = Vant::Client::startTask(*printer, options.taskType, variables);
    if (options.json) {
        kel::var started = printerJson(*printer);
        started["event"] = "started";
        started["task"] = taskId;
        started["type"] = options.taskType;
        emit(started);
    }
    say(options.taskType + " on printer " + printerName(*printer) + " (task " + taskId + ")");
    Job job;
    return follow(*printer, taskId, job);
}

int Commands::pair() {
    Printer* printer = nullptr;
    if (options.printer.empty()) {
        if (!loadIdentity()) return Usage;
    } else {
        const int selected = select(printer);
        if (selected != Done) return selected;
    }
    const std::string key = identity.storedPublicKey().toHex();
    const std::string line = key + "  # " + userAtHost();
    std::string error;
    if (printer && !Vant::Client::rememberSecurePrinter(printer->getPublicKey(), error))
        return fail(Failed, error);
    if (options.json) {
        kel::var object = printer ? printerJson(*printer) : kel::var();
        object["event"] = "pair";
        object["key"] = key;
        object["line"] = line;
        emit(object);
        return Done;
    }
    say("This user's key: " + key);
    say("For a printer that lets trusted users in only, its owner appends this line to its trusted-users "
        "file");
    say("and has it read again (systemctl reload tolvane-ferrow):");
    say(line);
    if (printer) {
        say("tolvane now reaches printer " + printerName(*printer) +
            " over the encrypted channel only, where it must prove its key " +
            Vant::Client::keyText(*printer) + " (remembered in " + Vant::Client::securePrintersPath() + ")");
    }
    return Done;
}

int Commands::cancel() {
    Printer* printer = nullptr;
    const int chosen = choose(printer);
    if (chosen != Done) return chosen;
    const TaskView view = Vant::Client::viewOf(printer->taskQueue().getTask(options.taskId));
    if (view.deleted) return fail(Failed, "the printer has no task " + options.taskId);
    if (view.done) return fail(Failed, "the task " + options.taskId + " has already ended");

    std::mutex mutex;  // guards delivered: the pool's delivery against this thread
    bool delivered = false;
    const std::string taskId = options.taskId;
    session->onDelivered([&](Printer& to, const kel::var& message) {
        if (&to != printer || !Vant::Client::setsVariable(message, taskId, "Interrupted")) return;
        std::lock_guard<std::mutex> lock(mutex);
        delivered = true;
    });
    Vant::Client::interrupt(*printer, taskId);
    const bool reached = Vant::Client::waitFor(
        [&]() {
            std::lock_guard<std::mutex> lock(mutex);
            return delivered;
        },
        DeliveryDeadline);
    session->onDelivered(nullptr);
    if (!reached)
        return fail(Unreachable, "the printer " + printerName(*printer) + " did not take the interruption");
    if (options.json) {
        kel::var object = printerJson(*printer);
        object["event"] = "interrupted";
        object["task"] = taskId;
        object["type"] = view.type;
        emit(object);
    }
    say("Interrupted " + view.type + " task " + taskId + " on printer " + printerName(*printer) + ".");
    return Done;
}

int Commands::watch() {
    if (!begin()) return Usage;
    std::map<std::string, std::string> shown;  // key -> signature of what was last written (plain, JSON)
    while (!interruptRequested) {
        std::vector<Row> rows;
        for (Printer* printer : session->printers()) {
            if (!options.printer.empty() && !Vant::Client::Session::fits(*printer, options.printer)) continue;
            const bool ready = printer->connected() && printer->receivedMessages() > 0;
            const std::vector<TaskView> views = ready ? liveTasks(*printer) : std::vector<TaskView>();
            Row head;
            head.label = Vant::Client::shortKey(*printer);
            head.status = addressOf(*printer) + (ready ? (views.empty() ? "  idle" : "") : "  not connected");
            rows.push_back(head);
            std::string signature = head.status;
            kel::var tasks = kel::var::fromJsonString("[]");
            for (const TaskView& view : views) {
                Row row;
                row.label = Vant::Client::shortKey(*printer) + " " + view.id;
                row.progress = view.progress;
                row.status = Vant::Client::summaryLine(view);
                rows.push_back(row);
                signature += "|" + view.id + signatureOf(view);
                tasks.add(Vant::Client::toJson(view));
            }
            if (options.json && shown[head.label] != signature) {
                shown[head.label] = signature;
                kel::var object = printerJson(*printer);
                object["connected"] = ready;
                object["tasks"] = tasks;
                emit(object);
            }
        }
        if (!options.json) {
            if (rows.empty()) {
                Row none;
                none.label = "printers";
                none.status = "none heard yet";
                rows.push_back(none);
            }
            screen.show(rows);
        }
        std::this_thread::sleep_for(milliseconds(500));
    }
    return Done;
}

std::vector<Row> Commands::rowsOf(const TaskView& view) {
    std::vector<Row> rows;
    for (const Vant::Client::Stage& stage : view.stages) {
        Row row;
        row.label = stage.name;
        row.progress = stage.started ? stage.progress : 0.0;
        row.status = stage.started ? Vant::Client::percentText(stage.progress) : "waiting";
        rows.push_back(row);
    }
    Row overall;
    overall.label = "overall";
    overall.progress = view.progress;
    overall.status = view.done ? "done" : Vant::Client::percentText(view.progress);
    if (!view.done && view.secondsLeft >= 0) {
        overall.detail = "about " + Vant::Client::durationText(view.secondsLeft) + " left";
    }
    rows.push_back(overall);
    Row now;
    now.label = "now";
    now.status = view.running.empty() ? "-" : joined(view.running, ", ");
    if (!view.question.empty()) now.status += "  (asks: " + Vant::Client::questionText(view.question) + ")";
    rows.push_back(now);
    return rows;
}

int Commands::follow(Printer& printer, const std::string& taskId, Job& job) {
    Vant::Client::TaskClock clock;
    std::string lastSignature;
    std::string firstInterruption;
    auto lastContact = Clock::now();
    for (;;) {
        if (interruptRequested) {
            interruptRequested = false;
            bool goOn = true;
            const int result = askAboutInterruption(printer, taskId, goOn);
            if (!goOn) return result;
        }
        const TaskView view = Vant::Client::viewOf(printer.taskQueue().getTask(taskId), &clock);
        // The printer may name the interruption again as it stops a job (a cancelled
        // print's layering reports "FailedLayering"): the first name says why.
        if (firstInterruption.empty()) firstInterruption = view.interrupted;
        if (printer.connected()) lastContact = Clock::now();
        if (Clock::now() - lastContact > LostAfter) {
            return fail(Unreachable, "lost the printer " + printerName(printer) + "; the task " + taskId +
                                         " may go on there");
        }
        if (view.deleted) return fail(Failed, "the task " + taskId + " was deleted");

        const std::string signature = signatureOf(view);
        if (options.json) {
            if (signature != lastSignature) {
                kel::var object = Vant::Client::toJson(view);
                object["event"] = "progress";
                object["printer"] = Vant::Client::keyText(printer);
                emit(object);
            }
        } else if (options.ansi || signature != lastSignature) {
            screen.show(rowsOf(view));
        }
        lastSignature = signature;

        if (job.print && job.print->serving()) {
            // The model is given as soon as it is asked for, whatever else is asked.
            const Vant::Client::PrintJob::Step step = job.print->step(view);
            if (step.answeredModel) {
                say("The printer asks for the model: serving it at " + job.print->url());
                noteAnswer(view.id, step.modelRequest, "Uploading", job.print->url());
            }
            if (step.printerHasModel) {
                say("The printer has the model.");
                if (options.detach) {
                    screen.release();
                    say("It goes on printing; follow it with: tolvane status");
                    return Done;
                }
            }
        }

        if (view.done) {
            screen.release();
            if (options.json) {
                kel::var object;
                object["event"] = "end";
                object["task"] = taskId;
                object["type"] = view.type;
                object["status"] = view.isInterrupted() ? "interrupted" : "done";
                if (view.isInterrupted()) object["interrupted"] = firstInterruption;
                if (view.isInterrupted() && firstInterruption != view.interrupted) {
                    object["reported"] = view.interrupted;
                }
                emit(object);
            }
            if (view.isInterrupted()) {
                const bool renamed = !firstInterruption.empty() && firstInterruption != view.interrupted;
                say("The task was interrupted: " +
                    (renamed ? firstInterruption + " (then " + view.interrupted + ")" : view.interrupted));
                return Failed;
            }
            say(view.type == "Printing" ? "The print has completed." : view.type + " has completed.");
            return Done;
        }

        if (!view.question.empty() && answered.count(view.questionInstance) == 0) {
            int result = Done;
            if (!answer(printer, view, result)) return result;
            continue;
        }
        std::this_thread::sleep_for(FollowStep);
    }
}

void Commands::noteAnswer(const std::string& taskId, const std::string& instance, const std::string& question,
                          const std::string& what) {
    answered.insert(instance);
    if (options.json) {
        kel::var object;
        object["event"] = "answered";
        object["task"] = taskId;
        object["question"] = question;
        object["answer"] = what;
        emit(object);
    }
}

bool Commands::askYes(const std::string& question, bool& yes) {
    yes = false;
    if (options.json) {
        kel::var object;
        object["event"] = "question";
        object["question"] = question;
        emit(object);
    }
    if (!options.json) screen.ask(question + " [y/N]");
    std::string line;
    const Input::Result got = input.readLine(line);
    if (got != Input::Line) return false;
    yes = !line.empty() && (line[0] == 'y' || line[0] == 'Y');
    return true;
}

bool Commands::answer(Printer& printer, const TaskView& view, int& result) {
    const std::string& type = view.question;
    const std::string& instance = view.questionInstance;
    auto done = [&](const std::string& what) {
        noteAnswer(view.id, instance, type, what);
        return true;
    };
    // A question this run cannot answer stays for someone who can (the phone app, a
    // person at the printer); the task is followed meanwhile.
    auto leave = [&](const std::string& why) {
        answered.insert(instance);
        say("The printer waits for " + Vant::Client::questionText(type) + ": " + why);
        return true;
    };
    auto closedInput = [&]() {
        if (interruptRequested) return true;  // the follower asks what to do next
        result =
            fail(Failed, "no answer to \"" + Vant::Client::questionText(type) +
                             "\" (standard input closed); the task " + view.id + " waits on the printer");
        return false;
    };

    if (type == "Uploading") return leave("give the model with tolvane print");  // a print's job answers it
    if (type == "AskClearBed" || type == "AskCartridgeColor" || type == "AskRemoveCartridge") {
        const std::string question = type == "AskClearBed"         ? "Is the bed clear?"
                                     : type == "AskCartridgeColor" ? "Is the new cartridge in place?"
                                                                   : "Have you removed the cartridge?";
        bool yes = options.yes;
        if (yes) {
            say(question + " yes (--yes)");
        } else {
            while (!yes) {
                if (!askYes(question, yes)) return closedInput();
                if (!yes) say("The printer waits; answer y once it is so (Ctrl-C to interrupt the task).");
            }
        }
        Vant::Client::answer(printer, view.id, instance);
        return done("yes");
    }
    if (type == "AskWifiDetails") {
        std::string ssid = options.ssid, passphrase = options.passphrase;
        if (ssid.empty()) {
            if (!options.json) screen.ask("Wi-Fi network name:");
            if (input.readLine(ssid) != Input::Line) return closedInput();
        }
        if (passphrase.empty()) {
            if (!options.json) screen.ask("Pass phrase (not shown):");
            const Input::Result got = input.readLine(passphrase, false);
            if (!options.json) say("");  // the Enter typed was not shown either
            if (got != Input::Line) return closedInput();
        }
        Vant::Client::answerWifi(printer, view.id, instance, ssid, passphrase);
        return done(ssid);
    }
    if (type == "AskAdjustment") {
        if (options.json) return leave("the nozzle is adjusted interactively");
        say("Adjust the nozzle: up/down arrows (or u/d) move it a step, Enter when it just touches the "
            "paper.");
        for (;;) {
            const Input::Key key = input.readKey();
            if (key == Input::Up || key == Input::Down) {
                printer.startCalibrationMovement(key == Input::Up ? "up" : "down");
                printer.stopCalibrationMovement();
                continue;
            }
            if (key == Input::Done) break;
            if (key == Input::KeyInterrupted || key == Input::KeyClosed) return closedInput();
        }
        Vant::Client::answer(printer, view.id, instance);
        return done("adjusted");
    }
    if (options.yes) {
        Vant::Client::answer(printer, view.id, instance);
        return done("yes");
    }
    bool yes = false;
    if (!askYes("The printer asks: " + Vant::Client::questionText(type) + ". Go on?", yes))
        return closedInput();
    if (yes) {
        Vant::Client::answer(printer, view.id, instance);
        return done("yes");
    }
    return leave("not answered");
}

int Commands::askAboutInterruption(Printer& printer, const std::string& taskId, bool& goOn) {
    goOn = true;
    bool stop = false;
    if (input.interactive()) {
        if (!askYes("Interrupt the task on the printer? (no: leave it running and quit)", stop)) {
            stop = interruptRequested.exchange(false);  // a second Ctrl-C interrupts
        }
    }
    if (!stop) {
        goOn = false;
        say("The task " + taskId + " goes on on the printer; follow it with: tolvane status");
        return Done;
    }
    Vant::Client::interrupt(printer, taskId);
    say("Interrupting the task " + taskId + "...");
    return Done;
}

}  // namespace tolvane
