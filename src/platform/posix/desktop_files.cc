#include "platform/posix/desktop_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>

#include "platform/files.h"
#include "platform/posix/leftovers.h"
#include "platform/posix/xdg.h"

namespace plat {

namespace {
const char kRecordName[] = "desktop-registration";
const char kHidesLine[] = "hides=kelvo-upgrader.desktop";
const char kMadeKey[] = "made=";
}  // namespace

int MakeDesktopFolders(const std::string& path, std::vector<std::string>* made) {
  for (size_t at = 1; at <= path.size(); ++at) {
    if (at != path.size() && path[at] != '/') continue;
    std::string part = path.substr(0, at);
    if (::mkdir(part.c_str(), 0755) == 0) {
      if (made && std::find(made->begin(), made->end(), part) == made->end()) {
        made->push_back(part);
      }
    } else if (errno != EEXIST) {
      return errno;
    }
  }
  return 0;
}

int WriteFileAtomically(const std::string& path, const std::string& text, unsigned mode) {
  int err = MakeDesktopFolders(path.substr(0, path.rfind('/')));
  if (err) return err;
  // The temporary name is easy to guess, so anything already there (a link
  // someone placed, a file a dead copy left) is cleared, and the open refuses
  // rather than follows whatever appears in between.
  std::string temp = path + ".tmp-" + std::to_string(::getpid());
  ::unlink(temp.c_str());
  int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                  static_cast<mode_t>(mode));
  if (fd < 0) return errno;
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      err = errno;
      break;
    }
    done += static_cast<size_t>(n);
  }
  // The mode asked for, whatever the umask took away (a file edited in
  // place keeps its own).
  if (!err && ::fchmod(fd, static_cast<mode_t>(mode)) != 0) err = errno;
  if (!err && ::fsync(fd) != 0) err = errno;
  if (::close(fd) != 0 && !err) err = errno;
  if (!err && ::rename(temp.c_str(), path.c_str()) != 0) err = errno;
  if (err) ::unlink(temp.c_str());
  return err;
}

int ReadFileNoFollow(const std::string& path, std::string* text) {
  int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return errno;
  text->clear();
  char buffer[4096];
  for (;;) {
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      int err = errno;
      ::close(fd);
      return err;
    }
    if (n == 0) break;
    text->append(buffer, static_cast<size_t>(n));
  }
  ::close(fd);
  return 0;
}

int DefaultsFileToEdit(const std::string& path, std::string* file) {
  struct stat link {};
  if (::lstat(path.c_str(), &link) != 0 || !S_ISLNK(link.st_mode)) {
    *file = path;
    return 0;
  }
  uid_t me = ::geteuid();
  char resolved[PATH_MAX];
  struct stat target {};
  if (link.st_uid != me || !::realpath(path.c_str(), resolved) ||
      ::lstat(resolved, &target) != 0 || !S_ISREG(target.st_mode) || target.st_uid != me) {
    return EACCES;
  }
  *file = resolved;
  return 0;
}

void RemoveStaleTemporariesOf(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return;
  RemoveStaleTemporaries(path.substr(0, slash), path.substr(slash + 1) + ".tmp-", false);
}

std::string DesktopRecordPath() {
  std::string config = XdgBaseFolder("XDG_CONFIG_HOME", ".config");
  return config.empty() ? std::string() : config + "/KelvoUpgrader/" + kRecordName;
}

bool ReadDesktopRecord(DesktopRecord* record) {
  *record = DesktopRecord();
  std::string path = DesktopRecordPath(), text;
  if (path.empty() || ReadFileNoFollow(path, &text) != 0) return false;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    if (line == kHidesLine) record->hides = true;
    if (line.rfind(kMadeKey, 0) == 0 && line.size() > sizeof kMadeKey) {
      record->madeFolders.push_back(line.substr(sizeof kMadeKey - 1));
    }
    start = end + 1;
  }
  return true;
}

int WriteDesktopRecord(const DesktopRecord& record) {
  std::string path = DesktopRecordPath();
  if (path.empty()) return ENOENT;
  std::string text;
  if (record.hides) text += std::string(kHidesLine) + "\n";
  for (const std::string& folder : record.madeFolders) text += kMadeKey + folder + "\n";
  RemoveStaleTemporariesOf(path);
  return WriteFileAtomically(path, text, 0600);
}

void RemoveDesktopRecord() {
  std::string path = DesktopRecordPath();
  if (!path.empty()) ::unlink(path.c_str());
}

}  // namespace plat
