#include "app/other_copies.h"

#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "log/log.h"
#include "platform/clock.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/mark.h"
#include "platform/memory.h"
#include "platform/process.h"
#include "robot/upload.h"

namespace {

// The id and module lists start at 1,024 bytes and double while they stay
// under 128 KiB, so no more than 16,384 processes or 8,192 modules are looked at.
constexpr uint32_t kListFirstBytes = 1024;
constexpr uint32_t kListLimitBytes = 0x20000;
// A module path is read into 260 characters first, and when it fills them
// (it may have been cut), again into room for the longest path the system
// has. A name is only ever compared whole: the first 259 characters of
// /opt/.../KelvoUpgrader/sleep end like the program, and those of a copy
// under a long folder may end anywhere in its name.
constexpr uint32_t kModulePathSize = 260;
constexpr uint32_t kLongModulePathSize = 32768;

void LowerAscii(char* text) {
  for (; *text; ++text) {
    if (*text >= 'A' && *text <= 'Z') *text = static_cast<char>(*text - 'A' + 'a');
  }
}

enum class ModuleSearch { NoMatch, Match, OutOfMemory };

// Reads a module's whole path into path, terminated. False when it can't be
// read, or when it fills even the long buffer: a cut name is no name.
bool WholeModulePath(plat::ProcessHandle process, plat::ModuleHandle module, std::vector<char>* path) {
  plat::Processes& procs = plat::processes();
  for (uint32_t size : {kModulePathSize, kLongModulePathSize}) {
    if (path->size() < size) path->resize(size);
    uint32_t copied = procs.ModuleFileName(process, module, path->data(), size);
    if (copied == 0) return false;
    // GetModuleFileNameExA answers a cut path with the buffer's size (XP,
    // unterminated) or one less; a path that fits leaves a character over.
    if (copied < size - 1) {
      (*path)[copied] = '\0';
      return true;
    }
  }
  return false;
}

// Looks through the modules of one open process.
ModuleSearch ProcessHasModule(plat::ProcessHandle process, const char* name) {
  plat::Processes& procs = plat::processes();
  uint32_t size = kListFirstBytes;
  auto* modules = static_cast<plat::ModuleHandle*>(plat::Alloc(size));
  if (!modules) return ModuleSearch::OutOfMemory;
  uint32_t needed = 0;
  bool listed = procs.EnumModules(process, modules, size, &needed);
  while (listed && needed >= size) {
    plat::Free(modules);
    modules = nullptr;
    size *= 2;
    // A list this long counts as no list at all.
    if (size >= kListLimitBytes) break;
    modules = static_cast<plat::ModuleHandle*>(plat::Alloc(size));
    if (!modules) return ModuleSearch::OutOfMemory;
    listed = procs.EnumModules(process, modules, size, &needed);
  }
  ModuleSearch result = ModuleSearch::NoMatch;
  if (modules && listed) {
    uint32_t count = needed / static_cast<uint32_t>(sizeof(plat::ModuleHandle));
    std::vector<char> path(kModulePathSize);
    for (uint32_t i = 0; i < count; ++i) {
      if (!modules[i]) continue;
      if (!WholeModulePath(process, modules[i], &path)) continue;
      LowerAscii(path.data());
      if (plat::ModuleNameMatches(path.data(), name)) {
        result = ModuleSearch::Match;
        break;
      }
    }
  }
  plat::Free(modules);
  return result;
}

// One copy found, opened once: looked into, ended and waited for through
// this handle.
struct Copy {
  uint32_t id;
  plat::ProcessHandle process;
  // Started after the searching copy (only known when the search was given
  // its start time).
  bool newer;
};

// Whether a process that started at start with id is older than us. Two
// copies started within one tick of the clock are told apart by their ids,
// the same way from both sides, so that two copies never end each other.
bool StartedBefore(uint64_t start, uint32_t id, uint64_t ownStart, uint32_t self) {
  return start < ownStart || (start == ownStart && id < self);
}

// Walks the processes and gives every other copy of our own user to found
// (with its handle still open; the caller closes it) until found says stop.
// ownStart, when given, tells the copies that started after ours (newer) from
// those before; a copy whose start time can't be read is passed by.
template <typename Found>
void SearchCopies(const char* name, const uint64_t* ownStart, Found found) {
  // An empty name stands in every path: it would pick whatever process the
  // system lists first, which is never another copy of this program.
  if (!name || !*name) return;
  plat::Processes& procs = plat::processes();
  uint32_t size = kListFirstBytes;
  auto* ids = static_cast<uint32_t*>(plat::Alloc(size));
  if (!ids) return;
  uint32_t returned = 0;
  if (!procs.EnumProcessIds(ids, size, &returned)) {
    plat::Free(ids);
    return;
  }
  // A full buffer may have been cut short: ask again with twice the room.
  while (returned >= size) {
    plat::Free(ids);
    size *= 2;
    if (size >= kListLimitBytes) return;
    ids = static_cast<uint32_t*>(plat::Alloc(size));
    if (!ids) return;
    if (!procs.EnumProcessIds(ids, size, &returned)) {
      plat::Free(ids);
      return;
    }
  }

  uint32_t self = procs.CurrentProcessId();
  uint32_t count = returned / static_cast<uint32_t>(sizeof(uint32_t));
  for (uint32_t i = 0; i < count; ++i) {
    if (ids[i] == self) continue;
    plat::ProcessHandle process = procs.OpenForQuery(ids[i]);
    // Protected processes, other users' without the privilege, and processes
    // that ended since the listing can't be opened; they are passed by.
    if (!process) continue;
    ModuleSearch search = ProcessHasModule(process, name);
    if (search == ModuleSearch::OutOfMemory) {
      procs.Close(process);
      break;
    }
    bool wanted = search == ModuleSearch::Match && procs.SameUser(process);
    bool newer = false;
    if (wanted && ownStart) {
      uint64_t start = 0;
      wanted = procs.StartTime(process, &start);
      newer = wanted && !StartedBefore(start, ids[i], *ownStart, self);
    }
    if (!wanted) {
      procs.Close(process);
      continue;
    }
    if (!found(Copy{ids[i], process, newer})) break;
  }
  plat::Free(ids);
}

}  // namespace

