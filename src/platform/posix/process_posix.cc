#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "platform/errors.h"
#include "platform/process.h"

#include "platform/posix/proc_text.h"

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

// An open process: the pidfd it was opened by (or -1 where the kernel has
// none), and what was read about it after that open.
struct Record {
  pid_t pid;
  int pidfd;
  std::vector<std::string> modules;
  uint64_t start;
  bool sameUser;
};

int Signal(int pidfd, pid_t pid, int signal) {
  if (pidfd >= 0) return static_cast<int>(::syscall(SYS_pidfd_send_signal, pidfd, signal, nullptr, 0));
  return ::kill(pid, signal);
}

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
    pid_t pid = static_cast<pid_t>(processId);
    if (pid <= 0) {
      SetLastErrorCode(87);  // ERROR_INVALID_PARAMETER, as OpenProcess answers
      return 0;
    }
    // The process is pinned first: whatever is read below is then checked to
    // belong to it, and it is ended through this same descriptor, so a
    // process id reused meanwhile is never looked at as the copy nor hit.
    // pidfd_open sets close-on-exec itself. Kernels (or sandboxes) without
    // it fall back to the plain process id.
    int fd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
    if (fd < 0 && errno != ENOSYS) {
      // ESRCH: the process is gone, which OpenProcess reports as a bad id.
      SetLastErrorCode(errno == ESRCH ? 87 : WindowsCodeFromErrno(errno));
      return 0;
    }
    Record record{pid, fd, {}, 0, false};
    if (!ReadRecord(&record)) {
      int32_t error = LastErrorCode();
      if (fd >= 0) ::close(fd);
      SetLastErrorCode(error);
      return 0;
    }
    return Add(std::move(record));
  }

  bool EnumModules(ProcessHandle process, ModuleHandle* modules, uint32_t bufferBytes,
                   uint32_t* bytesNeeded) override {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = records_.find(process);
    if (it == records_.end()) {
      SetLastErrorCode(6);  // ERROR_INVALID_HANDLE
      return false;
    }
    size_t count = it->second.modules.size();
    *bytesNeeded = static_cast<uint32_t>(count * sizeof(ModuleHandle));
    size_t capacity = bufferBytes / sizeof(ModuleHandle);
    for (size_t i = 0; i < count && i < capacity; ++i) modules[i] = i + 1;
    return true;
  }

  uint32_t ModuleFileName(ProcessHandle process, ModuleHandle module, char* path,
                          uint32_t size) override {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = records_.find(process);
    if (it == records_.end() || module == 0 || module > it->second.modules.size() || size == 0) {
      SetLastErrorCode(6);
      return 0;
    }
    const std::string& file = it->second.modules[module - 1];
    size_t copy = file.size() < size - 1 ? file.size() : size - 1;
    std::memcpy(path, file.data(), copy);
    path[copy] = '\0';
    return static_cast<uint32_t>(copy);
  }

  bool Terminate(ProcessHandle process, uint32_t) override {
    Record target{0, -1, {}, 0, false};
    if (!Lookup(process, &target)) return false;
    if (Signal(target.pidfd, target.pid, SIGKILL) != 0) {
      SetErrno(errno);
      return false;
    }
    return true;
  }

  bool StartTime(ProcessHandle process, uint64_t* start) override {
    Record target{0, -1, {}, 0, false};
    if (!Lookup(process, &target)) return false;
    *start = target.start;
    return true;
  }

  bool CurrentStartTime(uint64_t* start) override {
    std::string stat;
    if (!ReadProcFile("/proc/self/stat", &stat)) return false;
    if (!StartTimeFromStat(stat, start)) {
      SetLastErrorCode(13);  // ERROR_INVALID_DATA
      return false;
    }
    return true;
  }

  bool SameUser(ProcessHandle process) override {
    Record target{0, -1, {}, 0, false};
    return Lookup(process, &target) && target.sameUser;
  }

  bool WaitForExit(ProcessHandle process, uint32_t ms) override {
    Record target{0, -1, {}, 0, false};
    if (!Lookup(process, &target)) return false;
    if (target.pidfd < 0) {
      // Without a pidfd: look every 10 ms whether the id still answers.
      for (uint32_t waited = 0;; waited += 10) {
        if (::kill(target.pid, 0) != 0 && errno == ESRCH) return true;
        if (waited >= ms) return false;
        ::usleep(10000);
      }
    }
    // A pidfd turns readable once the process has ended (a zombie holds no
    // files, no port and no lock any more), whoever reaps it.
    struct pollfd entry = {target.pidfd, POLLIN, 0};
    for (;;) {
      int ready = ::poll(&entry, 1, static_cast<int>(ms));
      if (ready > 0) return true;
      if (ready == 0) return false;
      if (errno != EINTR) {
        SetErrno(errno);
        return false;
      }
    }
  }

  void Close(ProcessHandle process) override {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = records_.find(process);
    if (it == records_.end()) return;
    if (it->second.pidfd >= 0) ::close(it->second.pidfd);
    records_.erase(it);
  }

  uint32_t CurrentProcessId() override { return static_cast<uint32_t>(::getpid()); }

  bool EnableDebugPrivilege() override { return false; }

 private:
  // Reads the modules, start time and user of the process the record's pidfd
  // holds. The /proc entries are read by id, so the pidfd must still answer
  // afterwards: then the id was still its own while they were read.
  static bool ReadRecord(Record* record) {
    std::string base = "/proc/" + std::to_string(record->pid);
    std::string maps, stat, status;
    // The permission to read another process's maps is the one that
    // PROCESS_VM_READ stands for; without it the process can't be opened.
    if (!ReadProcFile(base + "/maps", &maps) || !ReadProcFile(base + "/stat", &stat) ||
        !ReadProcFile(base + "/status", &status)) {
      return false;
    }
    uid_t uid = 0;
    if (!StartTimeFromStat(stat, &record->start) || !RealUidFromStatus(status, &uid)) {
      SetLastErrorCode(13);  // ERROR_INVALID_DATA
      return false;
    }
    record->sameUser = uid == ::getuid();
    char exe[PATH_MAX + 1];
    ssize_t n = ::readlink((base + "/exe").c_str(), exe, PATH_MAX);
    struct stat image {};
    // A link read to the buffer's end may have been cut: no module then.
    if (n > 0 && n < PATH_MAX) {
      std::string path(exe, static_cast<size_t>(n));
      // The link leads to the running image even when its file is gone.
      if (::stat((base + "/exe").c_str(), &image) == 0) {
        path = WithoutDeletedMark(std::move(path), image.st_dev, image.st_ino);
      }
      record->modules.push_back(std::move(path));
    }
    for (auto& file : ExecutableMappings(maps)) {
      if (record->modules.empty() || file != record->modules.front()) {
        record->modules.push_back(std::move(file));
      }
    }
    // PROCESS_TERMINATE is refused where we may not signal the process; a
    // process that ended (or whose id went to another) answers ESRCH.
    if (Signal(record->pidfd, record->pid, 0) != 0) {
      SetLastErrorCode(errno == ESRCH ? 87 : WindowsCodeFromErrno(errno));
      return false;
    }
    return true;
  }

  bool Lookup(ProcessHandle process, Record* out) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = records_.find(process);
    if (it == records_.end()) {
      SetLastErrorCode(6);  // ERROR_INVALID_HANDLE
      return false;
    }
    out->pid = it->second.pid;
    out->pidfd = it->second.pidfd;
    out->start = it->second.start;
    out->sameUser = it->second.sameUser;
    return true;
  }

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

