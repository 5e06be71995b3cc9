#include <unistd.h>

#include "platform/console.h"
#include "platform/system.h"

#include <string>

namespace plat {

bool AttachParentConsole() { return ::isatty(STDOUT_FILENO) == 1; }

// A terminal belongs to the person who started us; clearing it or typing
// into it is only a courtesy for a Windows GUI program in a console window.
void ClearConsole() {}

void SendEnterKey() {}

bool GetWindowsVersion(int*, int*) { return false; }

}  // namespace plat

#include <cstdlib>

namespace plat {

void SetEnv(const std::string& name, const std::string& value) {
  if (value.empty()) {
    ::unsetenv(name.c_str());
  } else {
    ::setenv(name.c_str(), value.c_str(), 1);
  }
}

bool GetEnv(const std::string& name, std::string* value) {
  const char* v = std::getenv(name.c_str());
  if (!v) return false;
  *value = v;
  return true;
}

}  // namespace plat