uint32_t FindProcessByModuleName(const char* name) {
  uint32_t found = 0;
  SearchCopies(name, nullptr, [&found](const Copy& copy) {
    found = copy.id;
    plat::processes().Close(copy.process);
    return false;
  });
  return found;
}

bool EnableDebugPrivilege() { return plat::processes().EnableDebugPrivilege(); }

namespace {

// The mark a copy holds while it ends older copies: while another copy holds
// it, that copy is ending copies (or waiting for an upload to end first).
const char kEndingMarkName[] = "Ending";

// How long a copy waits for the copies it ended to be gone, all together.
constexpr uint32_t kExitWaitMs = 5000;

void CloseCopies(std::vector<Copy>* copies) {
  for (const Copy& copy : *copies) plat::processes().Close(copy.process);
  copies->clear();
}

bool AnyAlive(const std::vector<Copy>& copies) {
  for (const Copy& copy : copies) {
    if (!plat::processes().WaitForExit(copy.process, 0)) return true;
  }
  return false;
}

enum class MarkWait { Taken, CopiesGone, Failed };

// Takes the mark called name. While another holds it, logs busyLine once and
// waits, but only as long as one of the copies lives: a mark held by
// something that is not one of them (a copy ending the same copies, an
// upload in one of them, or any program that took the name) holds this
// launch no longer than the copies it would end live.
MarkWait TakeMarkWhileCopiesLive(const char* name, const std::vector<Copy>& copies,
                                 const char* busyLine, plat::Mark** mark, int* waitedSeconds) {
  *waitedSeconds = -1;
  std::vector<std::string> refused;
  *mark = plat::OpenMark(name, &refused);
  int32_t openError = plat::LastErrorCode();
  for (const std::string& place : refused) {
    LogWrite("WARNING: TerminateOtherInstance - the mark %s is not the user's own, passed by: %s\n", name,
             place.c_str());
  }
  if (!*mark) {
    plat::SetLastErrorCode(openError);
    return MarkWait::Failed;
  }
  plat::MarkTake take = plat::TakeMark(*mark, 0);
  if (take == plat::MarkTake::Busy) {
    LogWrite("%s", busyLine);
    int64_t since = plat::clock().NowSeconds();
    while (take == plat::MarkTake::Busy && AnyAlive(copies)) take = plat::TakeMark(*mark, 100);
    *waitedSeconds = static_cast<int>(plat::clock().NowSeconds() - since);
  }
  if (take == plat::MarkTake::Taken) return MarkWait::Taken;
  int32_t error = plat::LastErrorCode();
  plat::CloseMark(*mark);
  *mark = nullptr;
  plat::SetLastErrorCode(error);
  return take == plat::MarkTake::Busy ? MarkWait::CopiesGone : MarkWait::Failed;
}

// Ends every copy in the list that still runs, then waits until each is gone.
bool EndCopies(const std::vector<Copy>& copies) {
  plat::Processes& procs = plat::processes();
  bool ended = false;
  int32_t lastError = 0;
  std::vector<Copy> ending;
  for (const Copy& copy : copies) {
    if (procs.WaitForExit(copy.process, 0)) continue;  // gone by itself
    if (procs.Terminate(copy.process, 0xFFFFFFFFu)) {
      ended = true;
      ending.push_back(copy);
      LogWrite("TerminateOtherInstance - ended the older copy with process id %u\n", copy.id);
    } else {
      lastError = plat::LastErrorCode();
      LogWrite("WARNING: TerminateOtherInstance - the older copy with process id %u can't be ended "
               "(error %d)\n", copy.id, lastError);
    }
  }
  // An ended copy still holds the robot's port and its files until it is
  // really gone: going on before would meet them.
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kExitWaitMs);
  for (const Copy& copy : ending) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    deadline - std::chrono::steady_clock::now()).count();
    if (!procs.WaitForExit(copy.process, static_cast<uint32_t>(left > 0 ? left : 0))) {
      LogWrite("WARNING: TerminateOtherInstance - the copy with process id %u has not ended "
               "after %u seconds\n", copy.id, kExitWaitMs / 1000);
    }
  }
  plat::SetLastErrorCode(lastError);
  return ended;
}

