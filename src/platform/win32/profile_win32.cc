#include <windows.h>

#include "platform/profile.h"

namespace plat {

uint32_t ReadProfileString(const char* path, const char* section, const char* key,
                           const char* defaultValue, char* out, uint32_t outSize) {
  return ::GetPrivateProfileStringA(section, key, defaultValue, out, outSize, path);
}

int32_t ReadProfileInt(const char* path, const char* section, const char* key,
                       int32_t defaultValue) {
  // The API hands the number back unsigned; negative settings arrive wrapped.
  return static_cast<int32_t>(::GetPrivateProfileIntA(section, key, defaultValue, path));
}

}  // namespace plat
