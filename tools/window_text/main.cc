// window_text TITLE: prints the text of each visible control of the top-level
// window titled TITLE, one line each, after the title itself; for a progress
// bar, "progress POSITION of HIGH". Exit code 1 when no
// such window exists.
//
// window_text --watch TITLE SECONDS: reads the window every 50 ms and prints
// each reading that differs from the one before, followed by a line "--",
// then "gone" once a window that was there is no more (exit 0). Exit code 3
// when SECONDS pass first. One process that keeps looking misses no state
// that lasts a moment, where a fresh program per reading (a second or more
// under wine on a busy machine) may.
#include <windows.h>
#include <commctrl.h>

#include <cstdio>
#include <cstdlib>
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

BOOL CALLBACK ReadChild(HWND child, LPARAM into) {
  std::string& out = *reinterpret_cast<std::string*>(into);
  if (!IsWindowVisible(child)) return TRUE;
  char kind[64] = {};
  GetClassNameA(child, kind, sizeof kind);
  if (lstrcmpiA(kind, "msctls_progress32") == 0) {
    // A progress bar has no text: its position and range instead.
    DWORD_PTR position = 0;
    DWORD_PTR high = 0;
    if (SendMessageTimeoutW(child, PBM_GETPOS, 0, 0, SMTO_ABORTIFHUNG, 2000, &position) &&
        SendMessageTimeoutW(child, PBM_GETRANGE, FALSE, 0, SMTO_ABORTIFHUNG, 2000, &high)) {
      char line[64];
      std::snprintf(line, sizeof line, "progress %lu of %lu\n", static_cast<unsigned long>(position),
                    static_cast<unsigned long>(high));
      out += line;
    }
    return TRUE;
  }
  std::string text = Text(child);
  if (!text.empty()) out += text + "\n";
  return TRUE;
}

std::string Reading(HWND window) {
  std::string out = Text(window) + "\n";
  EnumChildWindows(window, ReadChild, reinterpret_cast<LPARAM>(&out));
  return out;
}

int Watch(const char* title, int seconds) {
  bool seen = false;
  std::string last;
  for (DWORD start = GetTickCount(); GetTickCount() - start < static_cast<DWORD>(seconds) * 1000;) {
    HWND window = FindWindowA(nullptr, title);
    if (!window && seen) {
      std::printf("gone\n");
      std::fflush(stdout);
      return 0;
    }
    if (window) {
      seen = true;
      std::string now = Reading(window);
      if (now != last) {
        std::printf("%s--\n", now.c_str());
        std::fflush(stdout);
        last = now;
      }
    }
    Sleep(50);
  }
  return 3;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::string(argv[1]) == "--watch") return Watch(argv[2], std::atoi(argv[3]));
  if (argc != 2) {
    std::fprintf(stderr, "usage: window_text TITLE | --watch TITLE SECONDS\n");
    return 2;
  }
  HWND window = FindWindowA(nullptr, argv[1]);
  if (!window) return 1;
  std::fputs(Reading(window).c_str(), stdout);
  return 0;
}
