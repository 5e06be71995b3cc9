#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "platform/errors.h"
#include "platform/mark.h"
#include "platform/posix/xdg.h"

namespace plat {

struct Mark {
  int fd;
  bool taken;
};

namespace {

constexpr int kPollMs = 20;

// Why a folder or a mark file is not the user's alone, or empty when it is.
// Only a place nobody else can claim may decide whether a copy is ended: a
// mark file another account made (a copy run with sudo -E leaves a root one
// in the user's runtime folder), or a folder it made first in /tmp, would
// let that account's hold stop every copy, or fail every open.
std::string NotOurs(const struct stat& st, mode_t notAllowed) {
  char why[96];
  if (st.st_uid != ::getuid()) {
    std::snprintf(why, sizeof why, "owned by uid %lu", static_cast<unsigned long>(st.st_uid));
    return why;
  }
  if (st.st_mode & notAllowed) {
    std::snprintf(why, sizeof why, "mode %04o lets others in", static_cast<unsigned>(st.st_mode & 07777));
    return why;
  }
  return std::string();
}

// The folders a mark may live in, in the order they are tried: the runtime
// folder of the XDG rules, and for a session that lost the variable (sudo,
// cron, a bare ssh) the one the login manager makes, then a private folder
// in /tmp, then one under the user's state folder, which no other account
// can make first. Copies of one user that see the same environment walk
// the same list and stop at the same place.
struct Place {
  std::string folder;
  bool follow;      // a link given by the user's own environment is followed
  bool make;        // made 0700 when missing
  mode_t notAllowed;  // mode bits that let another account in
};

std::vector<Place> Places() {
  std::vector<Place> places;
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime && runtime[0] == '/') places.push_back({runtime, true, false, 022});
  std::string uid = std::to_string(::getuid());
  places.push_back({"/run/user/" + uid, false, false, 022});
  places.push_back({"/tmp/KelvoUpgrader-" + uid, false, true, 077});
  std::string state = XdgBaseFolder("XDG_STATE_HOME", ".local/state");
  if (!state.empty()) {
    // Made on the way where missing (~/.local/state on a first run).
    for (size_t slash = state.find('/', 1);; slash = state.find('/', slash + 1)) {
      ::mkdir(state.substr(0, slash).c_str(), 0700);
      if (slash == std::string::npos) break;
    }
    places.push_back({state + "/KelvoUpgrader", false, true, 022});
  }
  return places;
}

// Opens the mark file at path when it is the user's alone; otherwise says
// why not in why and gives -1.
int OpenOurFile(const std::string& path, std::string* why) {
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY, 0600);
  if (fd < 0) {
    int error = errno;
    *why = "can't be opened (" + std::string(std::strerror(error)) + ")";
    errno = error;
    return -1;
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    *why = "is no plain file";
  } else {
    *why = NotOurs(st, 0);
    // Any account that may read a file may lock it: ours is for us alone.
    if (why->empty() && (st.st_mode & 077) && ::fchmod(fd, 0600) != 0) *why = "can't be made private";
  }
  if (why->empty()) return fd;
  ::close(fd);
  errno = EACCES;
  return -1;
}

void Pause(int ms) {
  struct timespec pause = {ms / 1000, (ms % 1000) * 1000000L};
  while (::nanosleep(&pause, &pause) != 0 && errno == EINTR) {
  }
}

}  // namespace

Mark* OpenMark(const char* name, std::vector<std::string>* refused) {
  int error = ENOENT;
  std::string seen;
  for (const Place& place : Places()) {
    const std::string& folder = place.folder;
    if (seen.find("\n" + folder + "\n") != std::string::npos) continue;  // the same folder twice
    seen += "\n" + folder + "\n";
    if (place.make && ::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
      error = errno;
      continue;
    }
    struct stat st {};
    if ((place.follow ? ::stat(folder.c_str(), &st) : ::lstat(folder.c_str(), &st)) != 0) {
      error = errno;
      continue;  // a folder that isn't there is refused by nobody
    }
    std::string why = S_ISDIR(st.st_mode) ? NotOurs(st, place.notAllowed) : "is no folder";
    if (!why.empty()) {
      if (refused) refused->push_back(folder + " " + why);
      error = EACCES;
      continue;
    }
    // The file itself is never removed: a copy waiting on it would otherwise
    // hold a lock on a file that nobody else opens any more.
    std::string path = folder + "/KelvoUpgrader." + name + ".lock";
    int fd = OpenOurFile(path, &why);
    if (fd < 0) {
      error = errno;
      if (refused) refused->push_back(path + " " + why);
      continue;
    }
    Mark* mark = new (std::nothrow) Mark{fd, false};
    if (!mark) {
      ::close(fd);
      SetLastErrorCode(kErrorNotEnoughMemory);
    }
    return mark;
  }
  SetLastErrorCode(error == ENOENT ? kErrorPathNotFound : WindowsCodeFromErrno(error));
  return nullptr;
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
