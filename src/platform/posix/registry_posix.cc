// The registry on Linux: the robot link's two trees under
// HKEY_LOCAL_MACHINE come from sysfs (read-only); every other key lives in
// the file store of the current environment.
#include <unistd.h>

#include <chrono>
#include <map>
#include <mutex>
#include <string>

#include "platform/errors.h"
#include "platform/files.h"
#include "platform/posix/registry_store.h"
#include "platform/posix/registry_sysfs.h"
#include "platform/text.h"

namespace plat {
namespace {

// The store follows the environment, so a run (or a test) that points
// XDG_CONFIG_HOME elsewhere gets that folder's store. Stores live as long as
// the process: keys opened in one stay valid after the environment changes.
Registry& CurrentStore() {
  static std::mutex mutex;
  static auto* stores = new std::map<std::string, Registry*>;
  std::lock_guard<std::mutex> lock(mutex);
  std::string folder = RegistryStoreFolder();
  Registry*& store = (*stores)[folder];
  if (!store) store = NewFileRegistryStore(folder);
  return *store;
}

// True when path (below HKEY_LOCAL_MACHINE) is prefix or lies below it,
// compared without regard to letter case.
bool IsUnder(const char* path, const char* prefix) {
  while (*path == '\\') ++path;
  for (; *prefix; ++path, ++prefix) {
    if (AsciiLower(*path) != AsciiLower(*prefix)) return false;
  }
  return *path == '\0' || *path == '\\';
}

bool IsSysfsPath(RegKey parent, const char* subKey) {
  if (parent != kHkeyLocalMachine || !subKey) return false;
  return IsUnder(subKey, "hardware\\devicemap\\serialcomm") ||
         IsUnder(subKey, "system\\currentcontrolset\\enum\\usb");
}

// Hands out keys of its own and remembers which registry and key each stands for.
class RoutedRegistry : public Registry {
 public:
  int32_t OpenKey(RegKey parent, const char* subKey, bool allAccess, RegKey* result) override {
    Target target = Route(parent, subKey);
    if (!target.registry) return 6;  // ERROR_INVALID_HANDLE
    RegKey key = 0;
    int32_t rc = target.registry->OpenKey(target.key, subKey, allAccess, &key);
    if (rc == 0) *result = Add(target.registry, key);
    return rc;
  }
  int32_t CreateKey(RegKey parent, const char* subKey, RegKey* result) override {
    Target target = Route(parent, subKey);
    if (!target.registry) return 6;
    RegKey key = 0;
    int32_t rc = target.registry->CreateKey(target.key, subKey, &key);
    if (rc == 0) *result = Add(target.registry, key);
    return rc;
  }
  int32_t SetValue(RegKey key, const char* name, uint32_t type, const void* data, uint32_t size) override {
    Target t = Route(key, nullptr);
    return t.registry ? t.registry->SetValue(t.key, name, type, data, size) : 6;
  }
  int32_t DeleteKey(RegKey parent, const char* subKey) override {
    Target t = Route(parent, subKey);
    return t.registry ? t.registry->DeleteKey(t.key, subKey) : 6;
  }
  int32_t DeleteValue(RegKey key, const char* name) override {
    Target t = Route(key, nullptr);
    return t.registry ? t.registry->DeleteValue(t.key, name) : 6;
  }
  int32_t EnumValue(RegKey key, uint32_t index, char* name, uint32_t* nameSize, uint32_t* type, void* data,
                    uint32_t* dataSize) override {
    Target t = Route(key, nullptr);
    return t.registry ? t.registry->EnumValue(t.key, index, name, nameSize, type, data, dataSize) : 6;
  }
  int32_t EnumKey(RegKey key, uint32_t index, char* name, uint32_t nameSize) override {
    Target t = Route(key, nullptr);
    return t.registry ? t.registry->EnumKey(t.key, index, name, nameSize) : 6;
  }
  int32_t QueryValue(RegKey key, const char* name, uint32_t* type, void* data, uint32_t* dataSize) override {
    Target t = Route(key, nullptr);
    return t.registry ? t.registry->QueryValue(t.key, name, type, data, dataSize) : 6;
  }
  int32_t CloseKey(RegKey key) override {
    Target t;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      auto it = open_.find(key);
      if (it == open_.end()) return 6;
      t = it->second;
      open_.erase(it);
    }
    return t.registry->CloseKey(t.key);
  }

