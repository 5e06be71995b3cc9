// window_text TITLE: prints the text of each visible control of the top-level
// window titled TITLE, one line each, after the title itself; for a progress
// bar, "progress POSITION of HIGH". Exit code 1 when no
// such window exists.
#include <windows.h>
#include <commctrl.h>

#include <cstdio>
#include <string>

namespace {

std::string Text(HWND window) {
  wchar_t wide[512] = {};
  // WM_GETTEXT through a time-out: a window whose thread hangs must not hang us.
  DWORD_PTR length = 0;
  if (!SendMessageTimeoutW(window, WM_GETTEXT, sizeof wide / sizeof wide[0], reinterpret_cast<LPARAM>(wide),
                           SMTO_ABORTIFHUNG, 2000, &length)) {
    return std::string();
  }
  char text[1024] = {};
  WideCharToMultiByte(CP_UTF8, 0, wide, -1, text, sizeof text, nullptr, nullptr);
  return text;
}

BOOL CALLBACK PrintChild(HWND child, LPARAM) {
  if (!IsWindowVisible(child)) return TRUE;
  char kind[64] = {};
  GetClassNameA(child, kind, sizeof kind);
  if (lstrcmpiA(kind, "msctls_progress32") == 0) {
    // A progress bar has no text: its position and range instead.
    DWORD_PTR position = 0;
    DWORD_PTR high = 0;
    if (SendMessageTimeoutW(child, PBM_GETPOS, 0, 0, SMTO_ABORTIFHUNG, 2000, &position) &&
        SendMessageTimeoutW(child, PBM_GETRANGE, FALSE, 0, SMTO_ABORTIFHUNG, 2000, &high)) {
      std::printf("progress %lu of %lu\n", static_cast<unsigned long>(position), static_cast<unsigned long>(high));
    }
    return TRUE;
  }
  std::string text = Text(child);
  if (!text.empty()) std::printf("%s\n", text.c_str());
  return TRUE;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: window_text TITLE\n");
    return 2;
  }
  HWND window = FindWindowA(nullptr, argv[1]);
  if (!window) return 1;
  std::printf("%s\n", Text(window).c_str());
  EnumChildWindows(window, PrintChild, 0);
  return 0;
}
