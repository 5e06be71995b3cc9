// The console of a command prompt that started us, if there is one.
#pragma once

namespace plat {

// Windows: attach to the parent's console and point stdout/stdin at it.
// Linux: standard output always carries console messages; this answers
// whether it is a terminal. True means "a person may be watching".
bool AttachParentConsole();

// Clears the console window we attached to (Windows only; elsewhere nothing).
void ClearConsole();

// Puts an Enter key press and release into the console's input, so the
// command prompt shows its prompt again (Windows only; elsewhere nothing).
void SendEnterKey();

}  // namespace plat