 private:
  struct Target {
    Registry* registry = nullptr;
    RegKey key = 0;
  };

  // A predefined key goes to the store, unless the path names one of the
  // sysfs trees; a key of ours goes where it came from.
  Target Route(RegKey key, const char* subKey) {
    if (key >= kHkeyClassesRoot) {
      if (IsSysfsPath(key, subKey)) return Target{Sysfs(), key};
      return Target{&CurrentStore(), key};
    }
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = open_.find(key);
    return it == open_.end() ? Target() : it->second;
  }

  RegKey Add(Registry* registry, RegKey key) {
    std::lock_guard<std::mutex> lock(mutex_);
    RegKey ours = next_;
    next_ += 4;
    open_[ours] = Target{registry, key};
    return ours;
  }

  static Registry* Sysfs() {
    static Registry* view = NewSysfsRegistryView("/sys");
    return view;
  }

  std::mutex mutex_;
  std::map<RegKey, Target> open_;
  RegKey next_ = 0x7000;
};

}  // namespace

namespace {
constexpr int32_t kErrorSharingViolation = 32;

std::string RegistrationLockPath(const std::string& store) {
  return FolderOf(store) + "/registration.lock";
}
}  // namespace

// Beside the store, in the user's own folder (0700). The run before may have
// removed the file, or even its folder, while this one waited: a lock on a
// file that is no longer at its name is no lock, so it is taken again.
HeldFile* LockSchemeRegistration(int waitMs) {
  std::string store = RegistryStoreFolder();
  if (store.empty()) {
    SetLastErrorCode(kErrorPathNotFound);
    return nullptr;
  }
  std::string folder = FolderOf(store);
  std::string path = RegistrationLockPath(store);
  auto giveUp = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
  for (int tries = 0;; ++tries) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        giveUp - std::chrono::steady_clock::now());
    int leftMs = left.count() > 0 ? static_cast<int>(left.count()) : 0;
    int32_t rc = CreateFolderTree(folder.c_str());
    if (rc != 0 && rc != kErrorAlreadyExists) return nullptr;
    HeldFile* held = HoldFile(path.c_str(), true, leftMs);
    if (held && HeldFileIsAt(held, path.c_str())) {
      TidyRegistryStore(store, false);
      return held;
    }
    int32_t code = held ? kErrorSharingViolation : LastErrorCode();
    ReleaseHeldFile(held);
    bool gone = code == kErrorFileNotFound || code == kErrorPathNotFound;
    if ((!held && !gone) || leftMs == 0 || tries >= 10000) {
      SetLastErrorCode(code);
      return nullptr;
    }
  }
}

void ReleaseSchemeRegistrationLock(HeldFile* lock, bool unregistered) {
  if (!lock) return;
  std::string store = RegistryStoreFolder();
  if (unregistered) TidyRegistryStore(store, true);
  // Removed while still held: a run that waits on this file finds it gone
  // once it has it, and takes the lock again on a new file.
  ::unlink(RegistrationLockPath(store).c_str());
  ReleaseHeldFile(lock);
  // Nothing else of ours is left in it (the log lives elsewhere); a run that
  // has just made its lock file in it keeps it, since only an empty folder goes.
  if (unregistered) ::rmdir(FolderOf(store).c_str());
}

Registry& SystemRegistry() {
  static RoutedRegistry* instance = new RoutedRegistry;
  return *instance;
}

}  // namespace plat
