// The registry as the program uses it: read-only walks of the serial device
// map and the USB device records, and the keys of the kelvo:// URL scheme.
// Every call answers with a Windows error code (0 = success, 2 = not found,
// 5 = access denied, 259 = no more items, 234 = more data) on every build.
#pragma once
#include <cstdint>

namespace plat {

using RegKey = uintptr_t;
constexpr RegKey kHkeyClassesRoot = 0x80000000u;
constexpr RegKey kHkeyLocalMachine = 0x80000002u;

constexpr uint32_t kRegSz = 1;
constexpr uint32_t kRegDword = 4;

constexpr int32_t kErrorNoMoreItems = 259;
constexpr int32_t kErrorMoreData = 234;

class Registry {
 public:
  virtual ~Registry() = default;
  // RegOpenKeyExA with options 0: KEY_READ, or KEY_ALL_ACCESS when allAccess.
  virtual int32_t OpenKey(RegKey parent, const char* subKey, bool allAccess, RegKey* result) = 0;
  // RegCreateKeyExA: no class, non-volatile, KEY_ALL_ACCESS, default security;
  // creates missing keys on the way and opens an existing one.
  virtual int32_t CreateKey(RegKey parent, const char* subKey, RegKey* result) = 0;
  // RegSetValueExA; a null or empty name is the key's default value.
  virtual int32_t SetValue(RegKey key, const char* name, uint32_t type, const void* data,
                           uint32_t size) = 0;
  // RegDeleteKeyA: only a key without subkeys.
  virtual int32_t DeleteKey(RegKey parent, const char* subKey) = 0;
  virtual int32_t DeleteValue(RegKey key, const char* name) = 0;
  // RegEnumValueA. nameSize: in, the name buffer's size in characters; out,
  // the name's length. dataSize: in, the data buffer's size; out, the data's size.
  virtual int32_t EnumValue(RegKey key, uint32_t index, char* name, uint32_t* nameSize,
                            uint32_t* type, void* data, uint32_t* dataSize) = 0;
  // RegEnumKeyA into a buffer of nameSize bytes.
  virtual int32_t EnumKey(RegKey key, uint32_t index, char* name, uint32_t nameSize) = 0;
  // RegQueryValueExA; type may be null. dataSize: in, the buffer's size; out, the data's.
  virtual int32_t QueryValue(RegKey key, const char* name, uint32_t* type, void* data,
                             uint32_t* dataSize) = 0;
  virtual int32_t CloseKey(RegKey key) = 0;
};

struct HeldFile;  // platform/files.h

// Held by "register" and "unregister" for the whole of their work, so that
// two of them (in any processes of this user) never interleave: a lock file
// in a folder of the user's own. Waits up to waitMs while another holds it.
// Null when it couldn't be had, with the code in LastErrorCode() (32, the
// sharing violation, when another held it all the while). Once it is held,
// what runs that were killed left behind is taken away (Linux: the
// registration store's temporary names of processes that have ended).
HeldFile* LockSchemeRegistration(int waitMs);
// Lets go of the lock and removes its file, so that no run leaves one behind;
// a run that waits for it meanwhile takes a new one, never the removed file.
// After an "unregister" (unregistered), the folders left holding nothing go
// too (Linux: the store's empty keys, and the folder of the store and lock).
void ReleaseSchemeRegistrationLock(HeldFile* lock, bool unregistered);

// The registry in use: the system's, unless a test put its own in place.
Registry& registry();
void SetRegistry(Registry* replacement);  // nullptr puts the system's back
Registry& SystemRegistry();

}  // namespace plat
