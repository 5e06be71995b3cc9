#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/posix/leftovers.h"
#include "platform/posix/registry_store.h"

namespace plat {

namespace {

// Returns whether folder is left empty.
bool Tidy(const std::string& folder, bool emptyFolders) {
  RemoveStaleTemporaries(folder, ".tmp-", false);
  RemoveStaleTemporaries(folder, ".del-", true);
  DIR* dir = ::opendir(folder.c_str());
  if (!dir) return false;
  std::vector<std::string> keys;
  bool empty = true;
  while (struct dirent* entry = ::readdir(dir)) {
    const char* n = entry->d_name;
    if (!std::strcmp(n, ".") || !std::strcmp(n, "..")) continue;
    std::string path = folder + "/" + n;
    struct stat st {};
    // A key is a folder not named with a '.' (those are another run's, alive).
    if (n[0] != '.' && ::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
      keys.push_back(path);
    } else {
      empty = false;
    }
  }
  ::closedir(dir);
  for (const std::string& key : keys) {
    if (!(Tidy(key, emptyFolders) && emptyFolders && ::rmdir(key.c_str()) == 0)) empty = false;
  }
  return empty;
}

}  // namespace

void TidyRegistryStore(const std::string& folder, bool emptyFolders) {
  if (folder.empty()) return;
  if (Tidy(folder, emptyFolders) && emptyFolders) ::rmdir(folder.c_str());
}

}  // namespace plat
