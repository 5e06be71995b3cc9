#include "platform/posix/registry_store.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/errors.h"
#include "platform/posix/registry_store_files.h"
#include "platform/posix/xdg.h"
#include "platform/text.h"

namespace plat {
namespace {

constexpr int32_t kOk = 0;
constexpr int32_t kInvalidHandle = 6;
constexpr int32_t kInvalidParameter = 87;
constexpr int32_t kBadPathname = 161;
constexpr int32_t kKeyDeleted = 1018;

bool LessNoCase(const std::string& a, const std::string& b) {
  return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(),
                                      [](char x, char y) {
                                        return static_cast<unsigned char>(AsciiLower(x)) <
                                               static_cast<unsigned char>(AsciiLower(y));
                                      });
}

// Escapes are written with upper-case digits, so two encoded names are equal
// without regard to case exactly when the names themselves are.
std::string Encode(const std::string& name) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (size_t i = 0; i < name.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(name[i]);
    bool escape = c < 0x20 || c == 0x7F || c == '%' || c == '/' || c == '@' || (i == 0 && c == '.');
    if (escape) {
      out.push_back('%');
      out.push_back(kHex[c >> 4]);
      out.push_back(kHex[c & 15]);
    } else {
      out.push_back(static_cast<char>(c));
    }
  }
  return out;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

std::string Decode(const std::string& stored) {
  std::string out;
  for (size_t i = 0; i < stored.size(); ++i) {
    if (stored[i] == '%' && i + 2 < stored.size() && HexDigit(stored[i + 1]) >= 0 &&
        HexDigit(stored[i + 2]) >= 0) {
      out.push_back(static_cast<char>(HexDigit(stored[i + 1]) * 16 + HexDigit(stored[i + 2])));
      i += 2;
    } else {
      out.push_back(stored[i]);
    }
  }
  return out;
}

std::string ValueFileName(const char* name) { return "@" + Encode(name ? name : ""); }

bool IsFolder(StoreFiles* files, const std::string& path) { return files->Kind(path) == StoreEntry::kFolder; }

// The entries of a key's folder: subkey folders or value files (stored names).
// Temporary files and keys being removed start with '.', and are never listed.
int32_t ListEntries(StoreFiles* files, const std::string& folder, bool folders, std::vector<std::string>* names) {
  std::vector<std::pair<std::string, StoreEntry>> entries;
  int32_t rc = files->List(folder, &entries);
  if (rc != kOk) return rc == kErrorFileNotFound ? kKeyDeleted : rc;
  names->clear();
  for (auto& entry : entries) {
    const std::string& n = entry.first;
    if (n[0] == '.') continue;
    bool isValue = n[0] == '@';
    if (isValue == folders) continue;
    if (entry.second == (folders ? StoreEntry::kFolder : StoreEntry::kFile)) names->push_back(std::move(entry.first));
  }
  std::sort(names->begin(), names->end(),
            [](const std::string& a, const std::string& b) { return LessNoCase(a, b); });
  return kOk;
}

std::string Child(const std::string& folder, const std::string& name) {
  std::string path;
  path.reserve(folder.size() + 1 + name.size());
  return path.append(folder).append(1, '/').append(name);
}

// Finds the stored name of an entry, letter case aside. 0 when found,
// 2 when there is none, another code when the folder can't be read. Of
// names that differ only in letter case (which only another hand can have
// left), the first in byte order is taken, whatever order the folder lists
// and whatever case the name is asked for in: were the name as asked taken
// first when it is there, a key made as "kelvo\\s" beside a "Kelvo" would
// not open as "KELVO\\S".
int32_t FindEntry(StoreFiles* files, const std::string& folder, const std::string& stored, bool wantFolder,
                  std::string* actual) {
  StoreEntry want = wantFolder ? StoreEntry::kFolder : StoreEntry::kFile;
  std::vector<std::pair<std::string, StoreEntry>> entries;
  int32_t rc = files->List(folder, &entries);
  if (rc != kOk) {
    // A folder that can be entered but not read: only the name as given
    // can be looked for in it.
    if (files->Kind(Child(folder, stored)) != want) return rc;
    *actual = stored;
    return kOk;
  }
  const std::string* found = nullptr;
  for (const auto& entry : entries) {
    if (entry.second == want && EqualsNoCase(entry.first, stored) && (!found || entry.first < *found)) {
      found = &entry.first;
    }
  }
  if (!found) return kErrorFileNotFound;
  *actual = *found;
  return kOk;
}

// Splits "a\b\c" into its names. Empty names (a leading, doubled or trailing
// backslash) are refused, as the registry refuses them.
int32_t SplitKeyPath(const char* subKey, std::vector<std::string>* parts) {
  parts->clear();
  if (!subKey || !*subKey) return kOk;
  std::string_view path(subKey);
  size_t start = 0;
  for (;;) {
    size_t end = path.find('\\', start);
    std::string_view part = path.substr(start, end == std::string::npos ? std::string::npos : end - start);
    if (part.empty()) return kBadPathname;
    parts->emplace_back(part);
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return kOk;
}

int32_t ReadValueFile(StoreFiles* files, const std::string& path, uint32_t* type, std::string* data) {
  std::string bytes;
  int32_t rc = files->Read(path, &bytes);
  if (rc != kOk) return rc;
  if (bytes.size() < 4) return kErrorGenFailure;  // not one of ours
  const auto* b = reinterpret_cast<const unsigned char*>(bytes.data());
  *type = static_cast<uint32_t>(b[0]) | static_cast<uint32_t>(b[1]) << 8 |
          static_cast<uint32_t>(b[2]) << 16 | static_cast<uint32_t>(b[3]) << 24;
  bytes.erase(0, 4);
  *data = std::move(bytes);
  return kOk;
}

std::string UniqueSuffix() {
  static std::atomic<unsigned> counter{0};
  return std::to_string(::getpid()) + "-" + std::to_string(counter++);
}

// Copies out into a caller's buffer the way RegQueryValueExA does: size only
// when data is null, 234 with the needed size when it doesn't fit.
int32_t CopyOut(const std::string& bytes, void* data, uint32_t* dataSize) {
  uint32_t needed = static_cast<uint32_t>(bytes.size());
  if (!data) {
    *dataSize = needed;
    return kOk;
  }
  if (*dataSize < needed) {
    *dataSize = needed;
    return kErrorMoreData;
  }
  if (needed) std::memcpy(data, bytes.data(), needed);
  *dataSize = needed;
  return kOk;
}

struct OpenKeyRecord {
  std::string folder;
  bool writable;
};

class FileRegistryStore : public Registry {
 public:
  FileRegistryStore(std::string folder, StoreFiles* files) : folder_(std::move(folder)), files_(files) {}

  int32_t OpenKey(RegKey parent, const char* subKey, bool allAccess, RegKey* result) override {
    OpenKeyRecord base;
    int32_t rc = Resolve(parent, &base);
    if (rc != kOk) return rc;
    std::vector<std::string> parts;
    rc = SplitKeyPath(subKey, &parts);
    if (rc != kOk) return rc;
    std::string folder = std::move(base.folder);
    if (!IsFolder(files_, folder)) return parts.empty() && !IsRoot(parent) ? kKeyDeleted : kErrorFileNotFound;
    for (const auto& part : parts) {
      std::string actual;
      rc = FindEntry(files_, folder, Encode(part), true, &actual);
      if (rc != kOk) return rc;
      folder.append(1, '/').append(actual);
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
    std::vector<std::string> parts;
    rc = SplitKeyPath(subKey, &parts);
    if (rc != kOk) return rc;
    std::string folder = std::move(base.folder);
    if (IsRoot(parent)) {
      rc = MakeFolders(folder);
      if (rc != kOk) return rc;
    } else if (!IsFolder(files_, folder)) {
      return kKeyDeleted;
    }
    for (const auto& part : parts) {
      std::string stored = Encode(part);
      std::string actual;
      rc = FindEntry(files_, folder, stored, true, &actual);
      if (rc == kErrorFileNotFound) {
        if (!base.writable) return kErrorAccessDenied;
        rc = files_->MakeFolder(Child(folder, stored));
        if (rc != kOk) return rc;
        // Another process may have made it under another letter case meanwhile.
        rc = FindEntry(files_, folder, stored, true, &actual);
      }
      if (rc != kOk) return rc;
      folder.append(1, '/').append(actual);
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
    std::string actual;
    rc = FindEntry(files_, k.folder, ValueFileName(name), false, &actual);
    if (rc == kErrorFileNotFound) {
      actual = ValueFileName(name);
    } else if (rc != kOk) {
      return rc;
    }
    std::string temp = k.folder + "/.tmp-" + UniqueSuffix();
    std::string bytes = {static_cast<char>(type), static_cast<char>(type >> 8), static_cast<char>(type >> 16),
                         static_cast<char>(type >> 24)};
    if (size) bytes.append(static_cast<const char*>(data), size);
    rc = files_->WriteNew(temp, bytes);
    if (rc != kOk) return rc;
    rc = files_->Rename(temp, Child(k.folder, actual));
    if (rc != kOk) files_->Unlink(temp);
    return rc;
  }

  int32_t DeleteKey(RegKey parent, const char* subKey) override {
    OpenKeyRecord base;
    int32_t rc = Resolve(parent, &base);
    if (rc != kOk) return rc;
    std::vector<std::string> parts;
    rc = SplitKeyPath(subKey, &parts);
    if (rc != kOk) return rc;
    if (parts.empty()) return kInvalidParameter;
    std::string folder = std::move(base.folder);
    if (!IsFolder(files_, folder)) return IsRoot(parent) ? kErrorFileNotFound : kKeyDeleted;
    std::string target;
    for (const auto& part : parts) {
      std::string actual;
      rc = FindEntry(files_, folder, Encode(part), true, &actual);
      if (rc != kOk) return rc;
      target = Child(folder, actual);
      folder = target;
    }
    std::vector<std::string> children;
    rc = ListEntries(files_, target, true, &children);
    if (rc != kOk) return rc == kKeyDeleted ? kErrorFileNotFound : rc;
    if (!children.empty()) return kErrorAccessDenied;  // as RegDeleteKeyA answers
    // Take the key out of sight in one step, then clear it away.
    std::string parentFolder = target.substr(0, target.rfind('/'));
    std::string doomed = parentFolder + "/.del-" + UniqueSuffix();
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
    std::string actual;
    rc = FindEntry(files_, k.folder, ValueFileName(name), false, &actual);
    if (rc != kOk) return rc;
    return files_->Unlink(Child(k.folder, actual));
  }

  int32_t EnumValue(RegKey key, uint32_t index, char* name, uint32_t* nameSize, uint32_t* type,
                    void* data, uint32_t* dataSize) override {
    OpenKeyRecord k;
    int32_t rc = Resolve(key, &k);
    if (rc != kOk) return rc;
    std::vector<std::string> values;
    rc = ListEntries(files_, k.folder, false, &values);
    if (rc != kOk) return IsRoot(key) && rc == kKeyDeleted ? kErrorNoMoreItems : rc;
    if (index >= values.size()) return kErrorNoMoreItems;
    std::string valueName = Decode(values[index].substr(1));
    uint32_t t = 0;
    std::string bytes;
    rc = ReadValueFile(files_, Child(k.folder, values[index]), &t, &bytes);
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
    std::vector<std::string> keys;
    rc = ListEntries(files_, k.folder, true, &keys);
    if (rc != kOk) return IsRoot(key) && rc == kKeyDeleted ? kErrorNoMoreItems : rc;
    if (index >= keys.size()) return kErrorNoMoreItems;
    std::string keyName = Decode(keys[index]);
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
    std::string actual;
    rc = FindEntry(files_, k.folder, ValueFileName(name), false, &actual);
    if (rc != kOk) return rc;
    uint32_t t = 0;
    std::string bytes;
    rc = ReadValueFile(files_, Child(k.folder, actual), &t, &bytes);
    if (rc != kOk) return rc;
    if (type) *type = t;
    return CopyOut(bytes, data, dataSize);
  }

  int32_t CloseKey(RegKey key) override {
    if (IsRoot(key)) return kOk;
    std::lock_guard<std::mutex> lock(mutex_);
    return open_.erase(key) ? kOk : kInvalidHandle;
  }

 private:
  static const char* RootName(RegKey key) {
    switch (key) {
      case 0x80000000u: return "HKEY_CLASSES_ROOT";
      case 0x80000001u: return "HKEY_CURRENT_USER";
      case 0x80000002u: return "HKEY_LOCAL_MACHINE";
      case 0x80000003u: return "HKEY_USERS";
      case 0x80000005u: return "HKEY_CURRENT_CONFIG";
      default: return nullptr;
    }
  }
  static bool IsRoot(RegKey key) { return RootName(key) != nullptr; }

  int32_t Resolve(RegKey key, OpenKeyRecord* record) {
    if (const char* root = RootName(key)) {
      if (folder_.empty()) return kErrorPathNotFound;
      *record = OpenKeyRecord{folder_ + "/" + root, true};
      return kOk;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = open_.find(key);
    if (it == open_.end()) return kInvalidHandle;
    *record = it->second;
    return kOk;
  }

  RegKey Add(OpenKeyRecord record) {
    std::lock_guard<std::mutex> lock(mutex_);
    RegKey key = next_++;
    open_.emplace(key, std::move(record));
    return key;
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
  std::unordered_map<RegKey, OpenKeyRecord> open_;
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
