// Ending another running copy of the program before a URL launch, so that two
// clicks on a kelvo:// link never leave two copies fighting over the robot's port.
#pragma once
#include <cstdint>

// Ends the first other process that has a module whose name contains this
// program's file name (letter case ignored), with exit code 0xFFFFFFFF.
// True when one was found and ended. A copy inside an upload is never cut:
// while the upload mark is held, this waits until it is free (logging the
// wait and its outcome as warnings), and it holds the mark itself while it
// looks and ends. Otherwise it logs nothing.
bool TerminateOtherInstance(const char* applicationPath);

// Enables SeDebugPrivilege, so that processes of other users can be looked
// into where the account allows it. False where it can't be (always on Linux).
bool EnableDebugPrivilege();

// The id of the first other process in the system's order with a module whose
// lower-cased path contains name (itself lower case), or 0 for none. The path
// is the whole module path on Windows and its file name part on Linux
// (plat::ModuleNamePart).
uint32_t FindProcessByModuleName(const char* name);
