#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/errors.h"
#include "platform/posix/desktop_files.h"
#include "platform/posix/registry_store_files.h"

namespace plat {
namespace {

int32_t ErrnoCode() { return WindowsCodeFromErrno(errno); }

StoreEntry KindOf(mode_t mode) {
  if (S_ISDIR(mode)) return StoreEntry::kFolder;
  if (S_ISREG(mode)) return StoreEntry::kFile;
  return StoreEntry::kOther;
}

bool WriteAll(int fd, const char* p, size_t size) {
  while (size > 0) {
    ssize_t n = ::write(fd, p, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    p += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

class DiskFiles : public StoreFiles {
 public:
  StoreEntry Kind(const std::string& path) override {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 ? KindOf(st.st_mode) : StoreEntry::kNone;
  }

  int32_t Writable(const std::string& folder) override {
    return ::access(folder.c_str(), W_OK | X_OK) == 0 ? 0 : ErrnoCode();
  }

  int32_t List(const std::string& folder, std::vector<std::pair<std::string, StoreEntry>>* entries) override {
    DIR* dir = ::opendir(folder.c_str());
    if (!dir) return ErrnoCode();
    entries->clear();
    while (struct dirent* entry = ::readdir(dir)) {
      const char* n = entry->d_name;
      if (!std::strcmp(n, ".") || !std::strcmp(n, "..")) continue;
      // The folder's own listing tells folders from files on the file
      // systems a home is on; only where it can't is each entry looked at.
      StoreEntry kind = entry->d_type == DT_DIR   ? StoreEntry::kFolder
                        : entry->d_type == DT_REG ? StoreEntry::kFile
                        : entry->d_type == DT_UNKNOWN ? Kind(folder + "/" + n)
                                                      : StoreEntry::kOther;
      entries->emplace_back(n, kind);
    }
    ::closedir(dir);
    return 0;
  }

  int32_t Read(const std::string& path, std::string* bytes) override {
    int err = ReadFileNoFollow(path, bytes);
    return err ? WindowsCodeFromErrno(err) : 0;
  }

  int32_t WriteNew(const std::string& path, const std::string& bytes) override {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) return ErrnoCode();
    bool ok = WriteAll(fd, bytes.data(), bytes.size()) && ::fsync(fd) == 0;
    int32_t code = ok ? 0 : ErrnoCode();
    if (::close(fd) != 0 && ok) code = ErrnoCode();
    if (code != 0) ::unlink(path.c_str());
    return code;
  }

  int32_t Rename(const std::string& from, const std::string& to) override {
    return ::rename(from.c_str(), to.c_str()) == 0 ? 0 : ErrnoCode();
  }

  int32_t MakeFolder(const std::string& path) override {
    return ::mkdir(path.c_str(), 0700) == 0 || errno == EEXIST ? 0 : ErrnoCode();
  }

  int32_t Unlink(const std::string& path) override { return ::unlink(path.c_str()) == 0 ? 0 : ErrnoCode(); }

  void RemoveTree(const std::string& path) override {
    if (DIR* dir = ::opendir(path.c_str())) {
      while (struct dirent* entry = ::readdir(dir)) {
        if (!std::strcmp(entry->d_name, ".") || !std::strcmp(entry->d_name, "..")) continue;
        std::string child = path + "/" + entry->d_name;
        if (Kind(child) == StoreEntry::kFolder) {
          RemoveTree(child);
        } else {
          ::unlink(child.c_str());
        }
      }
      ::closedir(dir);
    }
    ::rmdir(path.c_str());
  }
};

}  // namespace

StoreFiles* DiskStoreFiles() {
  static DiskFiles files;
  return &files;
}

}  // namespace plat
