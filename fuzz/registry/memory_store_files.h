// Folders and files held in memory, for the registry store's fuzzer: the
// store's rules run over them tens of times faster than over the kernel's
// file calls, tmpfs included. They answer as Linux's calls do, in the same
// Windows codes: a missing folder on the way is "file not found", a file on
// the way "path not found", a folder where a file is wanted "access denied",
// a folder renamed over a folder that holds something a general failure.
#pragma once
#include <cerrno>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/errors.h"
#include "platform/posix/registry_store_files.h"

namespace registry_model {

class MemoryStoreFiles : public plat::StoreFiles {
 public:
  plat::StoreEntry Kind(const std::string& path) override { return KindOf(path); }

  plat::StoreEntry KindOf(std::string_view path) const {
    if (path == "/") return plat::StoreEntry::kFolder;
    auto it = nodes_.find(path);
    if (it == nodes_.end()) return plat::StoreEntry::kNone;
    return it->second.folder ? plat::StoreEntry::kFolder : plat::StoreEntry::kFile;
  }

  int32_t Writable(const std::string& folder) override {
    int32_t rc = OnTheWay(folder);
    if (rc != 0) return rc;
    switch (Kind(folder)) {
      case plat::StoreEntry::kFolder: return 0;
      case plat::StoreEntry::kNone: return Code(ENOENT);
      default: return Code(EACCES);  // a 0600 file can't be entered
    }
  }

  int32_t List(const std::string& folder, std::vector<std::pair<std::string, plat::StoreEntry>>* entries) override {
    int32_t rc = OnTheWay(folder);
    if (rc != 0) return rc;
    plat::StoreEntry kind = Kind(folder);
    if (kind == plat::StoreEntry::kNone) return Code(ENOENT);
    if (kind != plat::StoreEntry::kFolder) return Code(ENOTDIR);
    entries->clear();
    std::string prefix = Below(folder);
    auto it = nodes_.lower_bound(prefix);
    while (it != nodes_.end() && it->first.compare(0, prefix.size(), prefix) == 0) {
      std::string_view rest = std::string_view(it->first).substr(prefix.size());
      size_t slash = rest.find('/');
      if (slash == std::string_view::npos) {
        entries->emplace_back(rest, it->second.folder ? plat::StoreEntry::kFolder : plat::StoreEntry::kFile);
        ++it;
      } else {
        // Past everything below that entry: '0' follows '/'.
        it = nodes_.lower_bound(prefix + std::string(rest.substr(0, slash)) + "0");
      }
    }
    return 0;
  }

  int32_t Read(const std::string& path, std::string* bytes) override {
    int32_t rc = OnTheWay(path);
    if (rc != 0) return rc;
    auto it = nodes_.find(path);
    if (it == nodes_.end()) return Code(ENOENT);
    if (it->second.folder) return Code(EISDIR);
    *bytes = it->second.data;
    return 0;
  }

  int32_t WriteNew(const std::string& path, const std::string& bytes) override {
    int32_t rc = OnTheWay(path);
    if (rc != 0) return rc;
    if (Kind(path) != plat::StoreEntry::kNone) return Code(EEXIST);
    nodes_[path] = Node{false, bytes};
    return 0;
  }

  int32_t Rename(const std::string& from, const std::string& to) override {
    int32_t rc = OnTheWay(from);
    if (rc == 0) rc = OnTheWay(to);
    if (rc != 0) return rc;
    auto source = nodes_.find(from);
    if (source == nodes_.end()) return Code(ENOENT);
    if (from == to) return 0;
    plat::StoreEntry target = Kind(to);
    if (!source->second.folder) {
      if (target == plat::StoreEntry::kFolder) return Code(EISDIR);
      nodes_[to] = source->second;
      nodes_.erase(from);
      return 0;
    }
    if (target == plat::StoreEntry::kFile) return Code(ENOTDIR);
    if (to.compare(0, from.size() + 1, from + "/") == 0) return Code(EINVAL);
    if (target == plat::StoreEntry::kFolder) {
      std::vector<std::pair<std::string, plat::StoreEntry>> inside;
      List(to, &inside);
      if (!inside.empty()) return Code(ENOTEMPTY);
    }
    std::map<std::string, Node, std::less<>> moved;
    std::string prefix = from + "/";
    for (auto it = nodes_.lower_bound(prefix); it != nodes_.end() && it->first.compare(0, prefix.size(), prefix) == 0;) {
      moved[to + it->first.substr(from.size())] = it->second;
      it = nodes_.erase(it);
    }
    nodes_.erase(from);
    nodes_[to] = Node{true, std::string()};
    nodes_.insert(moved.begin(), moved.end());
    return 0;
  }

  int32_t MakeFolder(const std::string& path) override {
    if (Kind(path) != plat::StoreEntry::kNone) return 0;
    int32_t rc = OnTheWay(path);
    if (rc != 0) return rc;
    nodes_[path] = Node{true, std::string()};
    return 0;
  }

  int32_t Unlink(const std::string& path) override {
    int32_t rc = OnTheWay(path);
    if (rc != 0) return rc;
    auto it = nodes_.find(path);
    if (it == nodes_.end()) return Code(ENOENT);
    if (it->second.folder) return Code(EISDIR);
    nodes_.erase(it);
    return 0;
  }

  void RemoveTree(const std::string& path) override {
    std::string prefix = path + "/";
    for (auto it = nodes_.lower_bound(prefix); it != nodes_.end() && it->first.compare(0, prefix.size(), prefix) == 0;) {
      it = nodes_.erase(it);
    }
    nodes_.erase(path);
  }

 private:
  struct Node {
    bool folder;
    std::string data;
  };

  static int32_t Code(int errnoValue) { return plat::WindowsCodeFromErrno(errnoValue); }
  static std::string Below(const std::string& folder) { return folder == "/" ? folder : folder + "/"; }
  static std::string_view Parent(std::string_view path) {
    size_t slash = path.rfind('/');
    return slash == 0 || slash == std::string_view::npos ? std::string_view("/") : path.substr(0, slash);
  }

  // 0 when every folder on the way to path is there, else what the kernel
  // would answer: the nearest thing that stands on the way decides. A
  // folder is only ever made inside a folder, so one found ends the walk.
  int32_t OnTheWay(std::string_view path) const {
    for (std::string_view at = Parent(path); !path.empty() && path != "/"; at = Parent(at)) {
      switch (KindOf(at)) {
        case plat::StoreEntry::kFolder: return at == Parent(path) ? 0 : Code(ENOENT);
        case plat::StoreEntry::kNone: break;
        default: return Code(ENOTDIR);
      }
    }
    return 0;
  }

  std::map<std::string, Node, std::less<>> nodes_;
};

}  // namespace registry_model
