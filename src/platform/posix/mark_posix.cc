#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <new>
#include <string>

#include "platform/errors.h"
#include "platform/mark.h"

namespace plat {

struct Mark {
  int fd;
  bool taken;
};

namespace {

constexpr int kPollMs = 20;

bool IsOurFolder(const std::string& path, bool privateOnly) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::getuid()) return false;
  return !privateOnly || (st.st_mode & 077) == 0;
}

// The runtime folder of the XDG rules, and two fallbacks for a session that
// lost the variable (sudo, cron, a bare ssh): the one the login manager
// makes, then a private folder in /tmp. Copies of one user that see the same
// environment always agree on the folder.
std::string RuntimeFolder() {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime && runtime[0] == '/') {
    struct stat st {};
    if (::stat(runtime, &st) == 0 && S_ISDIR(st.st_mode)) return runtime;
  }
  std::string uid = std::to_string(::getuid());
  std::string login = "/run/user/" + uid;
  if (IsOurFolder(login, false)) return login;
  // Someone else may have made it first: then it is not ours and not used.
  std::string own = "/tmp/KelvoUpgrader-" + uid;
  if (::mkdir(own.c_str(), 0700) != 0 && errno != EEXIST) return std::string();
  return IsOurFolder(own, true) ? own : std::string();
}

void Pause(int ms) {
  struct timespec pause = {ms / 1000, (ms % 1000) * 1000000L};
  while (::nanosleep(&pause, &pause) != 0 && errno == EINTR) {
  }
}

}  // namespace

Mark* OpenMark(const char* name) {
  std::string folder = RuntimeFolder();
  if (folder.empty()) {
    SetLastErrorCode(kErrorPathNotFound);
    return nullptr;
  }
  std::string path = folder + "/KelvoUpgrader." + name + ".lock";
  // The file itself is never removed: a copy waiting on it would otherwise
  // hold a lock on a file that nobody else opens any more.
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) {
    SetLastErrorCode(WindowsCodeFromErrno(errno));
    return nullptr;
  }
  Mark* mark = new (std::nothrow) Mark{fd, false};
  if (!mark) {
    ::close(fd);
    SetLastErrorCode(kErrorNotEnoughMemory);
  }
  return mark;
}

MarkTake TakeMark(Mark* mark, int waitMs) {
  // flock has no time limit of its own: look, and look again every 20 ms.
  // The lock belongs to the open file, which the kernel closes with a
  // process that dies, so a dead holder's mark is free at once.
  for (int waited = 0;; waited += kPollMs) {
    if (::flock(mark->fd, LOCK_EX | LOCK_NB) == 0) {
      mark->taken = true;
      return MarkTake::Taken;
    }
    if (errno == EINTR) continue;
    if (errno != EWOULDBLOCK) {
      SetLastErrorCode(WindowsCodeFromErrno(errno));
      return MarkTake::Failed;
    }
    if (waited >= waitMs) return MarkTake::Busy;
    Pause(kPollMs);
  }
}

void ReleaseMark(Mark* mark) {
  if (!mark->taken) return;
  ::flock(mark->fd, LOCK_UN);
  mark->taken = false;
}

void CloseMark(Mark* mark) {
  if (!mark) return;
  ::close(mark->fd);  // lets go of the lock too
  delete mark;
}

}  // namespace plat
