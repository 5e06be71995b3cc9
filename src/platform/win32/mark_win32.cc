#include <windows.h>

#include <new>
#include <string>

#include "platform/errors.h"
#include "platform/mark.h"

namespace plat {

struct Mark {
  HANDLE mutex;
  bool taken;
};

Mark* OpenMark(const char* name) {
  std::string full = std::string("Global\\KelvoUpgrader.") + name;
  // Not inheritable, not owned at creation: taking it is a separate wait.
  HANDLE mutex = ::CreateMutexA(nullptr, FALSE, full.c_str());
  if (!mutex) return nullptr;
  Mark* mark = new (std::nothrow) Mark{mutex, false};
  if (!mark) {
    ::CloseHandle(mutex);
    ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  }
  return mark;
}

MarkTake TakeMark(Mark* mark, int waitMs) {
  DWORD result = ::WaitForSingleObject(mark->mutex, waitMs < 0 ? 0 : static_cast<DWORD>(waitMs));
  // An abandoned mutex is one whose holder died: the wait hands it over.
  if (result == WAIT_OBJECT_0 || result == WAIT_ABANDONED) {
    mark->taken = true;
    return MarkTake::Taken;
  }
  if (result == WAIT_TIMEOUT) return MarkTake::Busy;
  return MarkTake::Failed;
}

void ReleaseMark(Mark* mark) {
  if (!mark->taken) return;
  ::ReleaseMutex(mark->mutex);
  mark->taken = false;
}

void CloseMark(Mark* mark) {
  if (!mark) return;
  ReleaseMark(mark);
  ::CloseHandle(mark->mutex);
  delete mark;
}

}  // namespace plat
