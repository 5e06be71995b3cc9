#include "platform/files.h"

#include <cstdio>

namespace plat {
namespace {
size_t LastSeparator(const std::string& path) {
  // Both separators count: Windows accepts '/' too, and a Linux path never
  // holds a backslash that we produced ourselves.
  return path.find_last_of(kPathSeparator[0] == '\\' ? "\\/" : "/");
}
}  // namespace

void JoinPath(char* out, size_t outSize, const char* folder, const char* name) {
  if (outSize == 0) return;
  std::snprintf(out, outSize, "%s%s%s", folder, kPathSeparator, name);
}

std::string FolderOf(const std::string& path) {
  size_t at = LastSeparator(path);
  return at == std::string::npos ? std::string() : path.substr(0, at);
}

std::string FileNameOf(const std::string& path) {
  size_t at = LastSeparator(path);
  return at == std::string::npos ? path : path.substr(at + 1);
}

}  // namespace plat
