#include <fcntl.h>
#include <limits.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/errors.h"
#include "platform/files.h"
#include "platform/posix/xdg.h"

namespace plat {

const char kPathSeparator[] = "/";

struct ReadFileHandle {
  int fd;
};

namespace {
void SetErrno() { SetLastErrorCode(WindowsCodeFromErrno(errno)); }

bool WriteAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

// Windows drops the blanks and dots that end the last name of a path before
// it looks for the file, so a script line "getlocal fw.bin  " reads fw.bin
// there. Scripts are written against that rule; following it (rather than
// trying the name as written first) makes both builds open the same file even
// when a name that really ends in blanks lies beside it. A last name made of
// nothing but dots and blanks ("..") is left to mean what it means.
std::string AsWindowsLooksItUp(const char* path) {
  std::string p(path);
  size_t end = p.size();
  while (end > 0 && (p[end - 1] == ' ' || p[end - 1] == '.')) --end;
  size_t nameStart = p.find_last_of('/', end == 0 ? 0 : end - 1);
  nameStart = nameStart == std::string::npos ? 0 : nameStart + 1;
  if (end == p.size() || end <= nameStart) return p;
  p.resize(end);
  return p;
}
}  // namespace

ReadFileHandle* OpenForRead(const char* path) {
  int fd = ::open(AsWindowsLooksItUp(path).c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    SetErrno();
    return nullptr;
  }
  struct stat st {};
  if (::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
    // CreateFile refuses a folder with access denied; so do we.
    ::close(fd);
    SetLastErrorCode(kErrorAccessDenied);
    return nullptr;
  }
  return new ReadFileHandle{fd};
}

bool GetOpenFileSize(ReadFileHandle* file, uint64_t* size) {
  struct stat st {};
  if (::fstat(file->fd, &st) != 0) {
    SetErrno();
    return false;
  }
  *size = static_cast<uint64_t>(st.st_size);
  return true;
}

bool ReadFromFile(ReadFileHandle* file, void* buffer, uint32_t size, uint32_t* bytesRead) {
  // ReadFile on a disk file returns the whole request unless the file ends;
  // read() may return less, so loop to the same effect.
  uint32_t total = 0;
  char* out = static_cast<char*>(buffer);
  while (total < size) {
    ssize_t n = ::read(file->fd, out + total, size - total);
    if (n < 0) {
      if (errno == EINTR) continue;
      SetErrno();
      *bytesRead = total;
      return false;
    }
    if (n == 0) break;
    total += static_cast<uint32_t>(n);
  }
  *bytesRead = total;
  return true;
}

void CloseFile(ReadFileHandle* file) {
  if (!file) return;
  ::close(file->fd);
  delete file;
}

bool CanOpenForReading(const char* path) {
  FILE* f = std::fopen(AsWindowsLooksItUp(path).c_str(), "r");
  if (!f) {
    SetErrno();
    return false;
  }
  // fopen opens a folder here but not on Windows, where the open is refused
  // with access denied; a folder is no file to read, so refuse it the same way.
  struct stat st {};
  bool folder = ::fstat(::fileno(f), &st) == 0 && S_ISDIR(st.st_mode);
  std::fclose(f);
  if (folder) {
    SetLastErrorCode(kErrorAccessDenied);
    return false;
  }
  return true;
}

bool GetFileSizeByPath(const char* path, uint32_t* size) {
  struct stat st {};
  if (::stat(path, &st) != 0) {
    SetErrno();
    return false;
  }
  *size = static_cast<uint32_t>(static_cast<uint64_t>(st.st_size) & 0xFFFFFFFFu);
  return true;
}

namespace {
// Copies the open file in from its start into a new file beside to, then
// renames that over to: a reader of to, or a crash, never meets half a copy,
// and a symbolic link placed at to is replaced rather than written through.
bool CopyIntoReplacing(int in, const char* to) {
  // A name of this process's own, and no longer than the log's: whatever
  // path fits the log fits it. One left by a copy that died is cleared first;
  // O_EXCL makes the open refuse anything (a link included) that appears at
  // the name in between, rather than follow it.
  std::string folder = FolderOf(to);
  std::string temp =
      (folder.empty() ? "" : folder + "/") + "~copy-" + std::to_string(::getpid()) + ".tmp";
  ::unlink(temp.c_str());
  // Only the log is copied, and what it holds (script URLs, Reply-To
  // addresses, robot answers) is for the user alone.
  int out = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (out < 0) {
    SetErrno();
    return false;
  }
  char buffer[65536];
  bool ok = true;
  int err = 0;
  for (off_t at = 0;;) {
    ssize_t n = ::pread(in, buffer, sizeof buffer, at);
    if (n < 0) {
      if (errno == EINTR) continue;
      err = errno;
      ok = false;
      break;
    }
    if (n == 0) break;
    if (!WriteAll(out, buffer, static_cast<size_t>(n))) {
      err = errno;
      ok = false;
      break;
    }
    at += n;
  }
  // On disk before the rename: the caller empties the source next.
  if (ok && ::fsync(out) != 0) {
    err = errno;
    ok = false;
  }
  if (::close(out) != 0 && ok) {
    err = errno;
    ok = false;
  }
  if (ok && ::rename(temp.c_str(), to) != 0) {
    err = errno;
    ok = false;
  }
  if (!ok) {
    ::unlink(temp.c_str());
    SetLastErrorCode(WindowsCodeFromErrno(err));
  }
  return ok;
}
}  // namespace

bool CopyFileReplacing(const char* from, const char* to) {
  int in = ::open(from, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (in < 0) {
    SetErrno();
    return false;
  }
  bool ok = CopyIntoReplacing(in, to);
  ::close(in);
  return ok;
}

bool EmptyFile(const char* path) {
  int fd = ::open(path, O_WRONLY | O_TRUNC | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    SetErrno();
    return false;
  }
  ::close(fd);
  return true;
}

struct HeldFile {
  int fd;
};

HeldFile* HoldFile(const char* path, bool create, int waitMs) {
  int flags = O_RDWR | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | (create ? O_CREAT : 0);
  int fd = ::open(path, flags, 0600);
  if (fd < 0) {
    SetErrno();
    return nullptr;
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    SetLastErrorCode(kErrorAccessDenied);
    return nullptr;
  }
  for (int waited = 0;; waited += 5) {
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return new HeldFile{fd};
    if (errno != EWOULDBLOCK && errno != EINTR) break;
    if (waited >= waitMs) break;
    ::usleep(5000);
  }
  SetErrno();
  ::close(fd);
  return nullptr;
}

bool GetHeldFileSize(HeldFile* file, uint32_t* size) {
  struct stat st {};
  if (::fstat(file->fd, &st) != 0) {
    SetErrno();
    return false;
  }
  *size = static_cast<uint32_t>(static_cast<uint64_t>(st.st_size) & 0xFFFFFFFFu);
  return true;
}

bool AppendTextToHeldFile(HeldFile* file, const char* text) {
  if (!WriteAll(file->fd, text, std::strlen(text))) {
    SetErrno();
    return false;
  }
  return true;
}

bool CopyHeldFileReplacing(HeldFile* file, const char* to) {
  return CopyIntoReplacing(file->fd, to);
}

bool EmptyHeldFile(HeldFile* file) {
  if (::ftruncate(file->fd, 0) != 0) {
    SetErrno();
    return false;
  }
  return true;
}

void ReleaseHeldFile(HeldFile* file) {
  if (!file) return;
  ::close(file->fd);  // the lock goes with the last descriptor
  delete file;
}

bool HeldFileIsAt(HeldFile* file, const char* path) {
  struct stat held {}, named {};
  return ::fstat(file->fd, &held) == 0 && ::lstat(path, &named) == 0 &&
         held.st_dev == named.st_dev && held.st_ino == named.st_ino;
}

int32_t CreateFolderTree(const char* path) {
  std::string p(path);
  if (p.empty()) return kErrorPathNotFound;
  struct stat st {};
  if (::stat(p.c_str(), &st) == 0) return S_ISDIR(st.st_mode) ? kErrorAlreadyExists : kErrorFileExists;
  for (size_t at = 1; at <= p.size(); ++at) {
    if (at != p.size() && p[at] != '/') continue;
    std::string part = p.substr(0, at);
    // The user's alone, as the XDG base-directory rules ask of folders made
    // under them; one that exists already keeps the mode it has.
    if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) {
      int32_t code = WindowsCodeFromErrno(errno);
      SetLastErrorCode(code);
      return code;
    }
  }
  return 0;
}

bool AppendTextExclusive(const char* path, const char* text) {
  int fd = ::open(path, O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
  if (fd < 0) {
    SetErrno();
    return false;
  }
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    SetErrno();
    ::close(fd);
    return false;
  }
  bool ok = WriteAll(fd, text, std::strlen(text));
  if (!ok) SetErrno();
  ::flock(fd, LOCK_UN);
  ::close(fd);
  return ok;
}

bool LocalAppDataFolder(std::string* folder) {
  std::string state = XdgBaseFolder("XDG_STATE_HOME", ".local/state");
  if (state.empty()) {
    SetLastErrorCode(kErrorPathNotFound);
    return false;
  }
  *folder = state;
  return true;
}

std::string ModulePath(size_t maxChars) {
  char buffer[PATH_MAX + 1];
  ssize_t n = ::readlink("/proc/self/exe", buffer, PATH_MAX);
  if (n < 0) {
    SetErrno();
    return std::string();
  }
  std::string path(buffer, static_cast<size_t>(n));
  if (path.size() > maxChars) path.resize(maxChars);
  return path;
}

size_t ModulePathLength() { return ModulePath(PATH_MAX).size(); }

}  // namespace plat
