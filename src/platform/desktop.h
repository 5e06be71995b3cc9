// Making the desktop start the program for kelvo:// links, beyond the
// registry keys. Windows' shell reads the registry, so there both do nothing
// and succeed. On Linux "register" writes a desktop entry
// ($XDG_DATA_HOME/applications/kelvo-upgrader-user.desktop) and puts it first
// among the handlers of x-scheme-handler/kelvo in $XDG_CONFIG_HOME/mimeapps.list,
// both as the default and as an added association (what makes GIO, and the
// desktop portal through it, list it as registered), and takes the packages'
// entry out for that user ([Removed Associations]) unless they had; "unregister"
// removes the entry and exactly those mentions, nothing else of the file,
// also when the entry is gone: what "register" changed is kept on record
// until "unregister" has undone it. A mimeapps.list that is a link the user
// owns, to a file the user owns, is edited where it points; any other link
// is refused.
// Best effort: each returns the texts of the steps that failed, for the
// caller's warnings, and nothing when everything worked. Unregister also says
// whether it found and removed anything of ours.
#pragma once
#include <string>
#include <vector>

namespace plat {

// handlerSet (when given) is false when mimeapps.list could not be edited
// (its failure is then the last text): the user's links would go to another
// handler or none, and "register" has failed.
std::vector<std::string> RegisterSchemeHandlerDesktop(const char* title, const char* applicationPath,
                                                      bool* handlerSet = nullptr);
std::vector<std::string> UnregisterSchemeHandlerDesktop(bool* removedAny = nullptr);

// Whether the desktop's launchers can start the program at applicationPath
// from the entry RegisterSchemeHandlerDesktop writes for it. Empty when all
// of them can; otherwise a sentence for the user saying which can't, why,
// and what to do, with *noLauncher true when none can.
std::string SchemeHandlerPathProblem(const char* applicationPath, bool* noLauncher);

// Where the desktop entry is written, and the file that holds the default
// handler; empty where the platform has none.
std::string SchemeHandlerDesktopEntryPath();
std::string SchemeHandlerDefaultsPath();

}  // namespace plat
