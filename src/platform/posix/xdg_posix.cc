#include "platform/posix/xdg.h"

#include <cstdlib>

namespace plat {

std::string XdgBaseFolder(const char* variable, const char* underHome) {
  const char* value = std::getenv(variable);
  if (value && *value) return value;
  const char* home = std::getenv("HOME");
  if (!home || !*home) return std::string();
  return std::string(home) + "/" + underHome;
}

}  // namespace plat
