// Other processes on the machine: listing them, looking at the files they
// have loaded, how old they are and whose, and ending them. Shaped after the Windows process-status calls
// (EnumProcesses, EnumProcessModules, GetModuleFileNameExA) so that the search
// for another running copy, with its buffer growth, stays in portable code.
// Behind an interface so that tests can produce what a real machine can't
// (16,000 processes, a process with more modules than the search allows).
//
// On Linux a process's modules are what Windows would list as its loaded
// images: its executable (/proc/<pid>/exe) first, then the files it has
// mapped for execution (the x mappings of /proc/<pid>/maps: shared
// libraries). Data mappings (a log or a database a program has open) are not
// modules. A process whose maps can't be read can't be opened. Failures
// leave a Windows error code in LastErrorCode().
#pragma once
#include <cstdint>
#include <string>

namespace plat {

// An open process, or 0 for none. Never inheritable.
using ProcessHandle = uintptr_t;
// One loaded module of a process; 0 is never a valid module.
using ModuleHandle = uintptr_t;

class Processes {
 public:
  virtual ~Processes() = default;
  // EnumProcesses: fills ids (bufferBytes bytes) with the ids of all processes
  // in the system's order; bytesReturned is how many bytes were filled. A full
  // buffer means the list may have been cut: the caller asks again with more.
  virtual bool EnumProcessIds(uint32_t* ids, uint32_t bufferBytes, uint32_t* bytesReturned) = 0;
  // OpenProcess with PROCESS_QUERY_INFORMATION | PROCESS_VM_READ |
  // PROCESS_TERMINATE | SYNCHRONIZE: one handle through which a process is
  // looked into, ended and waited for, so that what is ended is always the
  // process that was looked at, never another that got its id since. On
  // Linux a pidfd is opened first and the process's /proc entries are read
  // after it, then checked to still belong to it. A process we may not look
  // into or may not end can't be opened.
  virtual ProcessHandle OpenForQuery(uint32_t processId) = 0;
  // EnumProcessModules: fills modules (bufferBytes bytes); bytesNeeded is the
  // size the whole list needs, which may be more than the buffer.
  virtual bool EnumModules(ProcessHandle process, ModuleHandle* modules, uint32_t bufferBytes,
                           uint32_t* bytesNeeded) = 0;
  // GetModuleFileNameExA: the module's full path, cut to size - 1 characters
  // and terminated; returns the characters copied, 0 on failure.
  virtual uint32_t ModuleFileName(ProcessHandle process, ModuleHandle module, char* path,
                                  uint32_t size) = 0;
  // TerminateProcess on an open process. Linux can't set the exit code of a
  // killed process: the process is ended with SIGKILL through its pidfd and
  // exitCode is not used.
  virtual bool Terminate(ProcessHandle process, uint32_t exitCode) = 0;
  // When the process started, in units that only compare with other start
  // times of this machine (Windows: GetProcessTimes' creation time; Linux:
  // the starttime field of /proc/<pid>/stat, clock ticks since boot, so two
  // processes started within one tick have the same time). The caller breaks
  // ties by process id.
  virtual bool StartTime(ProcessHandle process, uint64_t* start) = 0;
  virtual bool CurrentStartTime(uint64_t* start) = 0;
  // Whether the process runs for the same user as we do: on Linux its real
  // uid is ours. Windows answers true: a process of another account can't be
  // opened there unless this account is allowed to end it anyway.
  virtual bool SameUser(ProcessHandle process) = 0;
  // Waits up to ms milliseconds for the process to be gone (WaitForSingleObject;
  // a pidfd poll on Linux). True once it has ended: its files, its port and
  // its marks are let go by then.
  virtual bool WaitForExit(ProcessHandle process, uint32_t ms) = 0;
  virtual void Close(ProcessHandle process) = 0;
  virtual uint32_t CurrentProcessId() = 0;
  // Enables SeDebugPrivilege in the process token (OpenProcessToken,
  // LookupPrivilegeValueA, AdjustTokenPrivileges); true only when the token
  // holds it. The last error is kept across the token's closing. Linux has no
  // such privilege: false, and nothing changes.
  virtual bool EnableDebugPrivilege() = 0;
};

// The process services in use: the system's, unless a test put its own in place.
Processes& processes();
void SetProcesses(Processes* replacement);  // nullptr puts the system's back
Processes& SystemProcesses();

// The file name part of an executable's path: what follows the last
// backslash on Windows (a multibyte-aware search, so a trail byte 0x5C of a
// double-byte character doesn't count), the last '/' elsewhere; the whole path
// when there is none.
std::string ExecutableFileName(const char* path);

// Whether a module's lower-cased path names a copy of the program whose
// lower-cased file name is name. Windows: name (with its ".exe") stands
// anywhere in the whole path, so xkelvoupgrader.exe counts too. Linux, where
// programs carry no extension: the path's file name ends with name, so
// xKelvoUpgrader counts, while KelvoUpgrader-helper does not, nor does
// anything run from a folder named like the program
// (~/KelvoUpgrader/venv/bin/python).
bool ModuleNameMatches(const char* lowerPath, const char* name);

// A read-only mapping of a whole file, held until UnmapFile: what an editor
// or a viewer holds, and never a module. The program maps nothing; tools use
// it to show that such a process is never taken for a copy. nullptr on
// failure (an empty file can't be mapped).
struct FileMapping;
FileMapping* MapFileForReading(const char* path);
// The same, mapped for execution as a loader maps a library (Linux: an x
// mapping that the search lists as a module). Tools use it to play a
// process with tens of thousands of modules.
FileMapping* MapFileForExecution(const char* path);
void UnmapFile(FileMapping* mapping);

// How a process ended by Terminate reads as an exit code through
// WaitProcess (spawn.h): 0xFFFFFFFF as a signed number on Windows, 128 plus
// SIGKILL's number on Linux.
extern const int kTerminatedExitStatus;

}  // namespace plat
