#include "platform/posix/registry_store.h"

#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <string_view>
#include <vector>

#include "platform/errors.h"
#include "platform/posix/registry_store_files.h"
#include "platform/posix/registry_store_names.h"
#include "platform/posix/xdg.h"

namespace plat {
namespace {

using store_names::CopyOut;
using store_names::Decode;
using store_names::Encode;
using store_names::HiddenName;
using store_names::IsFolder;
using store_names::KeyPath;
using store_names::kKeyDeleted;
using store_names::kOk;
using store_names::ListedEntry;
using store_names::ReadValueFile;
using store_names::StepInto;
using store_names::ValueFileName;

constexpr int32_t kInvalidHandle = 6;
constexpr int32_t kInvalidParameter = 87;

struct OpenKeyRecord {
  std::string folder;
  bool writable;
};

struct RootKey {
  RegKey key;
  const char* name;
};
constexpr RootKey kRoots[] = {{0x80000000u, "HKEY_CLASSES_ROOT"},
                              {0x80000001u, "HKEY_CURRENT_USER"},
                              {0x80000002u, "HKEY_LOCAL_MACHINE"},
                              {0x80000003u, "HKEY_USERS"},
                              {0x80000005u, "HKEY_CURRENT_CONFIG"}};
constexpr size_t kRootCount = sizeof kRoots / sizeof kRoots[0];

class FileRegistryStore : public Registry {
 public:
  FileRegistryStore(std::string folder, StoreFiles* files) : folder_(std::move(folder)), files_(files) {}

  int32_t OpenKey(RegKey parent, const char* subKey, bool allAccess, RegKey* result) override {
    OpenKeyRecord base;
    int32_t rc = Resolve(parent, &base);
    if (rc != kOk) return rc;
    KeyPath parts;
    rc = parts.Check(subKey);
    if (rc != kOk) return rc;
    if (!IsFolder(files_, base.folder)) {
      return parts.empty() && !IsRoot(parent) ? kKeyDeleted : kErrorFileNotFound;
    }
    std::string folder = std::move(base.folder);
    for (std::string_view part; parts.Next(&part);) {
      rc = StepInto(files_, &folder, Encode(part), true);
      if (rc != kOk) return rc;
    }
    // KEY_ALL_ACCESS is refused where the key can't be written.
    if (allAccess && (rc = files_->Writable(folder)) != kOk) return rc;
    *result = Add(OpenKeyRecord{std::move(folder), allAccess});
    return kOk;
  }

  int32_t CreateKey(RegKey parent, const char* subKey, RegKey* result) override {
    OpenKeyRecord base;
    int32_t rc = Resolve(parent, &base);
    if (rc != kOk) return rc;
    KeyPath parts;
    rc = parts.Check(subKey);
    if (rc != kOk) return rc;
    if (IsRoot(parent)) {
      rc = MakeFolders(base.folder);
      if (rc != kOk) return rc;
    } else if (!IsFolder(files_, base.folder)) {
      return kKeyDeleted;
    }
    std::string folder = std::move(base.folder);
    for (std::string_view part; parts.Next(&part);) {
      std::string stored = Encode(part);
      rc = StepInto(files_, &folder, stored, true);
      if (rc == kErrorFileNotFound) {
        if (!base.writable) return kErrorAccessDenied;
        size_t folderSize = folder.size();
        rc = files_->MakeFolder(folder.append(1, '/').append(stored));
        folder.resize(folderSize);
        if (rc != kOk) return rc;
        // Another process may have made it under another letter case meanwhile.
        rc = StepInto(files_, &folder, stored, true);
      }
      if (rc != kOk) return rc;
    }
    rc = files_->Writable(folder);
    if (rc != kOk) return rc;
    *result = Add(OpenKeyRecord{std::move(folder), true});
    return kOk;
  }

