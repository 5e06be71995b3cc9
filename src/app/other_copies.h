// Ending another running copy of the program before a URL launch, so that two
// clicks on a kelvo:// link never leave two copies fighting over the robot's port.
#pragma once
#include <cstdint>

// Ends every other copy of this program of our own user that started
// before this one (a process with a module named like the program: see
// plat::ModuleNameMatches), with exit code 0xFFFFFFFF, and waits up to a few
// seconds until each is gone, so that a burst of clicks leaves the newest
// copy alone and none of the others reaches the robot or posts a report.
// Each copy is looked into, ended and waited for through one handle. True
// when one was ended. A copy inside an upload is never cut: the ending
// waits for the upload mark (robot/upload.h), but only as long as a copy to
// end lives. Logs each copy it ends and each wait; nothing when no older
// copy runs. When the program's own path was cut to its buffer, ends nothing
// and says so in a warning.
bool TerminateOtherInstance(const char* applicationPath);

// Enables SeDebugPrivilege, so that processes of other users can be looked
// into where the account allows it. False where it can't be (always on Linux).
bool EnableDebugPrivilege();

// The id of the first other process of our own user, in the system's order,
// with a module whose lower-cased path names the program (name, itself lower
// case; plat::ModuleNameMatches), or 0 for none.
uint32_t FindProcessByModuleName(const char* name);
