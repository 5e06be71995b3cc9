#include <windows.h>

#include <string>

#include "platform/errors.h"
#include "platform/files.h"
#include "platform/registry.h"

namespace plat {
namespace {

HKEY H(RegKey key) { return reinterpret_cast<HKEY>(key); }

class Win32Registry : public Registry {
 public:
  int32_t OpenKey(RegKey parent, const char* subKey, bool allAccess, RegKey* result) override {
    HKEY out = nullptr;
    LONG rc = ::RegOpenKeyExA(H(parent), subKey, 0, allAccess ? KEY_ALL_ACCESS : KEY_READ, &out);
    if (rc == ERROR_SUCCESS) *result = reinterpret_cast<RegKey>(out);
    return rc;
  }
  int32_t CreateKey(RegKey parent, const char* subKey, RegKey* result) override {
    HKEY out = nullptr;
    LONG rc = ::RegCreateKeyExA(H(parent), subKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                KEY_ALL_ACCESS, nullptr, &out, nullptr);
    if (rc == ERROR_SUCCESS) *result = reinterpret_cast<RegKey>(out);
    return rc;
  }
  int32_t SetValue(RegKey key, const char* name, uint32_t type, const void* data,
                   uint32_t size) override {
    return ::RegSetValueExA(H(key), name, 0, type, static_cast<const BYTE*>(data), size);
  }
  int32_t DeleteKey(RegKey parent, const char* subKey) override {
    return ::RegDeleteKeyA(H(parent), subKey);
  }
  int32_t DeleteValue(RegKey key, const char* name) override {
    return ::RegDeleteValueA(H(key), name);
  }
  int32_t EnumValue(RegKey key, uint32_t index, char* name, uint32_t* nameSize, uint32_t* type,
                    void* data, uint32_t* dataSize) override {
    DWORD n = *nameSize, t = 0, d = dataSize ? *dataSize : 0;
    LONG rc = ::RegEnumValueA(H(key), index, name, &n, nullptr, &t, static_cast<BYTE*>(data),
                              dataSize ? &d : nullptr);
    *nameSize = n;
    if (type) *type = t;
    if (dataSize) *dataSize = d;
    return rc;
  }
  int32_t EnumKey(RegKey key, uint32_t index, char* name, uint32_t nameSize) override {
    return ::RegEnumKeyA(H(key), index, name, nameSize);
  }
  int32_t QueryValue(RegKey key, const char* name, uint32_t* type, void* data,
                     uint32_t* dataSize) override {
    DWORD t = 0, d = *dataSize;
    LONG rc = ::RegQueryValueExA(H(key), name, nullptr, type ? &t : nullptr,
                                 static_cast<BYTE*>(data), &d);
    if (type) *type = t;
    *dataSize = d;
    return rc;
  }
  int32_t CloseKey(RegKey key) override { return ::RegCloseKey(H(key)); }
};

}  // namespace

// A file in the user's local application-data folder, which only the user
// can open: unlike a named kernel object, no other account can take it first.
HeldFile* LockSchemeRegistration(int waitMs) {
  std::string appData;
  if (!LocalAppDataFolder(&appData)) {
    SetLastErrorCode(kErrorPathNotFound);
    return nullptr;
  }
  std::string folder = appData + "\\KelvoUpgrader";
  int32_t rc = CreateFolderTree(folder.c_str());
  if (rc != 0 && rc != kErrorAlreadyExists && rc != kErrorFileExists) {
    SetLastErrorCode(rc);
    return nullptr;
  }
  return HoldFile((folder + "\\registration.lock").c_str(), true, waitMs);
}

// Held without sharing, the file can't be removed while it is held: it goes
// once closed, unless another run has opened it meanwhile (then that one's
// DeleteFile, or a later one's, removes it).
void ReleaseSchemeRegistrationLock(HeldFile* lock, bool) {
  if (!lock) return;
  ReleaseHeldFile(lock);
  std::string appData;
  if (LocalAppDataFolder(&appData)) {
    ::DeleteFileA((appData + "\\KelvoUpgrader\\registration.lock").c_str());
  }
}

Registry& SystemRegistry() {
  static Win32Registry instance;
  return instance;
}

}  // namespace plat
