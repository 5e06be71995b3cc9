// Folders and files held in memory, for the registry store's fuzzer: the
// store's rules run over them tens of times faster than over the kernel's
// file calls, tmpfs included. They answer as Linux's calls do, in the same
// Windows codes: a missing folder on the way is "file not found", a file on
// the way "path not found", a folder where a file is wanted "access denied",
// a folder renamed over a folder that holds something a general failure.
//
// They are a tree, a folder holding its entries by name, rather than one
// table of whole paths: every path the store uses begins with the same
// long folder, and comparing those long, nearly equal paths on every
// lookup (each comparison also watched by the fuzzer) was most of the time.
#pragma once
#include <cerrno>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/errors.h"
#include "platform/posix/registry_store_files.h"

namespace registry_model {

class MemoryStoreFiles : public plat::StoreFiles {
 public:
  plat::StoreEntry Kind(const std::string& path) override {
    const Node* node = Find(path);
    if (!node) return plat::StoreEntry::kNone;
    return node->folder ? plat::StoreEntry::kFolder : plat::StoreEntry::kFile;
  }

  int32_t Writable(const std::string& folder) override {
    Place place;
    int32_t rc = Way(folder, &place);
    if (rc != 0) return rc;
    const Node* node = place.Get();
    if (!node) return Code(ENOENT);
    return node->folder ? 0 : Code(EACCES);  // a 0600 file can't be entered
  }

  int32_t List(const std::string& folder, std::vector<std::pair<std::string, plat::StoreEntry>>* entries) override {
    Place place;
    int32_t rc = Way(folder, &place);
    if (rc != 0) return rc;
    const Node* node = place.Get();
    if (!node) return Code(ENOENT);
    if (!node->folder) return Code(ENOTDIR);
    entries->clear();
    entries->reserve(node->children.size());
    for (const auto& child : node->children) {
      entries->emplace_back(child.first, child.second->folder ? plat::StoreEntry::kFolder : plat::StoreEntry::kFile);
    }
    return 0;
  }

  int32_t Read(const std::string& path, std::string* bytes) override {
    Place place;
    int32_t rc = Way(path, &place);
    if (rc != 0) return rc;
    const Node* node = place.Get();
    if (!node) return Code(ENOENT);
    if (node->folder) return Code(EISDIR);
    *bytes = node->data;
    return 0;
  }

  int32_t WriteNew(const std::string& path, const std::string& bytes) override {
    Place place;
    int32_t rc = Way(path, &place);
    if (rc != 0) return rc;
    if (place.Get()) return Code(EEXIST);
    if (!place.parent) return Code(EISDIR);
    place.parent->children.emplace(std::string(place.name), std::make_unique<Node>(Node{false, bytes, {}}));
    return 0;
  }

  int32_t Rename(const std::string& from, const std::string& to) override {
    Place source, target;
    int32_t rc = Way(from, &source);
    if (rc == 0) rc = Way(to, &target);
    if (rc != 0) return rc;
    auto moving = source.parent ? source.parent->children.find(source.name) : Children::iterator();
    if (!source.parent || moving == source.parent->children.end()) return Code(ENOENT);
    if (from == to) return 0;
    if (!target.parent) return Code(EBUSY);  // the root itself
    // The kernel looks for a folder moved into itself, or over a folder
    // that holds it, before it looks at what the two are.
    if (Below(to, from)) return Code(EINVAL);
    if (Below(from, to)) return Code(ENOTEMPTY);
    const Node* there = target.Get();
    if (!moving->second->folder) {
      if (there && there->folder) return Code(EISDIR);
    } else {
      if (there && !there->folder) return Code(ENOTDIR);
      if (there && !there->children.empty()) return Code(ENOTEMPTY);
    }
    // Folders move or go: what was looked up before may no longer be there.
    if (moving->second->folder) Forget();
    std::unique_ptr<Node> node = std::move(moving->second);
    source.parent->children.erase(moving);
    target.parent->children[std::string(target.name)] = std::move(node);
    return 0;
  }

  int32_t MakeFolder(const std::string& path) override {
    Place place;
    int32_t rc = Way(path, &place);
    if (rc == 0 && place.Get()) return 0;
    if (rc != 0) return rc;
    if (!place.parent) return 0;
    place.parent->children.emplace(std::string(place.name), std::make_unique<Node>(Node{true, std::string(), {}}));
    return 0;
  }

