#include <windows.h>
#include <shlobj.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/errors.h"
#include "platform/files.h"

namespace plat {

const char kPathSeparator[] = "\\";

struct ReadFileHandle {
  HANDLE handle;
};

ReadFileHandle* OpenForRead(const char* path) {
  HANDLE h = ::CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return nullptr;
  return new ReadFileHandle{h};
}

bool GetOpenFileSize(ReadFileHandle* file, uint64_t* size) {
  LARGE_INTEGER whole;
  if (!::GetFileSizeEx(file->handle, &whole)) return false;
  *size = static_cast<uint64_t>(whole.QuadPart);
  return true;
}

bool ReadFromFile(ReadFileHandle* file, void* buffer, uint32_t size, uint32_t* bytesRead) {
  DWORD got = 0;
  BOOL ok = ::ReadFile(file->handle, buffer, size, &got, nullptr);
  *bytesRead = got;
  return ok != FALSE;
}

void CloseFile(ReadFileHandle* file) {
  if (!file) return;
  ::CloseHandle(file->handle);
  delete file;
}

bool CanOpenForReading(const char* path) {
  FILE* f = std::fopen(path, "r");
  if (!f) {
    if (::GetLastError() == NO_ERROR) ::SetLastError(ERROR_FILE_NOT_FOUND);
    return false;
  }
  std::fclose(f);
  return true;
}

bool GetFileSizeByPath(const char* path, uint32_t* size) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!::GetFileAttributesExA(path, GetFileExInfoStandard, &data)) return false;
  *size = data.nFileSizeLow;
  return true;
}

