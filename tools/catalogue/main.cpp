// tolvane-catalogue: writes the built-in state catalogue as a catalogue file
// ("dump"), or checks a catalogue file before it goes to a printer ("check FILE";
// one line per problem, exit status 1 when there is any).
#include <iostream>
#include <string>

#include "CatalogueCheck.h"
#include "Vant/Ferrow/Startup.h"

namespace {

int usage() {
    std::cerr << "Usage :" << std::endl;
    std::cerr << "\ttolvane-catalogue dump          the built-in catalogue as a stateMachine.json"
              << std::endl;
    std::cerr << "\ttolvane-catalogue check FILE    lists the problems of a catalogue file" << std::endl;
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string command = argc > 1 ? argv[1] : "";
    if (command == "dump" && argc == 2) {
        std::cout << CatalogueTool::dumpBuiltInCatalogue() << std::endl;
        return 0;
    }
    if (command == "check" && argc == 3) {
        const std::string path = argv[2];
        if (!Vant::Ferrow::fileExist(path)) {
            std::cout << path << ": no such file" << std::endl;
            return 1;
        }
        const auto problems = CatalogueTool::checkCatalogue(Vant::Ferrow::readFile(path));
        for (const std::string& problem : problems) std::cout << problem << std::endl;
        return problems.empty() ? 0 : 1;
    }
    return usage();
}