  int32_t Unlink(const std::string& path) override {
    Place place;
    int32_t rc = Way(path, &place);
    if (rc != 0) return rc;
    const Node* node = place.Get();
    if (!node) return Code(ENOENT);
    if (node->folder) return Code(EISDIR);
    place.parent->children.erase(place.parent->children.find(place.name));
    return 0;
  }

  void RemoveTree(const std::string& path) override {
    Forget();
    Place place;
    if (Way(path, &place) != 0 || !place.parent) return;
    auto it = place.parent->children.find(place.name);
    if (it != place.parent->children.end()) place.parent->children.erase(it);
  }

 private:
  struct Node;
  // Names are ordered by length first and compared a byte at a time: the
  // order is of no account (the store sorts what it lists), and unlike a
  // string's own comparison this calls no memcmp, which the sanitizers and
  // the fuzzer watch at a cost on every call.
  struct ShortFirst {
    using is_transparent = void;
    bool operator()(std::string_view a, std::string_view b) const {
      if (a.size() != b.size()) return a.size() < b.size();
      for (size_t i = 0; i < a.size(); ++i) {
        if (a[i] != b[i]) return static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[i]);
      }
      return false;
    }
  };
  using Children = std::map<std::string, std::unique_ptr<Node>, ShortFirst>;
  struct Node {
    bool folder;
    std::string data;
    Children children;
  };

  // Where a path leads: the folder that holds (or would hold) its last name,
  // and that name. The root itself has no parent.
  struct Place {
    Node* parent = nullptr;
    Node* root = nullptr;
    std::string_view name;
    Node* Get() const {
      if (!parent) return root;
      auto it = parent->children.find(name);
      return it == parent->children.end() ? nullptr : it->second.get();
    }
  };

  static int32_t Code(int errnoValue) { return plat::WindowsCodeFromErrno(errnoValue); }

  // True when path lies below folder.
  static bool Below(std::string_view path, std::string_view folder) {
    return path.size() > folder.size() && path[folder.size()] == '/' && path.substr(0, folder.size()) == folder;
  }

  // 0 when every folder on the way to path is there, else what the kernel
  // would answer: a folder missing on the way is ENOENT, a file ENOTDIR.
  //
  // The store asks about the same folder many times in a row, so the last
  // folder found is remembered, and a path below it is walked from there.
  int32_t Way(std::string_view path, Place* place) {
    *place = Place();
    if (path.empty()) return Code(ENOENT);
    Node* at = &root_;
    std::string_view rest = path;
    std::string_view name;
    if (lastFolder_ && path.size() > lastPath_.size() && path[lastPath_.size()] == '/' &&
        path.substr(0, lastPath_.size()) == lastPath_) {
      at = lastFolder_;
      rest = path.substr(lastPath_.size());
    }
    bool plain = true;  // no "." and no "//" on the way: the path is the folder's one name
    for (;;) {
      if (rest.size() > 1 && rest[1] == '/') plain = false;
      while (!rest.empty() && rest[0] == '/') rest.remove_prefix(1);
      if (rest.empty()) break;
      size_t slash = rest.find('/');
      std::string_view next = rest.substr(0, slash);
      rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash);
      if (next == ".") {
        plain = false;
        continue;
      }
      if (!name.empty()) {
        // name is a folder on the way to next.
        auto it = at->children.find(name);
        if (it == at->children.end()) return Code(ENOENT);
        if (!it->second->folder) return Code(ENOTDIR);
        at = it->second.get();
      }
      name = next;
    }
    if (name.empty()) {
      place->root = &root_;
    } else {
      place->parent = at;
      place->name = name;
      size_t folderSize = path.size() - name.size() - 1;
      if (plain && path.size() > name.size() && path[folderSize] == '/' && at != lastFolder_) {
        lastPath_.assign(path.data(), folderSize);
        lastFolder_ = at;
      }
    }
    return 0;
  }

  void Forget() { lastFolder_ = nullptr; }

  const Node* Find(std::string_view path) {
    Place place;
    return Way(path, &place) == 0 ? place.Get() : nullptr;
  }

  Node root_{true, std::string(), {}};
  std::string lastPath_;
  Node* lastFolder_ = nullptr;
};

}  // namespace registry_model
