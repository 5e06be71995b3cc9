#include <unistd.h>

#include "platform/console.h"
#include "platform/system.h"

namespace plat {

bool AttachParentConsole() { return ::isatty(STDOUT_FILENO) == 1; }

// A terminal belongs to the person who started us; clearing it or typing
// into it is only a courtesy for a Windows GUI program in a console window.
void ClearConsole() {}

void SendEnterKey() {}

bool GetWindowsVersion(int*, int*) { return false; }

}  // namespace plat
