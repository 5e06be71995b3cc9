#include <windows.h>

#include "platform/message_box.h"
#include "platform/win32/utf8_win32.h"

namespace plat {

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
