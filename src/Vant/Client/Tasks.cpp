#include "Vant/Client/Tasks.h"

#include "Vant/StateMachine/TaskQueue.h"

namespace Vant {
namespace Client {

const char* const CancelledByUser = "Cancelled";

std::string startTask(Vant::User::Printer& printer, const std::string& stateType,
                      const std::map<std::string, kel::var>& variables) {
    Vant::Synchronization::LocalSynchronizer& queue = printer.taskQueue();
    const std::string taskId = queue.makeTask(stateType);
    for (const auto& variable : variables) queue.setVariable(taskId, variable.first, variable.second);
    return taskId;
}

void answer(Vant::User::Printer& printer, const std::string& taskId, const std::string& instanceId,
            const std::map<std::string, kel::var>& variables) {
    Vant::Synchronization::LocalSynchronizer& queue = printer.taskQueue();
    for (const auto& variable : variables) queue.setVariable(taskId, variable.first, variable.second);
    queue.updateInstanceProgress(taskId, instanceId, 1.0);
}

void answerModel(Vant::User::Printer& printer, const std::string& taskId, const std::string& instanceId,
                 const std::string& link, const std::string& md5) {
    answer(printer, taskId, instanceId, {{"fileLink", kel::var(link)}, {"fileId", kel::var(md5)}});
}

void answerWifi(Vant::User::Printer& printer, const std::string& taskId, const std::string& instanceId,
                const std::string& ssid, const std::string& passphrase) {
    answer(printer, taskId, instanceId,
           {{"WifiDetails.Ssid", kel::var(ssid)}, {"WifiDetails.Password", kel::var(passphrase)}});
}

void interrupt(Vant::User::Printer& printer, const std::string& taskId) {
    printer.taskQueue().setVariable(taskId, "Interrupted", kel::var(CancelledByUser));
}

bool setsVariable(const kel::var& message, const std::string& taskId, const std::string& name) {
    const Vant::StateMachine::TaskQueue queue(message);
    if (!queue.isMap() || !queue.hasTask(taskId)) return false;
    const kel::var task = queue.getTask(taskId);
    return task.has("data") && task["data"].isMap() && task["data"].has(name);
}

bool parseAssignment(const std::string& text, std::string& name, kel::var& value) {
    const std::string::size_type equal = text.find('=');
    if (equal == std::string::npos || equal == 0) return false;
    name = text.substr(0, equal);
    const std::string raw = text.substr(equal + 1);
    try {
        value = kel::var::fromJsonString(raw);
        if (value.isDefined()) return true;
    } catch (const std::exception&) {
        // Not JSON text: taken as the string it is.
    }
    value = kel::var(raw);
    return true;
}

}  // namespace Client
}  // namespace Vant