bool ModuleNameMatches(const char* lowerPath, const char* name) {
  const char* slash = std::strrchr(lowerPath, '/');
  const char* file = slash ? slash + 1 : lowerPath;
  size_t fileLength = std::strlen(file), nameLength = std::strlen(name);
  return nameLength <= fileLength && std::strcmp(file + fileLength - nameLength, name) == 0;
}

struct FileMapping {
  void* address;
  size_t size;
};

namespace {

FileMapping* MapFile(const char* path, int protection) {
  int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    SetErrno(errno);
    return nullptr;
  }
  struct stat st {};
  void* address = MAP_FAILED;
  if (::fstat(fd, &st) == 0 && st.st_size > 0) {
    address = ::mmap(nullptr, static_cast<size_t>(st.st_size), protection, MAP_SHARED, fd, 0);
  }
  int error = errno;
  ::close(fd);  // the mapping keeps the file
  if (address == MAP_FAILED) {
    SetErrno(error);
    return nullptr;
  }
  return new FileMapping{address, static_cast<size_t>(st.st_size)};
}

}  // namespace

FileMapping* MapFileForReading(const char* path) { return MapFile(path, PROT_READ); }
FileMapping* MapFileForExecution(const char* path) { return MapFile(path, PROT_READ | PROT_EXEC); }

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