  int32_t SetValue(RegKey key, const char* name, uint32_t type, const void* data,
                   uint32_t size) override {
    OpenKeyRecord k;
    int32_t rc = Resolve(key, &k);
    if (rc != kOk) return rc;
    if (!k.writable) return kErrorAccessDenied;
    if (IsRoot(key)) {
      rc = MakeFolders(k.folder);
      if (rc != kOk) return rc;
    }
    if (!data && size) return kInvalidParameter;
    if (!IsFolder(files_, k.folder)) return kKeyDeleted;
    std::string stored = ValueFileName(name);
    std::string& path = k.folder;
    size_t keySize = path.size();
    rc = StepInto(files_, &path, stored, false);
    if (rc == kErrorFileNotFound) {
      path.append(1, '/').append(stored);
    } else if (rc != kOk) {
      return rc;
    }
    std::string temp = HiddenName(std::string_view(path).substr(0, keySize), ".tmp-");
    std::string bytes;
    bytes.reserve(4 + size);
    bytes = {static_cast<char>(type), static_cast<char>(type >> 8), static_cast<char>(type >> 16),
             static_cast<char>(type >> 24)};
    if (size) bytes.append(static_cast<const char*>(data), size);
    rc = files_->WriteNew(temp, bytes);
    if (rc != kOk) return rc;
    rc = files_->Rename(temp, path);
    if (rc != kOk) files_->Unlink(temp);
    return rc;
  }

  int32_t DeleteKey(RegKey parent, const char* subKey) override {
    OpenKeyRecord base;
    int32_t rc = Resolve(parent, &base);
    if (rc != kOk) return rc;
    KeyPath parts;
    rc = parts.Check(subKey);
    if (rc != kOk) return rc;
    if (parts.empty()) return kInvalidParameter;
    if (!IsFolder(files_, base.folder)) return IsRoot(parent) ? kErrorFileNotFound : kKeyDeleted;
    std::string target = std::move(base.folder);
    size_t parentSize = 0;
    for (std::string_view part; parts.Next(&part);) {
      parentSize = target.size();
      rc = StepInto(files_, &target, Encode(part), true);
      if (rc != kOk) return rc;
    }
    std::string firstChild;
    rc = ListedEntry(files_, target, true, 0, &firstChild);
    if (rc == kOk) return kErrorAccessDenied;  // it has subkeys, as RegDeleteKeyA answers
    if (rc != kErrorNoMoreItems) return rc == kKeyDeleted ? kErrorFileNotFound : rc;
    // Take the key out of sight in one step, then clear it away.
    std::string doomed = HiddenName(std::string_view(target).substr(0, parentSize), ".del-");
    rc = files_->Rename(target, doomed);
    if (rc != kOk) return rc;
    files_->RemoveTree(doomed);
    return kOk;
  }

  int32_t DeleteValue(RegKey key, const char* name) override {
    OpenKeyRecord k;
    int32_t rc = Resolve(key, &k);
    if (rc != kOk) return rc;
    if (!k.writable) return kErrorAccessDenied;
    if (!IsFolder(files_, k.folder)) return IsRoot(key) ? kErrorFileNotFound : kKeyDeleted;
    rc = StepInto(files_, &k.folder, ValueFileName(name), false);
    if (rc != kOk) return rc;
    return files_->Unlink(k.folder);
  }

  int32_t EnumValue(RegKey key, uint32_t index, char* name, uint32_t* nameSize, uint32_t* type,
                    void* data, uint32_t* dataSize) override {
    OpenKeyRecord k;
    int32_t rc = Resolve(key, &k);
    if (rc != kOk) return rc;
    std::string stored;
    rc = ListedEntry(files_, k.folder, false, index, &stored);
    if (rc != kOk) return IsRoot(key) && rc == kKeyDeleted ? kErrorNoMoreItems : rc;
    std::string valueName = Decode(std::string_view(stored).substr(1));
    uint32_t t = 0;
    std::string bytes;
    rc = ReadValueFile(files_, k.folder.append(1, '/').append(stored), &t, &bytes);
    if (rc != kOk) return rc;
    if (valueName.size() + 1 > *nameSize) {
      *nameSize = static_cast<uint32_t>(valueName.size());
      return kErrorMoreData;
    }
    std::memcpy(name, valueName.c_str(), valueName.size() + 1);
    *nameSize = static_cast<uint32_t>(valueName.size());
    if (type) *type = t;
    if (dataSize) return CopyOut(bytes, data, dataSize);
    return kOk;
  }

  int32_t EnumKey(RegKey key, uint32_t index, char* name, uint32_t nameSize) override {
    OpenKeyRecord k;
    int32_t rc = Resolve(key, &k);
    if (rc != kOk) return rc;
    std::string stored;
    rc = ListedEntry(files_, k.folder, true, index, &stored);
    if (rc != kOk) return IsRoot(key) && rc == kKeyDeleted ? kErrorNoMoreItems : rc;
    std::string keyName = Decode(stored);
    if (keyName.size() + 1 > nameSize) return kErrorMoreData;
    std::memcpy(name, keyName.c_str(), keyName.size() + 1);
    return kOk;
  }

