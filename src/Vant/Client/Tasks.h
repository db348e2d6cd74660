// Vant::Client tasks: what a user does to a printer's queue, on the client's copy of
// it (the proxy's synchronizer carries each change to the printer within a second):
// start a task, answer the printer's questions, interrupt a task. Any thread; the
// copy locks itself.
#pragma once

#include <map>
#include <string>

#include "Vant/User/Printer.h"
#include "kel/var.h"

namespace Vant {
namespace Client {

// The value a user's interruption gives the task variable "Interrupted".
extern const char* const CancelledByUser;

// Adds a task of `stateType` with the given task variables; its id.
std::string startTask(Vant::User::Printer& printer, const std::string& stateType,
                      const std::map<std::string, kel::var>& variables = {});

// Answers a request state: sets the variables it asks for, then its progress to 1.0.
void answer(Vant::User::Printer& printer, const std::string& taskId, const std::string& instanceId,
            const std::map<std::string, kel::var>& variables = {});
// The answer to "Uploading": the model's link and its MD5 digest.
void answerModel(Vant::User::Printer& printer, const std::string& taskId, const std::string& instanceId,
                 const std::string& link, const std::string& md5);
// The answer to "AskWifiDetails".
void answerWifi(Vant::User::Printer& printer, const std::string& taskId, const std::string& instanceId,
                const std::string& ssid, const std::string& passphrase);

// Interrupts the task as a user does: sets "Interrupted" (the printer then runs the
// task's resetting states).
void interrupt(Vant::User::Printer& printer, const std::string& taskId);

// Whether a synchronisation message sets the task variable `name` of `taskId`.
bool setsVariable(const kel::var& message, const std::string& taskId, const std::string& name);

// "NAME=VALUE": VALUE as JSON text when it reads as such (0.2, true, "text"),
// otherwise as a string. False when there is no '=' or no name.
bool parseAssignment(const std::string& text, std::string& name, kel::var& value);

}  // namespace Client
}  // namespace Vant
