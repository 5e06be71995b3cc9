// What a "register" or "unregister" that was killed leaves behind: files and
// folders under temporary names that carry its process id. The next run,
// holding the registration lock, takes away those whose process has ended.
#pragma once
#include <string>

namespace plat {

// Whether name is prefix followed by a process id (and, for the registry
// store's names, "-" and a count) of a process that no longer runs. The
// running process's own names, and those of any process that still runs
// (under its id, even one of another user), are never stale.
bool IsStaleTemporaryName(const std::string& name, const std::string& prefix);

// Removes the entries of folder named prefix + process id (+ "-" count) that
// IsStaleTemporaryName finds stale: files, and with folders true, folder
// trees too. Nothing else of the folder is touched.
void RemoveStaleTemporaries(const std::string& folder, const std::string& prefix, bool folders);

// Removes path (a file or a whole tree), without following links.
void RemoveTreeNoFollow(const std::string& path);

}  // namespace plat
