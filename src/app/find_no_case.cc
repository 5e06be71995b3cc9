#include "app/find_no_case.h"

#include <cstring>

namespace {
char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }
}  // namespace

const char* FindNoCase(const char* text, const char* pattern) {
  size_t length = std::strlen(pattern);
  for (const char* at = text; *at; ++at) {
    size_t i = 0;
    while (i < length && at[i] && Lower(at[i]) == Lower(pattern[i])) ++i;
    if (i == length) return at;
  }
  return nullptr;
}
