#include "Vant/Client/PrintJob.h"

#include <boost/asio/ip/address.hpp>

#include "Vant/Client/Tasks.h"
#include "Vant/Runtime/FileCache.h"

namespace Vant {
namespace Client {

PrintJob::PrintJob(boost::asio::io_service& io, Vant::User::Printer& printer, const std::string& model,
                   const std::map<std::string, kel::var>& variables)
    : target(printer), modelPath(model) {
    const boost::optional<std::string> md5 = Vant::Runtime::FileCache::digestOf(model);
    if (!Vant::Runtime::readableFile(model) || !md5) throw Refused("cannot read the model " + model);
    digest = *md5;
    boost::system::error_code notAnAddress;
    const auto printerAddress = boost::asio::ip::make_address(printer.getAvailabeAddress(), notAnAddress);
    const auto local = notAnAddress ? boost::asio::ip::address() : localAddressTowards(io, printerAddress);
    if (local.is_unspecified()) throw Refused("no route to the printer");
    try {
        server.reset(new FileServer(io, model, local));
    } catch (const std::exception& e) {
        throw Refused(std::string("cannot serve the model: ") + e.what());
    }
    task = startTask(printer, "Printing", variables);
}

PrintJob::Step PrintJob::step(const TaskView& view) {
    Step step;
    if (stopped) return step;
    for (const Question& question : view.questions) {
        if (question.type != "Uploading" || question.instance == answeredInstance) continue;
        answerModel(target, view.id, question.instance, server->url(), digest);
        answeredInstance = question.instance;
        step.answeredModel = true;
        step.modelRequest = question.instance;
    }
    for (const Stage& stage : view.stages) {
        if (stage.name == "download" && stage.started && stage.progress == 1.0) step.printerHasModel = true;
    }
    if (step.printerHasModel || view.done || view.deleted || view.isInterrupted()) stop();
    return step;
}

void PrintJob::stop() {
    stopped = true;
    server->stop();
}

}  // namespace Client
}  // namespace Vant
