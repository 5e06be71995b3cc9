// The XDG base folders, as the Linux backends use them.
#pragma once
#include <string>

namespace plat {

// $variable when it holds an absolute path, otherwise $HOME joined with
// underHome (".config", ".local/share", ...). Empty when HOME is not set
// either.
std::string XdgBaseFolder(const char* variable, const char* underHome);

}  // namespace plat
