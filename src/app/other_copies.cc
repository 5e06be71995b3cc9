#include "app/other_copies.h"

#include <cstring>
#include <string>

#include "log/log.h"
#include "platform/clock.h"
#include "platform/errors.h"
#include "platform/mark.h"
#include "platform/memory.h"
#include "platform/process.h"
#include "robot/upload.h"

namespace {

// The id and module lists start at 1,024 bytes and double while they stay
// under 128 KiB, so no more than 16,384 processes or 8,192 modules are looked at.
constexpr uint32_t kListFirstBytes = 1024;
constexpr uint32_t kListLimitBytes = 0x20000;
constexpr uint32_t kModulePathSize = 260;

void LowerAscii(char* text) {
  for (; *text; ++text) {
    if (*text >= 'A' && *text <= 'Z') *text = static_cast<char>(*text - 'A' + 'a');
  }
}

enum class ModuleSearch { NoMatch, Match, OutOfMemory };

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
    for (uint32_t i = 0; i < count; ++i) {
      if (!modules[i]) continue;
      char path[kModulePathSize];
      if (procs.ModuleFileName(process, modules[i], path, kModulePathSize) == 0) continue;
      path[kModulePathSize - 1] = '\0';
      LowerAscii(path);
      if (std::strstr(plat::ModuleNamePart(path), name)) {
        result = ModuleSearch::Match;
        break;
      }
    }
  }
  plat::Free(modules);
  return result;
}

}  // namespace

uint32_t FindProcessByModuleName(const char* name) {
  // An empty name stands in every path: it would pick whatever process the
  // system lists first, which is never another copy of this program.
  if (!name || !*name) return 0;
  plat::Processes& procs = plat::processes();
  uint32_t size = kListFirstBytes;
  auto* ids = static_cast<uint32_t*>(plat::Alloc(size));
  if (!ids) return 0;
  uint32_t returned = 0;
  if (!procs.EnumProcessIds(ids, size, &returned)) {
    plat::Free(ids);
    return 0;
  }
  // A full buffer may have been cut short: ask again with twice the room.
  while (returned >= size) {
    plat::Free(ids);
    size *= 2;
    if (size >= kListLimitBytes) return 0;
    ids = static_cast<uint32_t*>(plat::Alloc(size));
    if (!ids) return 0;
    if (!procs.EnumProcessIds(ids, size, &returned)) {
      plat::Free(ids);
      return 0;
    }
  }

  uint32_t self = procs.CurrentProcessId();
  uint32_t found = 0;
  uint32_t count = returned / static_cast<uint32_t>(sizeof(uint32_t));
  for (uint32_t i = 0; i < count && found == 0; ++i) {
    if (ids[i] == self) continue;
    plat::ProcessHandle process = procs.OpenForQuery(ids[i]);
    // Protected processes, other users' without the privilege, and processes
    // that ended since the listing can't be opened; they are passed by.
    if (!process) continue;
    ModuleSearch search = ProcessHasModule(process, name);
    procs.Close(process);
    if (search == ModuleSearch::OutOfMemory) break;
    if (search == ModuleSearch::Match) found = ids[i];
  }
  plat::Free(ids);
  return found;
}

bool EnableDebugPrivilege() { return plat::processes().EnableDebugPrivilege(); }

namespace {

bool EndFirstCopy(const char* fileName) {
  uint32_t processId = FindProcessByModuleName(fileName);
  if (processId == 0) return false;

  plat::Processes& procs = plat::processes();
  plat::ProcessHandle process = procs.OpenForTerminate(processId);
  if (!process) return false;
  bool ended = procs.Terminate(process, 0xFFFFFFFFu);
  // The caller may want to know why ending failed; closing mustn't hide it.
  int32_t lastError = plat::LastErrorCode();
  procs.Close(process);
  plat::SetLastErrorCode(lastError);
  return ended;
}

}  // namespace

bool TerminateOtherInstance(const char* applicationPath) {
  std::string fileName = plat::ExecutableFileName(applicationPath);
  LowerAscii(&fileName[0]);

  EnableDebugPrivilege();

  // A copy holds the upload mark from its upload command line to the end of
  // the ACK wait. Holding it ourselves while we look and end, no copy is ever
  // ended inside an upload, nor can one enter an upload between our look and
  // the ending: it waits for the mark and is ended before it sends a byte.
  // A cut upload can leave the robot unable to start.
  int waited = -1;
  plat::Mark* mark = TakeUploadMark(
      "WARNING: TerminateOtherInstance - another copy is uploading to the robot, "
      "waiting until its upload ends\n",
      &waited);
  if (!mark) {
    // Not knowing whether another copy is uploading, leave it be.
    LogWrite("WARNING: TerminateOtherInstance - the upload mark can't be taken (error %d), "
             "no other copy is ended\n",
             plat::LastErrorCode());
    return false;
  }

  bool ended = EndFirstCopy(fileName.c_str());
  int32_t lastError = plat::LastErrorCode();
  if (waited >= 0) {
    if (ended) {
      LogWrite("WARNING: TerminateOtherInstance - the upload ended after %d seconds, "
               "the other copy is ended now\n", waited);
    } else {
      LogWrite("WARNING: TerminateOtherInstance - the upload ended after %d seconds, "
               "no other copy is ended\n", waited);
    }
  }
  plat::CloseMark(mark);
  plat::SetLastErrorCode(lastError);
  return ended;
}
