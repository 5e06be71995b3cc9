#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/console.h"
#include "platform/system.h"

namespace plat {

bool AttachParentConsole() {
  if (!::AttachConsole(ATTACH_PARENT_PROCESS)) return false;
  std::freopen("con", "w", stdout);
  std::freopen("con", "r", stdin);
  return true;
}

void ClearConsole() { std::system("cls"); }

void SendEnterKey() {
  INPUT_RECORD records[2];
  std::memset(records, 0, sizeof records);
  for (int i = 0; i < 2; ++i) {
    records[i].EventType = KEY_EVENT;
    KEY_EVENT_RECORD& key = records[i].Event.KeyEvent;
    key.bKeyDown = i == 0 ? TRUE : FALSE;
    key.wRepeatCount = 1;
    key.wVirtualKeyCode = VK_RETURN;
    key.wVirtualScanCode = static_cast<WORD>(::MapVirtualKeyA(VK_RETURN, MAPVK_VK_TO_VSC));
    key.uChar.AsciiChar = '\r';
    key.dwControlKeyState = 0;
  }
  DWORD written = 0;
  ::WriteConsoleInputA(::GetStdHandle(STD_INPUT_HANDLE), records, 2, &written);
}

bool GetWindowsVersion(int* major, int* minor) {
  OSVERSIONINFOA info;
  std::memset(&info, 0, sizeof info);
  info.dwOSVersionInfoSize = sizeof info;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
  BOOL ok = ::GetVersionExA(&info);
#pragma GCC diagnostic pop
  if (!ok) return false;
  *major = static_cast<int>(info.dwMajorVersion);
  *minor = static_cast<int>(info.dwMinorVersion);
  return true;
}

}  // namespace plat

namespace plat {

void SetEnv(const std::string& name, const std::string& value) {
  ::SetEnvironmentVariableA(name.c_str(), value.empty() ? nullptr : value.c_str());
  std::string assignment = name + "=" + value;
  ::_putenv(assignment.c_str());
}

bool GetEnv(const std::string& name, std::string* value) {
  char buffer[32768];
  DWORD n = ::GetEnvironmentVariableA(name.c_str(), buffer, sizeof buffer);
  if (n == 0 || n >= sizeof buffer) return false;
  value->assign(buffer, n);
  return true;
}

}  // namespace plat
