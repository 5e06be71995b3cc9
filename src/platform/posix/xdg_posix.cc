#include "platform/posix/xdg.h"

#include <cstdlib>

namespace plat {

std::string XdgBaseFolder(const char* variable, const char* underHome) {
  // The base-directory rules say a relative value is invalid and to be
  // ignored: it would put the files wherever the program happened to start.
  const char* value = std::getenv(variable);
  if (value && value[0] == '/') return value;
  const char* home = std::getenv("HOME");
  if (!home || !*home) return std::string();
  return std::string(home) + "/" + underHome;
}

}  // namespace plat
