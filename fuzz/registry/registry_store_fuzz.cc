// A fuzzed store on disk, then fuzzed work on it. The input is one step a
// line, a letter and its arguments split by '|':
//   f path|bytes   put a file into the store's folder as it stands on disk
//   d path         put a folder there (the store as some other hand left it)
//   c key          create the key below HKEY_CLASSES_ROOT
//   w key          open it for writing and keep the handle (#0, #1, ...)
//   s key|name|data  set a value       q key|name   query it
//   v key|name     delete the value    x key        delete the key
//   e key          walk the key: every subkey and value
// A key "#n" is the n-th kept handle, "#n|sub" a key below it. Beyond the
// sanitizers' watch: a value set reads back the same, in any letter case;
// what a walk lists can be queried and opened; sizes and "more data"
// answers are those of the registry; a deleted key or value is gone. An
// input that starts with 'M' is a model-based run instead (registry_model.h).
//
// The store runs over folders held in memory (memory_store_files.h), a few
// times faster than over real files, once they have shown at start that they
// answer as real files do (memory_store_agrees.h). With
// KELVO_FUZZ_REGISTRY_ON_DISK set it runs over real files in the fuzzer's own
// folder (on /dev/shm where there is one) instead. Under the sanitizers a
// store call costs a few microseconds, most of it in watched allocations,
// so an input runs at most a dozen steps and walks at most a few keys: every
// rule here shows within a handful of steps, and the fuzzer tries more
// short runs in the time of one long one.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_sandbox.h"
#include "registry/memory_store_agrees.h"
#include "registry/memory_store_files.h"
#include "registry/registry_model.h"
#include "platform/errors.h"
#include "platform/posix/registry_store.h"
#include "platform/posix/registry_store_files.h"
#include "platform/registry.h"

namespace {

constexpr plat::RegKey kRoot = plat::kHkeyClassesRoot;
constexpr size_t kMaxSteps = 12;  // lines past these are not run
constexpr uint32_t kMaxListed = 256;
// A walk costs a few store calls for every key and value it lists, and an
// input can walk a deep tree again and again: past this many keys walked in
// one input, the rest go unwalked (and so unchecked).
constexpr int kMaxKeysWalked = 8;

void Check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "registry_store_fuzz: %s\n", what);
    std::abort();
  }
}

std::vector<std::string> Split(const std::string& text, size_t parts) {
  std::vector<std::string> out;
  size_t start = 0;
  while (out.size() + 1 < parts) {
    size_t bar = text.find('|', start);
    if (bar == std::string::npos) break;
    out.push_back(text.substr(start, bar - start));
    start = bar + 1;
  }
  out.push_back(text.substr(start));
  while (out.size() < parts) out.emplace_back();
  // Names and keys are C strings to the store.
  for (size_t i = 0; i + 1 < out.size(); ++i) out[i] = out[i].c_str();
  return out;
}

// A store-relative path that stays inside the store's folder.
bool SafeRelative(const std::string& path) {
  if (path.empty() || path[0] == '/' || path.find('\0') != std::string::npos) return false;
  for (const auto& part : std::filesystem::path(path)) {
    if (part == "..") return false;
  }
  return true;
}

std::string Flipped(std::string s) {
  for (char& c : s) {
    if (c >= 'A' && c <= 'Z') {
      c = static_cast<char>(c - 'A' + 'a');
    } else if (c >= 'a' && c <= 'z') {
      c = static_cast<char>(c - 'a' + 'A');
    }
  }
  return s;
}

bool PlainName(const std::string& name) {
  if (name.empty()) return false;
  for (char c : name) {
    bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == ' ' ||
              c == '_' || c == '-';
    if (!ok) return false;
  }
  return true;
}

class Session {
 public:
  Session(const std::string& folder, plat::StoreFiles* files)
      : folder_(folder), files_(files), store_(plat::NewFileRegistryStore(folder, files)) {}
  ~Session() {
    for (plat::RegKey key : kept_) store_->CloseKey(key);
  }

  void Step(std::string_view line) {
    if (line.empty()) return;
    char op = line[0];
    std::string rest(line.substr(1));
    switch (op) {
      case 'f': Plant(rest, false); break;
      case 'd': Plant(rest, true); break;
      case 'c': Create(rest); break;
      case 'w': Keep(rest); break;
      case 's': Set(Split(rest, 3)); break;
      case 'q': Query(Split(rest, 2)); break;
      case 'v': DeleteValue(Split(rest, 2)); break;
      case 'x': DeleteKey(rest.c_str()); break;
      case 'e': Walk(rest.c_str()); break;
      default: break;
    }
  }

 private:
  // "#n" or "#n|sub": a kept handle and the key below it; anything else is
  // below the root. False when the handle isn't there.
  bool Target(const std::string& key, plat::RegKey* parent, std::string* sub) {
    if (key.empty() || key[0] != '#') {
      *parent = kRoot;
      *sub = key;
      return true;
    }
    size_t bar = key.find('|');
    size_t index = std::strtoul(key.substr(1, bar == std::string::npos ? std::string::npos : bar - 1).c_str(),
                                nullptr, 10);
    if (index >= kept_.size()) return false;
    *parent = kept_[index];
    *sub = bar == std::string::npos ? std::string() : key.substr(bar + 1);
    return true;
  }

