// Checks of a catalogue file (the JSON text of a stateMachine.json) for the
// tolvane-catalogue tool: everything that would make the daemon misread or stall on
// a hand-edited catalogue, found before the file is copied to a printer. Plain
// functions on one thread.
#pragma once

#include <string>
#include <vector>

namespace CatalogueTool {

// One line per problem, in the order of the records' names and of their items;
// empty when the catalogue is sound.
std::vector<std::string> checkCatalogue(const std::string& text);

// The built-in catalogue as the indented JSON text of a catalogue file.
std::string dumpBuiltInCatalogue();

}  // namespace CatalogueTool
