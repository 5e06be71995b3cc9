#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/errors.h"
#include "platform/message_box.h"
#include "platform/posix/language_posix.h"

namespace plat {

namespace {
// The errno whose text stands for a Windows code: the reverse of the one table.
int ErrnoForWindowsCode(int32_t code) {
  for (int e = 1; e < 134; ++e) {
    if (WindowsCodeFromErrno(e) == code && code != kErrorGenFailure) return e;
  }
  return 0;
}
}  // namespace

bool SystemMessageText(int32_t code, std::string* text) {
  int e = ErrnoForWindowsCode(code);
  if (e == 0) return false;
  // In the user's language: the text is for the person at the desktop.
  locale_t user = UserMessagesLocale();
  *text = user ? ::strerror_l(e, user) : std::strerror(e);
  return true;
}

void ShowMessageBox(const char* caption, const char* text) {
  std::fprintf(stderr, "%s: %s\n", caption, text);
  std::fflush(stderr);
}

}  // namespace plat
