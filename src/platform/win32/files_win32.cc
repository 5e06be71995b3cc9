#include <windows.h>
#include <share.h>
#include <shlobj.h>

#include <cstdio>
#include <cstring>

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

bool CopyFileReplacing(const char* from, const char* to) {
  return ::CopyFileA(from, to, FALSE) != FALSE;
}

bool EmptyFile(const char* path) {
  FILE* f = std::fopen(path, "w");
  if (!f) return false;
  std::fclose(f);
  return true;
}

int32_t CreateFolderTree(const char* path) {
  return static_cast<int32_t>(::SHCreateDirectoryExA(nullptr, path, nullptr));
}

bool AppendTextExclusive(const char* path, const char* text) {
  // Text mode turns "\n" into CR LF; _SH_DENYRW keeps every other opener out
  // while the line is written.
  FILE* f = ::_fsopen(path, "a", _SH_DENYRW);
  if (!f) return false;
  bool ok = std::fputs(text, f) >= 0;
  if (std::fclose(f) != 0) ok = false;
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
