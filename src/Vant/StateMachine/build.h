// The printer's built-in state catalogue. buildStateMachine() is called once on the
// main thread at start-up, before any other thread exists, when no catalogue file
// replaces it.
#pragma once

namespace Vant {
namespace StateMachine {

// Registers the 77 built-in state types (49 primary, 28 composed) in StateTypes.
void buildStateMachine();

}  // namespace StateMachine
}  // namespace Vant
