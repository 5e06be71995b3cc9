#include <windows.h>

#include "platform/message_box.h"

namespace plat {

bool SystemMessageText(int32_t code, std::string* text) {
  char* buffer = nullptr;
  // The Internet codes' texts are WinINet's own, not the system's.
  HMODULE wininet = code >= 12000 && code < 13000 ? ::GetModuleHandleA("wininet.dll") : nullptr;
  DWORD from = wininet ? FORMAT_MESSAGE_FROM_HMODULE : FORMAT_MESSAGE_FROM_SYSTEM;
  DWORD n = ::FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | from | FORMAT_MESSAGE_IGNORE_INSERTS,
                             wininet, static_cast<DWORD>(code), 0,
                             reinterpret_cast<LPSTR>(&buffer), 1024, nullptr);
  if (n == 0 || !buffer) return false;
  text->assign(buffer, n);
  ::LocalFree(buffer);
  return true;
}

void ShowMessageBox(const char* caption, const char* text) {
  ::MessageBoxA(nullptr, text, caption, MB_OK);
}

}  // namespace plat
