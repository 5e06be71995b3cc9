// The program's texts are UTF-8 (platform/language.h); the Windows calls that
// show them take UTF-16. One conversion for every window, box and lookup.
#pragma once
#include <windows.h>

#include <string>

namespace plat {

inline std::wstring Wide(const std::string& utf8) {
  int count = ::MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, nullptr, 0);
  if (count <= 0) return std::wstring();
  std::wstring wide(static_cast<size_t>(count), L'\0');
  ::MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, &wide[0], count);
  wide.resize(static_cast<size_t>(count - 1));
  return wide;
}

}  // namespace plat
