#include "platform/posix/proc_text.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cstdio>
#include <cstdlib>
#include <unordered_set>

namespace plat {

namespace {

constexpr char kDeletedMark[] = " (deleted)";

// The device ("fd:01", hex major:minor) and inode fields of a maps line.
bool MappedFileId(const std::string& device, const std::string& inode, dev_t* dev, ino_t* ino) {
  unsigned major = 0, minor = 0;
  if (std::sscanf(device.c_str(), "%x:%x", &major, &minor) != 2) return false;
  char* stop = nullptr;
  unsigned long long value = std::strtoull(inode.c_str(), &stop, 10);
  if (stop == inode.c_str()) return false;
  *dev = makedev(major, minor);
  *ino = static_cast<ino_t>(value);
  return true;
}

}  // namespace

// The kernel names a file that was removed or replaced since it was opened
// by its old path with " (deleted)" after it: what a running copy's
// executable reads once a package has put a new program in its place. Such a
// copy is still a copy, so those words are taken off. A file may really be named
// so: the text is kept when the path, as it reads, still leads to the same
// file (device and inode).
std::string WithoutDeletedMark(std::string path, dev_t device, ino_t inode) {
  size_t markLength = sizeof kDeletedMark - 1;
  if (path.size() <= markLength || path.compare(path.size() - markLength, markLength, kDeletedMark) != 0) {
    return path;
  }
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0 && st.st_dev == device && st.st_ino == inode) return path;
  path.resize(path.size() - markLength);
  return path;
}

// The files a maps listing has mapped for execution, in order, each path
// once. A line reads "start-end perms offset dev inode path", perms as
// "r-xp"; anonymous mappings have inode 0, and the kernel's own ([heap],
// [vdso], ...) have no '/'. Data mappings (no x) are no modules: a viewer
// that has the program's log mapped is not a copy of the program.
std::vector<std::string> ExecutableMappings(const std::string& maps) {
  std::vector<std::string> files;
  std::unordered_set<std::string> seen;
  size_t at = 0;
  while (at < maps.size()) {
    size_t end = maps.find('\n', at);
    if (end == std::string::npos) end = maps.size();
    std::string line = maps.substr(at, end - at);
    at = end + 1;
    // Skip five fields; the path is what follows the blanks after the inode.
    size_t pos = 0;
    std::string perms, device, inode;
    for (int field = 0; field < 5 && pos < line.size(); ++field) {
      size_t start = line.find_first_not_of(' ', pos);
      if (start == std::string::npos) {
        pos = line.size();
        break;
      }
      size_t stop = line.find(' ', start);
      if (stop == std::string::npos) stop = line.size();
      if (field == 1) perms = line.substr(start, stop - start);
      if (field == 3) device = line.substr(start, stop - start);
      if (field == 4) inode = line.substr(start, stop - start);
      pos = stop;
    }
    size_t pathStart = line.find_first_not_of(' ', pos);
    if (pathStart == std::string::npos || line[pathStart] != '/' || inode.empty() || inode == "0" ||
        perms.size() < 3 || perms[2] != 'x') {
      continue;
    }
    // A library is mapped in several pieces, a decoy may map one file tens
    // of thousands of times: each path is looked up once, not compared with
    // every path before it.
    std::string path = line.substr(pathStart);
    if (!seen.insert(path).second) continue;
    dev_t dev = 0;
    ino_t ino = 0;
    files.push_back(MappedFileId(device, inode, &dev, &ino) ? WithoutDeletedMark(path, dev, ino) : path);
  }
  return files;
}

// The starttime field (the 22nd) of a /proc/<pid>/stat text. The command
// name, in parentheses, may itself hold blanks and parentheses: count the
// fields from the last ')'.
bool StartTimeFromStat(const std::string& stat, uint64_t* start) {
  size_t close = stat.rfind(')');
  if (close == std::string::npos) return false;
  size_t at = close + 1;
  // Field 3 (the state) follows the parenthesis; starttime is 19 further on.
  for (int field = 3; field < 22; ++field) {
    at = stat.find(' ', at + 1);
    if (at == std::string::npos) return false;
  }
  char* stop = nullptr;
  unsigned long long value = std::strtoull(stat.c_str() + at + 1, &stop, 10);
  if (stop == stat.c_str() + at + 1) return false;
  *start = value;
  return true;
}

// The real uid, the first number of the "Uid:" line of /proc/<pid>/status.
bool RealUidFromStatus(const std::string& status, uid_t* uid) {
  size_t at = status.find("\nUid:");
  if (at == std::string::npos) return false;
  char* stop = nullptr;
  unsigned long value = std::strtoul(status.c_str() + at + 5, &stop, 10);
  if (stop == status.c_str() + at + 5) return false;
  *uid = static_cast<uid_t>(value);
  return true;
}

}  // namespace plat
