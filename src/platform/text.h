// Letter-case rules for single-byte text: only A-Z and a-z fold, as in the
// registry, the INI files, the script words and the URL schemes we compare.
#pragma once
#include <string>

namespace plat {

char AsciiLower(char c);
// True when the two texts are equal without regard to ASCII letter case.
bool EqualsNoCase(const std::string& a, const std::string& b);
bool StartsWithNoCase(const std::string& text, const std::string& prefix);

}  // namespace plat
