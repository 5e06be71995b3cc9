#include "app/find_no_case.h"

#include <cstring>

#include "platform/text.h"

const char* FindNoCase(const char* text, const char* pattern) {
  size_t length = std::strlen(pattern);
  for (const char* at = text; *at; ++at) {
    size_t i = 0;
    while (i < length && at[i] && plat::AsciiLower(at[i]) == plat::AsciiLower(pattern[i])) ++i;
    if (i == length) return at;
  }
  return nullptr;
}