namespace {
constexpr DWORD kCopyChunk = 65536;

// Copies the open file h from its start into a new file beside to, then
// moves that over to: a reader of to, or a crash, never meets half a copy.
bool CopyIntoReplacing(HANDLE in, const char* to) {
  char pid[16];
  std::snprintf(pid, sizeof pid, "%lu", static_cast<unsigned long>(::GetCurrentProcessId()));
  // Named after this process, and no longer than the log's name: whatever
  // path fits the log fits it too.
  std::string folder = FolderOf(to);
  std::string temp = (folder.empty() ? "" : folder + "\\") + "~copy-" + pid + ".tmp";
  ::DeleteFileA(temp.c_str());  // one left by a copy of this id that died
  HANDLE out = ::CreateFileA(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
  if (out == INVALID_HANDLE_VALUE) return false;
  std::vector<char> buffer(kCopyChunk);
  LARGE_INTEGER zero{};
  bool ok = ::SetFilePointerEx(in, zero, nullptr, FILE_BEGIN) != FALSE;
  while (ok) {
    DWORD got = 0;
    if (!::ReadFile(in, buffer.data(), kCopyChunk, &got, nullptr)) {
      ok = false;
      break;
    }
    if (got == 0) break;
    DWORD put = 0;
    if (!::WriteFile(out, buffer.data(), got, &put, nullptr) || put != got) ok = false;
  }
  // On disk before the move: the caller empties the source next.
  if (ok && !::FlushFileBuffers(out)) ok = false;
  DWORD code = ok ? NO_ERROR : ::GetLastError();
  ::CloseHandle(out);
  if (ok && !::MoveFileExA(temp.c_str(), to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    ok = false;
    code = ::GetLastError();
  }
  if (!ok) {
    ::DeleteFileA(temp.c_str());
    ::SetLastError(code);
  }
  return ok;
}
}  // namespace

bool CopyFileReplacing(const char* from, const char* to) {
  HANDLE in = ::CreateFileA(from, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (in == INVALID_HANDLE_VALUE) return false;
  bool ok = CopyIntoReplacing(in, to);
  DWORD code = ::GetLastError();
  ::CloseHandle(in);
  ::SetLastError(code);
  return ok;
}

bool EmptyFile(const char* path) {
  FILE* f = std::fopen(path, "w");
  if (!f) return false;
  std::fclose(f);
  return true;
}

struct HeldFile {
  HANDLE handle;
};

HeldFile* HoldFile(const char* path, bool create, int waitMs) {
  for (int waited = 0;; waited += 5) {
    // No sharing at all: every other opener, the log's appends included,
    // is turned away with a sharing violation until the handle is closed.
    HANDLE h = ::CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                             create ? OPEN_ALWAYS : OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h != INVALID_HANDLE_VALUE) return new HeldFile{h};
    DWORD code = ::GetLastError();
    if ((code != ERROR_SHARING_VIOLATION && code != ERROR_LOCK_VIOLATION) || waited >= waitMs) {
      ::SetLastError(code);
      return nullptr;
    }
    ::Sleep(5);
  }
}

bool GetHeldFileSize(HeldFile* file, uint32_t* size) {
  LARGE_INTEGER whole;
  if (!::GetFileSizeEx(file->handle, &whole)) return false;
  *size = static_cast<uint32_t>(whole.QuadPart & 0xFFFFFFFF);
  return true;
}

bool AppendTextToHeldFile(HeldFile* file, const char* text) {
  // What text mode would store: every "\n" as CR LF.
  std::string stored;
  for (const char* p = text; *p; ++p) {
    if (*p == '\n') stored.push_back('\r');
    stored.push_back(*p);
  }
  LARGE_INTEGER zero{};
  if (!::SetFilePointerEx(file->handle, zero, nullptr, FILE_END)) return false;
  DWORD put = 0;
  return ::WriteFile(file->handle, stored.data(), static_cast<DWORD>(stored.size()), &put,
                     nullptr) &&
         put == stored.size();
}

bool CopyHeldFileReplacing(HeldFile* file, const char* to) {
  return CopyIntoReplacing(file->handle, to);
}

bool EmptyHeldFile(HeldFile* file) {
  LARGE_INTEGER zero{};
  return ::SetFilePointerEx(file->handle, zero, nullptr, FILE_BEGIN) &&
         ::SetEndOfFile(file->handle);
}

void ReleaseHeldFile(HeldFile* file) {
  if (!file) return;
  ::CloseHandle(file->handle);
  delete file;
}

bool HeldFileIsAt(HeldFile*, const char*) { return true; }

int32_t CreateFolderTree(const char* path) {
  return static_cast<int32_t>(::SHCreateDirectoryExA(nullptr, path, nullptr));
}

bool AppendTextExclusive(const char* path, const char* text) {
  // Opened without sharing, so every other opener is kept out while the line
  // is written, and by CreateFile itself rather than the C library, so that
  // a collision with another copy always reads as the sharing violation the
  // caller waits on. Append access alone: every write goes to the end.
  HANDLE h = ::CreateFileA(path, FILE_APPEND_DATA, 0, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                           nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    DWORD code = ::GetLastError();
    if (code == ERROR_LOCK_VIOLATION) ::SetLastError(ERROR_SHARING_VIOLATION);
    return false;
  }
  // What text mode would store: every "\n" as CR LF.
  std::string stored;
  for (const char* p = text; *p; ++p) {
    if (*p == '\n') stored.push_back('\r');
    stored.push_back(*p);
  }
  DWORD put = 0;
  bool ok = ::WriteFile(h, stored.data(), static_cast<DWORD>(stored.size()), &put, nullptr) &&
            put == stored.size();
  DWORD code = ok ? NO_ERROR : ::GetLastError();
  ::CloseHandle(h);
  ::SetLastError(code);
  return ok;
}

bool LocalAppDataFolder(std::string* folder) {
  char buffer[MAX_PATH] = {0};
  if (FAILED(::SHGetFolderPathA(nullptr, CSIDL_LOCAL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, buffer))) {
    return false;
  }
  *folder = buffer;
  return true;
}

std::string ModulePath(size_t maxChars) {
  char buffer[MAX_PATH] = {0};
  ::GetModuleFileNameA(nullptr, buffer, MAX_PATH);
  buffer[MAX_PATH - 1] = '\0';
  std::string path(buffer);
  if (path.size() > maxChars) path.resize(maxChars);
  return path;
}

size_t ModulePathLength() {
  // The whole path may be longer than MAX_PATH (a folder under \\?\ or a
  // system with long paths enabled): ask with room for the longest there is.
  std::string buffer(32768, '\0');
  DWORD n = ::GetModuleFileNameA(nullptr, &buffer[0], static_cast<DWORD>(buffer.size()));
  return n < buffer.size() ? n : buffer.size();
}

}  // namespace plat
