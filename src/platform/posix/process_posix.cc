#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/errors.h"
#include "platform/process.h"

namespace plat {

const int kTerminatedExitStatus = 128 + SIGKILL;

namespace {

void SetErrno(int e) { SetLastErrorCode(WindowsCodeFromErrno(e)); }

// Reads a whole /proc file. /proc files report size 0, so read until the end.
bool ReadProcFile(const std::string& path, std::string* text) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    SetErrno(errno);
    return false;
  }
  text->clear();
  char buffer[8192];
  for (;;) {
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      SetErrno(errno);
      ::close(fd);
      return false;
    }
    if (n == 0) break;
    text->append(buffer, static_cast<size_t>(n));
  }
  ::close(fd);
  return true;
}

// The files a maps listing has mapped for execution, in order, each path
// once. A line reads "start-end perms offset dev inode path", perms as
// "r-xp"; anonymous mappings have inode 0, and the kernel's own ([heap],
// [vdso], ...) have no '/'. Data mappings (no x) are no modules: a viewer
// that has the program's log mapped is not a copy of the program.
std::vector<std::string> ExecutableMappings(const std::string& maps) {
  std::vector<std::string> files;
  size_t at = 0;
  while (at < maps.size()) {
    size_t end = maps.find('\n', at);
    if (end == std::string::npos) end = maps.size();
    std::string line = maps.substr(at, end - at);
    at = end + 1;
    // Skip five fields; the path is what follows the blanks after the inode.
    size_t pos = 0;
    std::string perms, inode;
    for (int field = 0; field < 5 && pos < line.size(); ++field) {
      size_t start = line.find_first_not_of(' ', pos);
      if (start == std::string::npos) {
        pos = line.size();
        break;
      }
      size_t stop = line.find(' ', start);
      if (stop == std::string::npos) stop = line.size();
      if (field == 1) perms = line.substr(start, stop - start);
      if (field == 4) inode = line.substr(start, stop - start);
      pos = stop;
    }
    size_t pathStart = line.find_first_not_of(' ', pos);
    if (pathStart == std::string::npos || line[pathStart] != '/' || inode.empty() || inode == "0" ||
        perms.size() < 3 || perms[2] != 'x') {
      continue;
    }
    std::string path = line.substr(pathStart);
    bool seen = false;
    for (const auto& f : files) seen = seen || f == path;
    if (!seen) files.push_back(path);
  }
  return files;
}

// What an open query handle holds: the module list as it was at the open.
struct QueryRecord {
  std::vector<std::string> modules;
};

// Handles that end a process: a pidfd, so a process id reused after the
// search can never be hit.
struct TerminateRecord {
  pid_t pid;
  int pidfd;
};

int Signal(int pidfd, pid_t pid, int signal) {
  if (pidfd >= 0) return static_cast<int>(::syscall(SYS_pidfd_send_signal, pidfd, signal, nullptr, 0));
  return ::kill(pid, signal);
}

struct Record {
  bool forQuery;
  QueryRecord query;
  TerminateRecord terminate;
};

class PosixProcesses : public Processes {
 public:
  bool EnumProcessIds(uint32_t* ids, uint32_t bufferBytes, uint32_t* bytesReturned) override {
    DIR* dir = ::opendir("/proc");
    if (!dir) {
      SetErrno(errno);
      return false;
    }
    uint32_t capacity = bufferBytes / sizeof(uint32_t);
    uint32_t count = 0;
    while (struct dirent* entry = ::readdir(dir)) {
      const char* name = entry->d_name;
      if (*name < '1' || *name > '9') continue;
      char* stop = nullptr;
      unsigned long id = std::strtoul(name, &stop, 10);
      if (*stop != '\0' || id > 0xFFFFFFFFul) continue;
      if (count == capacity) break;
      ids[count++] = static_cast<uint32_t>(id);
    }
    ::closedir(dir);
    *bytesReturned = count * static_cast<uint32_t>(sizeof(uint32_t));
    return true;
  }

  ProcessHandle OpenForQuery(uint32_t processId) override {
    std::string base = "/proc/" + std::to_string(processId);
    std::string maps;
    // The permission to read another process's maps is the one that
    // PROCESS_VM_READ stands for; without it the process can't be opened.
    if (!ReadProcFile(base + "/maps", &maps)) return 0;
    Record record{};
    record.forQuery = true;
    char exe[PATH_MAX + 1];
    ssize_t n = ::readlink((base + "/exe").c_str(), exe, PATH_MAX);
    if (n > 0) record.query.modules.emplace_back(exe, static_cast<size_t>(n));
    for (auto& file : ExecutableMappings(maps)) {
      if (record.query.modules.empty() || file != record.query.modules.front()) {
        record.query.modules.push_back(file);
      }
    }
    return Add(std::move(record));
  }

