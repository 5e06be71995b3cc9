// Facts about the system the program runs on.
#pragma once

namespace plat {

// Windows' major and minor version; false where there is none to give.
bool GetWindowsVersion(int* major, int* minor);

}  // namespace plat