  int32_t QueryValue(RegKey key, const char* name, uint32_t* type, void* data,
                     uint32_t* dataSize) override {
    OpenKeyRecord k;
    int32_t rc = Resolve(key, &k);
    if (rc != kOk) return rc;
    if (!IsFolder(files_, k.folder)) return IsRoot(key) ? kErrorFileNotFound : kKeyDeleted;
    rc = StepInto(files_, &k.folder, ValueFileName(name), false);
    if (rc != kOk) return rc;
    uint32_t t = 0;
    std::string bytes;
    rc = ReadValueFile(files_, k.folder, &t, &bytes);
    if (rc != kOk) return rc;
    if (type) *type = t;
    return CopyOut(bytes, data, dataSize);
  }

  int32_t CloseKey(RegKey key) override {
    if (IsRoot(key)) return kOk;
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = FindOpen(key);
    if (it == open_.end()) return kInvalidHandle;
    open_.erase(it);
    return kOk;
  }

 private:
  static size_t RootIndex(RegKey key) {
    for (size_t i = 0; i < kRootCount; ++i) {
      if (kRoots[i].key == key) return i;
    }
    return kRootCount;
  }
  static bool IsRoot(RegKey key) { return RootIndex(key) < kRootCount; }

  // The key's folder is copied out with room to spare: calls add the names
  // of subkeys and values to it in place, rather than build new paths.
  int32_t Resolve(RegKey key, OpenKeyRecord* record) {
    constexpr size_t kRoom = 128;
    size_t root = RootIndex(key);
    if (root < kRootCount) {
      if (folder_.empty()) return kErrorPathNotFound;
      const char* name = kRoots[root].name;
      record->folder.reserve(folder_.size() + 1 + std::strlen(name) + kRoom);
      record->folder.assign(folder_).append(1, '/').append(name);
      record->writable = true;
      return kOk;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = FindOpen(key);
    if (it == open_.end()) return kInvalidHandle;
    record->folder.reserve(it->second.folder.size() + kRoom);
    record->folder.assign(it->second.folder);
    record->writable = it->second.writable;
    return kOk;
  }

  RegKey Add(OpenKeyRecord record) {
    std::lock_guard<std::mutex> lock(mutex_);
    RegKey key = next_++;
    open_.emplace_back(key, std::move(record));
    return key;
  }

  // Handles are handed out in rising order and never again, so the table
  // stays sorted as it grows. Call with mutex_ held.
  std::vector<std::pair<RegKey, OpenKeyRecord>>::iterator FindOpen(RegKey key) {
    auto it = std::lower_bound(open_.begin(), open_.end(), key,
                               [](const std::pair<RegKey, OpenKeyRecord>& entry, RegKey k) { return entry.first < k; });
    return it != open_.end() && it->first == key ? it : open_.end();
  }

  int32_t MakeFolders(const std::string& path) {
    // Nearly always there already: one look instead of a call per folder.
    if (IsFolder(files_, path)) return kOk;
    for (size_t at = 1; at <= path.size(); ++at) {
      if (at != path.size() && path[at] != '/') continue;
      int32_t rc = files_->MakeFolder(path.substr(0, at));
      if (rc != kOk) return rc;
    }
    return IsFolder(files_, path) ? kOk : kErrorPathNotFound;
  }

  std::string folder_;
  StoreFiles* files_;
  std::mutex mutex_;
  RegKey next_ = 1;
  std::vector<std::pair<RegKey, OpenKeyRecord>> open_;
};

}  // namespace

Registry* NewFileRegistryStore(const std::string& folder) { return NewFileRegistryStore(folder, DiskStoreFiles()); }

Registry* NewFileRegistryStore(const std::string& folder, StoreFiles* files) {
  return new FileRegistryStore(folder, files);
}

std::string RegistryStoreFolder() {
  std::string config = XdgBaseFolder("XDG_CONFIG_HOME", ".config");
  return config.empty() ? std::string() : config + "/KelvoUpgrader/registry";
}

}  // namespace plat
