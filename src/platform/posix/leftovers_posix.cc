#include <dirent.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/posix/leftovers.h"

namespace plat {

namespace {

bool ProcessRuns(long pid) {
  if (pid <= 0) return true;  // no name of ours: never taken for stale
  return ::kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH;
}

bool AllDigits(const std::string& text) {
  if (text.empty() || text.size() > 9) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

}  // namespace

bool IsStaleTemporaryName(const std::string& name, const std::string& prefix) {
  if (name.size() <= prefix.size() || name.compare(0, prefix.size(), prefix) != 0) return false;
  std::string rest = name.substr(prefix.size());
  size_t dash = rest.find('-');
  std::string pid = rest.substr(0, dash);
  if (!AllDigits(pid) || (dash != std::string::npos && !AllDigits(rest.substr(dash + 1)))) {
    return false;
  }
  long id = std::stol(pid);
  return id != static_cast<long>(::getpid()) && !ProcessRuns(id);
}

void RemoveTreeNoFollow(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return;
  if (!S_ISDIR(st.st_mode)) {
    ::unlink(path.c_str());
    return;
  }
  if (DIR* dir = ::opendir(path.c_str())) {
    std::vector<std::string> children;
    while (struct dirent* entry = ::readdir(dir)) {
      if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) {
        children.push_back(path + "/" + entry->d_name);
      }
    }
    ::closedir(dir);
    for (const std::string& child : children) RemoveTreeNoFollow(child);
  }
  ::rmdir(path.c_str());
}

void RemoveStaleTemporaries(const std::string& folder, const std::string& prefix, bool folders) {
  DIR* dir = ::opendir(folder.c_str());
  if (!dir) return;
  std::vector<std::string> stale;
  while (struct dirent* entry = ::readdir(dir)) {
    if (IsStaleTemporaryName(entry->d_name, prefix)) stale.push_back(folder + "/" + entry->d_name);
  }
  ::closedir(dir);
  for (const std::string& path : stale) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) continue;
    if (S_ISDIR(st.st_mode)) {
      if (folders) RemoveTreeNoFollow(path);
    } else {
      ::unlink(path.c_str());
    }
  }
}

}  // namespace plat
