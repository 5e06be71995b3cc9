#include <windows.h>

#include "platform/message_box.h"

namespace plat {

namespace {

// The box's texts are UTF-8 (platform/language.h): the system's own text in
// the user's language may hold letters that the ANSI code page lacks.
std::wstring Wide(const char* utf8) {
  int count = ::MultiByteToWideChar(CP_UTF8, 0, utf8, -1, nullptr, 0);
  if (count <= 0) return std::wstring();
  std::wstring wide(static_cast<size_t>(count), L'\0');
  ::MultiByteToWideChar(CP_UTF8, 0, utf8, -1, &wide[0], count);
  wide.resize(static_cast<size_t>(count - 1));
  return wide;
}

}  // namespace

bool SystemMessageText(int32_t code, std::string* text) {
  wchar_t* buffer = nullptr;
  // The Internet codes' texts are WinINet's own, not the system's.
  HMODULE wininet = code >= 12000 && code < 13000 ? ::GetModuleHandleA("wininet.dll") : nullptr;
  DWORD from = wininet ? FORMAT_MESSAGE_FROM_HMODULE : FORMAT_MESSAGE_FROM_SYSTEM;
  DWORD n = ::FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | from | FORMAT_MESSAGE_IGNORE_INSERTS,
                             wininet, static_cast<DWORD>(code), 0,
                             reinterpret_cast<LPWSTR>(&buffer), 1024, nullptr);
  if (n == 0 || !buffer) return false;
  int count = ::WideCharToMultiByte(CP_UTF8, 0, buffer, static_cast<int>(n), nullptr, 0, nullptr, nullptr);
  text->assign(static_cast<size_t>(count > 0 ? count : 0), '\0');
  if (count > 0) ::WideCharToMultiByte(CP_UTF8, 0, buffer, static_cast<int>(n), &(*text)[0], count, nullptr, nullptr);
  ::LocalFree(buffer);
  return count > 0;
}

void ShowMessageBox(const char* caption, const char* text) {
  ::MessageBoxW(nullptr, Wide(text).c_str(), Wide(caption).c_str(), MB_OK);
}

}  // namespace plat
