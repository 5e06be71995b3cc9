#include "platform/desktop.h"

namespace plat {

std::vector<std::string> RegisterSchemeHandlerDesktop(const char*, const char*, bool* handlerSet) {
  if (handlerSet) *handlerSet = true;
  return {};
}

std::vector<std::string> UnregisterSchemeHandlerDesktop(bool* removedAny) {
  if (removedAny) *removedAny = false;
  return {};
}

std::string SchemeHandlerPathProblem(const char*, bool* noLauncher) {
  *noLauncher = false;
  return std::string();
}

std::string SchemeHandlerDesktopEntryPath() { return std::string(); }

std::string SchemeHandlerDefaultsPath() { return std::string(); }

}  // namespace plat
