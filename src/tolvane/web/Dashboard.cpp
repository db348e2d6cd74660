#include "Dashboard.h"

#include <unistd.h>

#include <boost/asio/ip/udp.hpp>

#include <algorithm>

#include "Vant/Client/Tasks.h"

namespace tolvane {
namespace web {

using Vant::Client::TaskView;
using Vant::User::Printer;

const char* const LocalPrinters = "local";

const std::vector<std::string> StartableTasks = {"Maintaining", "LoadingFilament", "EjectingFilament",
                                                 "NozzleCalibration", "WifiSetup"};

namespace {

// The questions a button answers with "yes" / "done".
const std::set<std::string> YesQuestions = {"AskClearBed", "AskCartridgeColor", "AskRemoveCartridge",
                                            "AskAdjustment"};

// A field of a command as text; "" when absent or not text.
std::string text(const kel::var& command, const char* name) {
    return command.has(name) ? command[name].stringValue("") : std::string();
}

std::string addressOf(Printer& printer) {
    const std::string connected = printer.getAvailabeAddress();
    return connected.empty() ? printer.getAnnouncedAddress() : connected;
}

bool ready(Printer& printer) {
    return printer.connected() && printer.receivedMessages() > 0;
}

}  // namespace

Dashboard::Dashboard(Vant::Client::Session& session, const std::string& printer,
                     std::chrono::seconds keepEnded)
    : session(session), filter(printer), keepEnded(keepEnded) {}

Dashboard::~Dashboard() {
    for (Job& job : jobs) {
        job.print->stop();
        ::unlink(job.file.c_str());
    }
}

bool Dashboard::shown(Printer& printer) {
    if (filter.empty()) return true;
    if (filter != LocalPrinters) return Vant::Client::Session::fits(printer, filter);
    const std::string address = printer.getAnnouncedAddress();
    auto known = ownAddresses.find(address);
    if (known == ownAddresses.end()) {
        // Only an address of this machine's own can be bound to.
        boost::system::error_code notOurs;
        const auto parsed = boost::asio::ip::make_address(address, notOurs);
        boost::asio::ip::udp::socket probe(session.io());
        if (!notOurs)
            probe.open(parsed.is_v4() ? boost::asio::ip::udp::v4() : boost::asio::ip::udp::v6(), notOurs);
        if (!notOurs) probe.bind(boost::asio::ip::udp::endpoint(parsed, 0), notOurs);
        known = ownAddresses.emplace(address, !notOurs).first;
    }
    return known->second;
}

Printer* Dashboard::find(const std::string& key) {
    for (Printer* printer : session.printers()) {
        if (Vant::Client::keyText(*printer) != key) continue;
        return shown(*printer) ? printer : nullptr;
    }
    return nullptr;
}

void Dashboard::stepJobs(Printer& printer, const TaskView& view) {
    for (auto job = jobs.begin(); job != jobs.end();) {
        if (&job->print->printer() == &printer && job->print->taskId() == view.id) job->print->step(view);
        if (job->print->serving()) {
            ++job;
            continue;
        }
        ::unlink(job->file.c_str());  // the printer has it, or no longer needs it
        job = jobs.erase(job);
    }
}

kel::var Dashboard::cardOf(Printer& printer, PrinterState& state, std::chrono::steady_clock::time_point now) {
    kel::var card;
    card["key"] = Vant::Client::keyText(printer);
    card["short"] = Vant::Client::shortKey(printer);
    card["address"] = addressOf(printer);
    card["version"] = std::to_string(printer.getVersion()) + "." + std::to_string(printer.getRevision());
    const bool connected = ready(printer);
    card["connected"] = connected;
    kel::var shown = kel::var::fromJsonString("[]");
    const kel::var queue = connected ? printer.taskQueue().getQueue() : kel::var();
    const bool hasTasks = queue.isMap() && queue.has("tasks") && queue["tasks"].isArray();
    for (unsigned i = 0; hasTasks && i < queue["tasks"].size(); ++i) {
        const TaskView view = Vant::Client::viewOf(queue["tasks"][i], &state.clock, now);
        stepJobs(printer, view);
        if (view.deleted) continue;
        if (view.live()) {
            state.seenLive.insert(view.id);
        } else {
            // An ending seen here stays on the card a while; older ones are history.
            if (state.seenLive.count(view.id) == 0) continue;
            const auto ended = state.ended.emplace(view.id, now).first->second;
            if (now - ended > keepEnded) continue;
        }
        kel::var task = Vant::Client::toJson(view);
        task["ended"] = !view.live();
        task["percent"] = view.done ? (view.isInterrupted() ? "interrupted" : "done")
                                    : Vant::Client::percentText(view.progress);
        if (view.live() && view.secondsLeft >= 0)
            task["timeLeft"] = "about " + Vant::Client::durationText(view.secondsLeft) + " left";
        kel::var questions = kel::var::fromJsonString("[]");
        for (const Vant::Client::Question& question : view.questions) {
            kel::var asked;
            asked["question"] = question.type;
            asked["instance"] = question.instance;
            asked["waitingFor"] = Vant::Client::questionText(question.type);
            questions.add(asked);
        }
        task["questions"] = questions;
        const auto model = state.models.find(view.id);
        if (model != state.models.end()) task["model"] = model->second;
        shown.add(task);
    }
    card["tasks"] = shown;
    return card;
}

std::vector<kel::var> Dashboard::refresh(std::chrono::steady_clock::time_point now) {
    std::vector<kel::var> changed;
    for (Printer* printer : session.printers()) {
        if (!shown(*printer)) continue;
        PrinterState& state = printers[Vant::Client::keyText(*printer)];
        kel::var card = cardOf(*printer, state, now);
        std::string text = card.toJsonString();
        if (text == state.lastCard) continue;
        state.lastCard = std::move(text);
        state.card = card;
        changed.push_back(card);
    }
    return changed;
}

kel::var Dashboard::cards() const {
    kel::var all = kel::var::fromJsonString("[]");
    for (const auto& printer : printers) {
        if (printer.second.card.isDefined()) all.add(printer.second.card);
    }
    return all;
}

std::string Dashboard::command(const kel::var& command) {
    if (!command.isMap()) return "not a command";
    const std::string op = text(command, "op");
    Printer* printer = find(text(command, "printer"));
    if (printer == nullptr) return "no such printer";
    if (!ready(*printer)) return "the printer is not connected";
    if (op == "start") {
        const std::string type = text(command, "type");
        if (std::find(StartableTasks.begin(), StartableTasks.end(), type) == StartableTasks.end())
            return "the dashboard does not start \"" + type + "\"";
        Vant::Client::startTask(*printer, type);
        return std::string();
    }
    const std::string taskId = text(command, "task");
    const TaskView view = Vant::Client::viewOf(printer->taskQueue().getTask(taskId));
    if (!view.live()) return "the task has ended";
    if (op == "interrupt") {
        if (!view.isInterrupted()) Vant::Client::interrupt(*printer, taskId);
        return std::string();
    }
    const std::string instance = text(command, "instance");
    const auto asked = std::find_if(view.questions.begin(), view.questions.end(),
                                    [&](const Vant::Client::Question& q) { return q.instance == instance; });
    if (asked == view.questions.end()) return "the printer no longer asks that";
    if (op == "answer" && YesQuestions.count(asked->type) != 0) {
        Vant::Client::answer(*printer, taskId, instance);
        return std::string();
    }
    if (op == "nozzle" && asked->type == "AskAdjustment") {
        const std::string direction = text(command, "direction");
        if (direction != "up" && direction != "down") return "the nozzle moves up or down";
        printer->startCalibrationMovement(direction);
        printer->stopCalibrationMovement();
        return std::string();
    }
    if (op == "wifi" && asked->type == "AskWifiDetails") {
        const std::string ssid = text(command, "ssid"), passphrase = text(command, "passphrase");
        if (ssid.empty() || ssid.size() > 32) return "a network name has 1 to 32 characters";
        if (passphrase.size() > 63) return "a pass phrase has at most 63 characters";
        Vant::Client::answerWifi(*printer, taskId, instance, ssid, passphrase);
        return std::string();
    }
    return "the dashboard cannot answer that";
}

std::string Dashboard::print(const std::string& printerName, const std::string& file, const std::string& name,
                             const std::map<std::string, kel::var>& variables, std::string& error,
                             bool& notFound) {
    notFound = false;
    Printer* chosen = nullptr;
    if (Vant::Client::Session::validName(printerName)) {
        for (Printer* printer : session.printers()) {
            if (!Vant::Client::Session::fits(*printer, printerName)) continue;
            if (!shown(*printer)) continue;
            if (chosen != nullptr) {
                error = "several printers fit \"" + printerName + "\"";
                ::unlink(file.c_str());
                return std::string();
            }
            chosen = printer;
        }
    }
    if (chosen == nullptr || !ready(*chosen)) {
        notFound = chosen == nullptr;
        error = chosen == nullptr ? "no such printer" : "the printer is not connected";
        ::unlink(file.c_str());
        return std::string();
    }
    Job job;
    job.file = file;
    try {
        job.print.reset(new Vant::Client::PrintJob(session.io(), *chosen, file, variables));
    } catch (const Vant::Client::PrintJob::Refused& e) {
        error = e.what();
        ::unlink(file.c_str());
        return std::string();
    }
    const std::string taskId = job.print->taskId();
    printers[Vant::Client::keyText(*chosen)].models[taskId] = name;
    jobs.push_back(std::move(job));
    return taskId;
}

}  // namespace web
}  // namespace tolvane
