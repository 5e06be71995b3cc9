#include <windows.h>
#include <mbstring.h>
#include <psapi.h>

#include <cstring>

#include "platform/process.h"

namespace plat {

const int kTerminatedExitStatus = -1;

namespace {

HANDLE H(ProcessHandle process) { return reinterpret_cast<HANDLE>(process); }
ProcessHandle P(HANDLE handle) { return reinterpret_cast<ProcessHandle>(handle); }

bool CreationTime(HANDLE process, uint64_t* start) {
  FILETIME created, exited, kernel, user;
  if (!::GetProcessTimes(process, &created, &exited, &kernel, &user)) return false;
  *start = (static_cast<uint64_t>(created.dwHighDateTime) << 32) | created.dwLowDateTime;
  return true;
}

class Win32Processes : public Processes {
 public:
  bool EnumProcessIds(uint32_t* ids, uint32_t bufferBytes, uint32_t* bytesReturned) override {
    DWORD returned = 0;
    static_assert(sizeof(DWORD) == sizeof(uint32_t), "process ids are 32-bit");
    if (!::EnumProcesses(reinterpret_cast<DWORD*>(ids), bufferBytes, &returned)) return false;
    *bytesReturned = returned;
    return true;
  }

  ProcessHandle OpenForQuery(uint32_t processId) override {
    // One handle for the look, the ending and the wait: the handle keeps the
    // process object, so its id can't go to another process meanwhile.
    return P(::OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ | PROCESS_TERMINATE | SYNCHRONIZE,
                           FALSE, processId));
  }

  bool EnumModules(ProcessHandle process, ModuleHandle* modules, uint32_t bufferBytes,
                   uint32_t* bytesNeeded) override {
    static_assert(sizeof(HMODULE) == sizeof(ModuleHandle), "module handles are pointers");
    DWORD needed = 0;
    if (!::EnumProcessModules(H(process), reinterpret_cast<HMODULE*>(modules), bufferBytes,
                              &needed)) {
      return false;
    }
    *bytesNeeded = needed;
    return true;
  }

  uint32_t ModuleFileName(ProcessHandle process, ModuleHandle module, char* path,
                          uint32_t size) override {
    return ::GetModuleFileNameExA(H(process), reinterpret_cast<HMODULE>(module), path, size);
  }

  bool Terminate(ProcessHandle process, uint32_t exitCode) override {
    return ::TerminateProcess(H(process), exitCode) != FALSE;
  }

  bool StartTime(ProcessHandle process, uint64_t* start) override {
    return CreationTime(H(process), start);
  }

  bool CurrentStartTime(uint64_t* start) override {
    return CreationTime(::GetCurrentProcess(), start);
  }

  bool SameUser(ProcessHandle) override { return true; }

  bool WaitForExit(ProcessHandle process, uint32_t ms) override {
    return ::WaitForSingleObject(H(process), ms) == WAIT_OBJECT_0;
  }

  void Close(ProcessHandle process) override { ::CloseHandle(H(process)); }

  uint32_t CurrentProcessId() override { return ::GetCurrentProcessId(); }

  bool EnableDebugPrivilege() override {
    HANDLE token = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY,
                            &token)) {
      return false;
    }
    bool result = false;
    LUID luid;
    if (::LookupPrivilegeValueA(nullptr, "SeDebugPrivilege", &luid)) {
      TOKEN_PRIVILEGES privileges;
      privileges.PrivilegeCount = 1;
      privileges.Privileges[0].Luid = luid;
      privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
      // AdjustTokenPrivileges succeeds even when the token lacks the
      // privilege; only the last error tells.
      if (::AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr)) {
        result = ::GetLastError() != ERROR_NOT_ALL_ASSIGNED;
      }
    }
    DWORD lastError = ::GetLastError();
    ::CloseHandle(token);
    ::SetLastError(lastError);
    return result;
  }
};

}  // namespace

Processes& SystemProcesses() {
  static Win32Processes instance;
  return instance;
}

bool ModuleNameMatches(const char* lowerPath, const char* name) {
  return std::strstr(lowerPath, name) != nullptr;
}

struct FileMapping {
  HANDLE mapping;
  const void* view;
};

namespace {

FileMapping* MapFile(const char* path, bool execute) {
  HANDLE file = ::CreateFileA(path, execute ? GENERIC_READ | GENERIC_EXECUTE : GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return nullptr;
  HANDLE mapping =
      ::CreateFileMappingA(file, nullptr, execute ? PAGE_EXECUTE_READ : PAGE_READONLY, 0, 0, nullptr);
  ::CloseHandle(file);  // the mapping keeps the file
  if (!mapping) return nullptr;
  const void* view =
      ::MapViewOfFile(mapping, execute ? FILE_MAP_READ | FILE_MAP_EXECUTE : FILE_MAP_READ, 0, 0, 0);
  if (!view) {
    ::CloseHandle(mapping);
    return nullptr;
  }
  return new FileMapping{mapping, view};
}

}  // namespace

FileMapping* MapFileForReading(const char* path) { return MapFile(path, false); }
FileMapping* MapFileForExecution(const char* path) { return MapFile(path, true); }

void UnmapFile(FileMapping* mapping) {
  if (!mapping) return;
  ::UnmapViewOfFile(mapping->view);
  ::CloseHandle(mapping->mapping);
  delete mapping;
}

std::string ExecutableFileName(const char* path) {
  const unsigned char* backslash =
      ::_mbsrchr(reinterpret_cast<const unsigned char*>(path), '\\');
  return backslash ? std::string(reinterpret_cast<const char*>(backslash) + 1) : std::string(path);
}

}  // namespace plat
