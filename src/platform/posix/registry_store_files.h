// The few file operations the registry store is made of, behind one small
// interface: the store's rules (names, letter case, values written whole,
// keys renamed away before removal) live in registry_store.cc; this is
// only where its folders and files are. The real one works on disk; a
// fuzzer puts the store over folders held in memory, which runs the same
// rules many times faster than the kernel's file calls allow.
//
// Every answer is a Windows error code (0 when done), as the store gives.
#pragma once
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace plat {

enum class StoreEntry { kNone, kFolder, kFile, kOther };

class StoreFiles {
 public:
  virtual ~StoreFiles() = default;
  // What stands at path, links not followed (a link is kOther).
  virtual StoreEntry Kind(const std::string& path) = 0;
  // 0 when the folder can be written to and entered.
  virtual int32_t Writable(const std::string& folder) = 0;
  // A folder's entries but "." and "..", with what each is.
  virtual int32_t List(const std::string& folder, std::vector<std::pair<std::string, StoreEntry>>* entries) = 0;
  virtual int32_t Read(const std::string& path, std::string* bytes) = 0;
  // Writes a file that must not exist yet, whole and flushed to the disk;
  // nothing is left at path when it fails.
  virtual int32_t WriteNew(const std::string& path, const std::string& bytes) = 0;
  virtual int32_t Rename(const std::string& from, const std::string& to) = 0;
  // 0 when made, or when something already stands at path.
  virtual int32_t MakeFolder(const std::string& path) = 0;
  virtual int32_t Unlink(const std::string& path) = 0;
  // Removes a folder and all below it, as far as it can.
  virtual void RemoveTree(const std::string& path) = 0;
};

// The real files, on disk. Shared and never freed.
StoreFiles* DiskStoreFiles();

}  // namespace plat
