// The XDG base folders, as the Linux backends use them.
#pragma once
#include <string>

namespace plat {

// $variable when it is set and not empty, otherwise $HOME joined with
// underHome (".config", ".local/share", ...). Empty when neither is set.
std::string XdgBaseFolder(const char* variable, const char* underHome);

}  // namespace plat