// Ends this process as a newer copy ends an older one. Returns only when
// it can't be done (or where ending does not end, in a test).
void EndThisCopy(uint32_t newer) {
  plat::Processes& procs = plat::processes();
  LogWrite("TerminateOtherInstance - the newer copy with process id %u runs, this copy with process id %u "
           "ends\n", newer, procs.CurrentProcessId());
  plat::ProcessHandle self = procs.OpenForQuery(procs.CurrentProcessId());
  // The signal is on its way; a process the system won't end (the first
  // of a PID namespace ignores its own SIGKILL) is still here afterwards.
  bool ending = self && procs.Terminate(self, 0xFFFFFFFFu) && procs.WaitForExit(self, kExitWaitMs);
  int32_t error = plat::LastErrorCode();
  if (!ending) LogWrite("WARNING: TerminateOtherInstance - this copy can't end itself (error %d)\n", error);
  if (self) procs.Close(self);
  plat::SetLastErrorCode(error);
}

}  // namespace

bool TerminateOtherInstance(const char* applicationPath) {
  // A path cut to its buffer ends in a piece of the file name that any
  // process may hold (a single letter, once): none of them is a copy.
  size_t pathLength = std::strlen(applicationPath);
  if (pathLength >= static_cast<size_t>(kPathMax - 1) && plat::ModulePathLength() > pathLength) {
    LogWrite("WARNING: TerminateOtherInstance - the program's path is longer than %d characters, "
             "no other copy is ended\n", kPathMax - 1);
    return false;
  }
  std::string fileName = plat::ExecutableFileName(applicationPath);
  LowerAscii(&fileName[0]);

  EnableDebugPrivilege();

  // The newest click wins: every copy that started before this one is
  // ended, none that started after it. A copy started later ends this one
  // in its turn (or this one ends itself when it sees that copy), so a
  // burst of clicks leaves the last copy alone.
  plat::Processes& procs = plat::processes();
  uint64_t ownStart = 0;
  if (!procs.CurrentStartTime(&ownStart)) {
    LogWrite("WARNING: TerminateOtherInstance - the program's start time can't be read (error %d), "
             "no other copy is ended\n", plat::LastErrorCode());
    return false;
  }
  std::vector<Copy> copies;
  uint32_t newer = 0;
  SearchCopies(fileName.c_str(), &ownStart, [&copies, &newer](const Copy& copy) {
    if (copy.newer) {
      if (!newer) newer = copy.id;
      plat::processes().Close(copy.process);
    } else {
      copies.push_back(copy);
    }
    return true;
  });
  // A copy is seen as the program only once its start has gone through
  // (the exec, the loader), and that takes longer under load than the
  // clicks are apart: a newer copy may have looked before this one could be
  // seen, and will never end it. Then this copy is the older one, and it
  // ends itself, before it has done anything, as the newer copy would have.
  if (newer) {
    CloseCopies(&copies);
    EndThisCopy(newer);
    return false;
  }
  if (copies.empty()) return false;

  // Two marks keep an ending away from an upload. A copy that ends others
  // holds the ending mark, and under it the upload mark, from its look to
  // their end; an upload holds the upload mark alone. So no copy is ever
  // ended inside an upload, nor can one enter an upload between our look
  // and the ending: it waits for the mark and is ended before it sends a
  // byte. And while we hold the ending mark, the upload mark is held by an
  // upload and nothing else.
  int waited = -1;
  plat::Mark* ending = nullptr;
  MarkWait got = TakeMarkWhileCopiesLive(
      kEndingMarkName, copies,
      "WARNING: TerminateOtherInstance - another copy is ending older copies, waiting for it\n",
      &ending, &waited);
  plat::Mark* upload = nullptr;
  int uploadWaited = -1;
  if (got == MarkWait::Taken) {
    got = TakeMarkWhileCopiesLive(
        kUploadMarkName, copies,
        "WARNING: TerminateOtherInstance - another copy is uploading to the robot, "
        "waiting until its upload ends\n",
        &upload, &uploadWaited);
  }
  bool ended = false;
  if (got == MarkWait::Failed) {
    // Not knowing whether another copy is uploading, leave it be.
    LogWrite("WARNING: TerminateOtherInstance - the upload mark can't be taken (error %d), "
             "no other copy is ended\n",
             plat::LastErrorCode());
  } else if (got == MarkWait::CopiesGone) {
    LogWrite("WARNING: TerminateOtherInstance - the older copies ended while the mark was held, "
             "no other copy is ended\n");
  } else {
    ended = EndCopies(copies);
    if (uploadWaited >= 0) {
      LogWrite(ended ? "WARNING: TerminateOtherInstance - the upload ended after %d seconds, "
                       "the other copy is ended now\n"
                     : "WARNING: TerminateOtherInstance - the upload ended after %d seconds, "
                       "no other copy is ended\n",
               uploadWaited);
    }
  }
  int32_t lastError = plat::LastErrorCode();
  plat::CloseMark(upload);
  plat::CloseMark(ending);
  CloseCopies(&copies);
  plat::SetLastErrorCode(lastError);
  return ended;
}