  bool EnumModules(ProcessHandle process, ModuleHandle* modules, uint32_t bufferBytes,
                   uint32_t* bytesNeeded) override {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = records_.find(process);
    if (it == records_.end() || !it->second.forQuery) {
      SetLastErrorCode(6);  // ERROR_INVALID_HANDLE
      return false;
    }
    size_t count = it->second.query.modules.size();
    *bytesNeeded = static_cast<uint32_t>(count * sizeof(ModuleHandle));
    size_t capacity = bufferBytes / sizeof(ModuleHandle);
    for (size_t i = 0; i < count && i < capacity; ++i) modules[i] = i + 1;
    return true;
  }

  uint32_t ModuleFileName(ProcessHandle process, ModuleHandle module, char* path,
                          uint32_t size) override {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = records_.find(process);
    if (it == records_.end() || !it->second.forQuery || module == 0 ||
        module > it->second.query.modules.size() || size == 0) {
      SetLastErrorCode(6);
      return 0;
    }
    const std::string& file = it->second.query.modules[module - 1];
    size_t copy = file.size() < size - 1 ? file.size() : size - 1;
    std::memcpy(path, file.data(), copy);
    path[copy] = '\0';
    return static_cast<uint32_t>(copy);
  }

  ProcessHandle OpenForTerminate(uint32_t processId) override {
    pid_t pid = static_cast<pid_t>(processId);
    if (pid <= 0) {
      SetLastErrorCode(87);  // ERROR_INVALID_PARAMETER, as OpenProcess answers
      return 0;
    }
    // pidfd_open sets close-on-exec itself. Kernels (or sandboxes) without
    // it fall back to the plain process id.
    int fd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
    if (fd < 0 && errno != ENOSYS) {
      // ESRCH: the process is gone, which OpenProcess reports as a bad id.
      SetLastErrorCode(errno == ESRCH ? 87 : WindowsCodeFromErrno(errno));
      return 0;
    }
    // PROCESS_TERMINATE is refused where we may not signal the process.
    if (Signal(fd, pid, 0) != 0) {
      SetLastErrorCode(errno == ESRCH ? 87 : WindowsCodeFromErrno(errno));
      if (fd >= 0) ::close(fd);
      return 0;
    }
    Record record{};
    record.forQuery = false;
    record.terminate = TerminateRecord{pid, fd};
    return Add(std::move(record));
  }

  bool Terminate(ProcessHandle process, uint32_t) override {
    TerminateRecord target{0, -1};
    {
      std::lock_guard<std::mutex> lock(mutex_);
      auto it = records_.find(process);
      if (it != records_.end() && !it->second.forQuery) target = it->second.terminate;
    }
    if (target.pid <= 0) {
      SetLastErrorCode(6);
      return false;
    }
    if (Signal(target.pidfd, target.pid, SIGKILL) != 0) {
      SetErrno(errno);
      return false;
    }
    return true;
  }

  void Close(ProcessHandle process) override {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = records_.find(process);
    if (it == records_.end()) return;
    if (!it->second.forQuery && it->second.terminate.pidfd >= 0) {
      ::close(it->second.terminate.pidfd);
    }
    records_.erase(it);
  }

  uint32_t CurrentProcessId() override { return static_cast<uint32_t>(::getpid()); }

  bool EnableDebugPrivilege() override { return false; }

 private:
  ProcessHandle Add(Record record) {
    std::lock_guard<std::mutex> lock(mutex_);
    ProcessHandle handle = next_++;
    records_.emplace(handle, std::move(record));
    return handle;
  }

  std::mutex mutex_;
  ProcessHandle next_ = 1;
  std::unordered_map<ProcessHandle, Record> records_;
};

}  // namespace

Processes& SystemProcesses() {
  static PosixProcesses instance;
  return instance;
}

const char* ModuleNamePart(const char* path) {
  const char* slash = std::strrchr(path, '/');
  return slash ? slash + 1 : path;
}

struct FileMapping {
  void* address;
  size_t size;
};

FileMapping* MapFileForReading(const char* path) {
  int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    SetErrno(errno);
    return nullptr;
  }
  struct stat st {};
  void* address = MAP_FAILED;
  if (::fstat(fd, &st) == 0 && st.st_size > 0) {
    address = ::mmap(nullptr, static_cast<size_t>(st.st_size), PROT_READ, MAP_SHARED, fd, 0);
  }
  int error = errno;
  ::close(fd);  // the mapping keeps the file
  if (address == MAP_FAILED) {
    SetErrno(error);
    return nullptr;
  }
  return new FileMapping{address, static_cast<size_t>(st.st_size)};
}

void UnmapFile(FileMapping* mapping) {
  if (!mapping) return;
  ::munmap(mapping->address, mapping->size);
  delete mapping;
}

std::string ExecutableFileName(const char* path) {
  const char* slash = std::strrchr(path, '/');
  return slash ? std::string(slash + 1) : std::string(path);
}

}  // namespace plat
