// Facts about the system the program runs on.
#pragma once

namespace plat {

// Windows' major and minor version; false where there is none to give.
bool GetWindowsVersion(int* major, int* minor);

}  // namespace plat

#include <string>

namespace plat {

// Environment variables of this process (an empty value removes one).
// Windows keeps two copies, the CRT's and the system's; both are updated.
void SetEnv(const std::string& name, const std::string& value);
// False when the variable is not set.
bool GetEnv(const std::string& name, std::string* value);

}  // namespace plat
