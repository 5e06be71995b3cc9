// How the registry store names its keys and values in folders and files,
// and finds them again: names escaped so that any name is a file name,
// compared without regard to letter case, listed in one order; a value file
// holding its type and bytes. The store's calls (registry_store.cc) are
// made of these.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/posix/registry_store_files.h"

namespace plat {
namespace store_names {

// Codes of the registry's own that the store answers with, beside those of
// platform/errors.h.
constexpr int32_t kOk = 0;
constexpr int32_t kBadPathname = 161;
constexpr int32_t kKeyDeleted = 1018;

// The names of a key path "a\\b\\c", taken off its front one at a time, in
// place. Empty names (a leading, doubled or trailing backslash) are
// refused, as the registry refuses them.
class KeyPath {
 public:
  int32_t Check(const char* subKey) {
    rest_ = subKey ? std::string_view(subKey) : std::string_view();
    if (rest_.empty()) return kOk;
    if (rest_.front() == '\\' || rest_.back() == '\\' || rest_.find("\\\\") != std::string_view::npos) {
      return kBadPathname;
    }
    return kOk;
  }
  bool empty() const { return rest_.empty(); }
  // The next name; false when none are left.
  bool Next(std::string_view* name) {
    if (rest_.empty()) return false;
    size_t end = rest_.find('\\');
    *name = rest_.substr(0, end);
    rest_ = end == std::string_view::npos ? std::string_view() : rest_.substr(end + 1);
    return true;
  }

 private:
  std::string_view rest_;
};

// A name as stored: '%', '/', '@', control characters and a leading '.'
// escaped as %XX.
std::string Encode(std::string_view name);
std::string Decode(std::string_view stored);
// The file a value is kept in: "@" and its stored name.
std::string ValueFileName(const char* name);
bool IsFolder(StoreFiles* files, const std::string& path);

// The index-th subkey folder (folders) or value file of a key's folder, in
// listing order; kErrorNoMoreItems past the last, kKeyDeleted when the
// folder is gone.
int32_t ListedEntry(StoreFiles* files, const std::string& folder, bool folders, uint32_t index, std::string* name);

// Steps from the folder at *path into its entry stored under a name, letter
// case aside: 0 and *path there when found, 2 when there is none, another
// code when the folder can't be read (*path then as it was).
int32_t StepInto(StoreFiles* files, std::string* path, const std::string& stored, bool wantFolder);

// A value file's type and bytes.
int32_t ReadValueFile(StoreFiles* files, const std::string& path, uint32_t* type, std::string* data);

// A path in folder for something of the store's own that no listing shows:
// prefix (".tmp-", ".del-") and what makes it unique.
std::string HiddenName(std::string_view folder, const char* prefix);

// Copies a value's bytes out the way RegQueryValueExA does.
int32_t CopyOut(const std::string& bytes, void* data, uint32_t* dataSize);

}  // namespace store_names
}  // namespace plat