  // Opens key (with allAccess) into *key; returns the store's answer.
  int32_t Open(const std::string& text, bool allAccess, plat::RegKey* key) {
    plat::RegKey parent;
    std::string sub;
    if (!Target(text, &parent, &sub)) return 6;
    return store_->OpenKey(parent, sub.empty() ? nullptr : sub.c_str(), allAccess, key);
  }

  void Plant(const std::string& rest, bool folder) {
    planted_ = true;
    auto parts = Split(rest, 2);
    // Escapes the store would not have written ("%6C" for 'l') list under
    // the name they stand for, which then names another entry.
    if (parts[0].find('%') != std::string::npos) oddNames_ = true;
    if (!SafeRelative(parts[0])) return;
    // Every folder on the way is made, as far as it can be; a file then
    // takes the place of one that stands there.
    std::string path = folder_;
    std::vector<std::string> names;
    for (const auto& part : std::filesystem::path(parts[0])) {
      if (!part.empty() && part != ".") names.push_back(part.string());
    }
    if (names.empty()) return;
    for (size_t i = 0; i < names.size(); ++i) {
      path += "/" + names[i];
      if (i + 1 < names.size() || folder) files_->MakeFolder(path);
    }
    if (folder) return;
    if (files_->Kind(path) == plat::StoreEntry::kFile) files_->Unlink(path);
    files_->WriteNew(path, parts[1]);
  }

  void Create(const std::string& text) {
    plat::RegKey parent;
    std::string sub;
    if (!Target(text, &parent, &sub)) return;
    plat::RegKey key = 0;
    if (store_->CreateKey(parent, sub.c_str(), &key) != 0) return;
    store_->CloseKey(key);
    // What was created opens, in any letter case.
    if (parent == kRoot && !sub.empty()) {
      plat::RegKey again = 0;
      Check(store_->OpenKey(kRoot, Flipped(sub).c_str(), false, &again) == 0, "a created key does not open");
      store_->CloseKey(again);
    }
  }

  void Keep(const std::string& text) {
    plat::RegKey key = 0;
    if (kept_.size() < 8 && Open(text, true, &key) == 0) kept_.push_back(key);
  }

  void Set(const std::vector<std::string>& args) {
    plat::RegKey key = 0;
    plat::RegKey parent;
    std::string sub;
    if (!Target(args[0], &parent, &sub)) return;
    bool own = !sub.empty() || parent == kRoot;
    if (own) {
      if (store_->CreateKey(parent, sub.c_str(), &key) != 0) return;
    } else {
      key = parent;
    }
    const std::string& data = args[2];
    uint32_t type = static_cast<uint32_t>(data.size() % 5);
    int32_t rc = store_->SetValue(key, args[1].c_str(), type, data.data(), static_cast<uint32_t>(data.size()));
    if (rc == 0 && !planted_) {
      // Read back under the other letter case: the same type and bytes.
      std::string other = Flipped(args[1]);
      uint32_t gotType = 99, size = 0;
      Check(store_->QueryValue(key, other.c_str(), &gotType, nullptr, &size) == 0, "a set value is not there");
      Check(size == data.size() && gotType == type, "a set value reads back with another size or type");
      std::vector<char> bytes(size + 1);
      uint32_t room = size;
      Check(store_->QueryValue(key, other.c_str(), nullptr, bytes.data(), &room) == 0 && room == size,
            "a set value does not fit the room it asked for");
      Check(std::memcmp(bytes.data(), data.data(), size) == 0, "a set value reads back other bytes");
      if (size > 0) {
        room = size - 1;
        Check(store_->QueryValue(key, other.c_str(), nullptr, bytes.data(), &room) == plat::kErrorMoreData &&
                  room == size,
              "too small a buffer is not answered with more-data and the size");
      }
    }
    if (own) store_->CloseKey(key);
  }

  void Query(const std::vector<std::string>& args) {
    plat::RegKey key = 0;
    if (Open(args[0], false, &key) != 0) return;
    uint32_t type = 0, size = 0;
    if (store_->QueryValue(key, args[1].c_str(), &type, nullptr, &size) == 0) {
      std::vector<char> bytes(size + 1);
      uint32_t room = size;
      int32_t rc = store_->QueryValue(key, args[1].c_str(), &type, bytes.data(), &room);
      // The value may be one a planted file left unreadable; when it reads, it fits.
      Check(rc != plat::kErrorMoreData || planted_, "data outgrew the size just given for it");
    }
    CloseIfOwn(args[0], key);
  }

  void DeleteValue(const std::vector<std::string>& args) {
    plat::RegKey key = 0;
    if (Open(args[0], true, &key) != 0) return;
    if (store_->DeleteValue(key, args[1].c_str()) == 0 && !planted_) {
      uint32_t size = 0;
      Check(store_->QueryValue(key, args[1].c_str(), nullptr, nullptr, &size) == plat::kErrorFileNotFound,
            "a deleted value is still there");
    }
    CloseIfOwn(args[0], key);
  }

  void DeleteKey(const std::string& text) {
    plat::RegKey parent;
    std::string sub;
    if (!Target(text, &parent, &sub)) return;
    if (store_->DeleteKey(parent, sub.c_str()) == 0 && !planted_) {
      plat::RegKey again = 0;
      int32_t rc = store_->OpenKey(parent, sub.c_str(), false, &again);
      if (rc == 0) store_->CloseKey(again);
      Check(rc == plat::kErrorFileNotFound, "a deleted key still opens");
    }
  }

  // Walks a key to four levels down: every value it lists queries the same,
  // every subkey it lists opens (below the key, by the name listed).
  void Walk(const std::string& text) {
    plat::RegKey key = 0;
    if (Open(text, false, &key) != 0) return;
    WalkKey(key, 0);
    CloseIfOwn(text, key);
  }

  void WalkKey(plat::RegKey key, int depth) {
    if (keysWalked_ >= kMaxKeysWalked) return;
    ++keysWalked_;
    for (uint32_t i = 0; i < kMaxListed; ++i) {
      char name[256];
      uint32_t nameSize = sizeof name;
      uint32_t type = 0;
      uint32_t dataSize = 0;
      int32_t rc = store_->EnumValue(key, i, name, &nameSize, &type, nullptr, &dataSize);
      if (rc == plat::kErrorNoMoreItems) break;
      if (rc != 0) continue;
      Check(nameSize < sizeof name && name[nameSize] == '\0', "a listed value name is not terminated");
      if (std::strlen(name) != nameSize) continue;  // a planted name holding a zero byte
      // Too small a name buffer: more data.
      if (nameSize > 0) {
        char small[256];
        uint32_t smallSize = nameSize;
        Check(store_->EnumValue(key, i, small, &smallSize, nullptr, nullptr, nullptr) == plat::kErrorMoreData,
              "a name that doesn't fit is not answered with more-data");
      }
      if (PlainName(name) && !oddNames_) {
        uint32_t size = 0;
        Check(store_->QueryValue(key, name, nullptr, nullptr, &size) == 0 && size == dataSize,
              "a listed value does not query the same");
      }
    }
    for (uint32_t i = 0; i < kMaxListed; ++i) {
      char name[256];
      int32_t rc = store_->EnumKey(key, i, name, sizeof name);
      if (rc == plat::kErrorNoMoreItems) break;
      if (rc != 0) continue;
      Check(std::memchr(name, '\0', sizeof name) != nullptr, "a listed key name is not terminated");
      if (!PlainName(name)) continue;
      plat::RegKey child = 0;
      rc = store_->OpenKey(key, name, false, &child);
      Check(rc == 0 || oddNames_, "a listed key does not open");
      if (rc != 0) continue;
      if (depth < 4) WalkKey(child, depth + 1);
      store_->CloseKey(child);
    }
  }

  void CloseIfOwn(const std::string& text, plat::RegKey key) {
    // A kept handle opened again is a new handle too: every open is closed.
    (void)text;
    if (key != kRoot) store_->CloseKey(key);
  }

  std::string folder_;
  plat::StoreFiles* files_;
  std::unique_ptr<plat::Registry> store_;
  std::vector<plat::RegKey> kept_;
  bool planted_ = false;
  bool oddNames_ = false;
  int keysWalked_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz_sandbox::Enter();
  std::string differs = registry_model::MemoryAgreesWithDisk(fuzz_sandbox::Folder() + "/agree", 40, 100);
  if (!differs.empty()) {
    std::fprintf(stderr, "registry_store_fuzz: the folders in memory answer otherwise than the disk: %s\n",
                 differs.c_str());
    std::abort();
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool onDisk = std::getenv("KELVO_FUZZ_REGISTRY_ON_DISK") != nullptr;
  registry_model::MemoryStoreFiles memory;
  plat::StoreFiles* files = onDisk ? plat::DiskStoreFiles() : &memory;
  std::string folder = onDisk ? fuzz_sandbox::Folder() + "/store" : std::string("/store");
  if (onDisk) files->RemoveTree(folder);
  if (size > 0 && data[0] == 'M') {
    std::unique_ptr<plat::Registry> store(plat::NewFileRegistryStore(folder, files));
    registry_model::Run(store.get(), data + 1, size - 1);
  } else {
    Session session(folder, files);
    std::string_view input(reinterpret_cast<const char*>(data), size);
    size_t start = 0;
    for (size_t steps = 0; steps < kMaxSteps && start <= input.size(); ++steps) {
      size_t end = input.find('\n', start);
      session.Step(input.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start));
      if (end == std::string_view::npos) break;
      start = end + 1;
    }
  }
  if (onDisk) files->RemoveTree(folder);
  return 0;
}
