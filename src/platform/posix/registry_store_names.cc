#include "platform/posix/registry_store_names.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>

#include "platform/errors.h"
#include "platform/registry.h"
#include "platform/text.h"

namespace plat {
namespace store_names {
namespace {

// The order keys and values are listed in: letter case aside, then, for
// names that differ only in letter case (which only another hand can have
// left), byte order, so that every listing of a folder agrees on where each
// name stands.
bool ListedBefore(const std::string& a, const std::string& b) {
  int tie = 0;
  size_t common = std::min(a.size(), b.size());
  for (size_t i = 0; i < common; ++i) {
    if (a[i] == b[i]) continue;
    auto x = static_cast<unsigned char>(AsciiLower(a[i]));
    auto y = static_cast<unsigned char>(AsciiLower(b[i]));
    if (x != y) return x < y;
    if (tie == 0) tie = static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[i]) ? -1 : 1;
  }
  if (a.size() != b.size()) return a.size() < b.size();
  return tie < 0;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

}  // namespace

// Escapes are written with upper-case digits, so two encoded names are equal
// without regard to case exactly when the names themselves are.
std::string Encode(std::string_view name) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(name.size());
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

std::string Decode(std::string_view stored) {
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

// The index-th entry of a key's folder in listing order: subkey folders or
// value files (stored names). Temporary files and keys being removed start
// with '.', and are never listed. Enumerating asks for each index in turn,
// so only the one asked for is put in its place, not the whole list sorted.
int32_t ListedEntry(StoreFiles* files, const std::string& folder, bool folders, uint32_t index, std::string* name) {
  std::vector<std::pair<std::string, StoreEntry>> entries;
  int32_t rc = files->List(folder, &entries);
  if (rc != kOk) return rc == kErrorFileNotFound ? kKeyDeleted : rc;
  StoreEntry want = folders ? StoreEntry::kFolder : StoreEntry::kFile;
  auto listed = std::remove_if(entries.begin(), entries.end(), [&](const std::pair<std::string, StoreEntry>& e) {
    const std::string& n = e.first;
    return n[0] == '.' || (n[0] == '@') == folders || e.second != want;
  });
  if (index >= static_cast<size_t>(listed - entries.begin())) return kErrorNoMoreItems;
  std::nth_element(entries.begin(), entries.begin() + index, listed,
                   [](const std::pair<std::string, StoreEntry>& a, const std::pair<std::string, StoreEntry>& b) {
                     return ListedBefore(a.first, b.first);
                   });
  *name = std::move(entries[index].first);
  return kOk;
}

// Steps from the folder at *path into its entry stored under a name, letter
// case aside, and leaves *path there: 0 when found, 2 when there is none,
// another code when the folder can't be read; *path is as it was unless
// found. Of names that differ only in letter case (which only another hand
// can have left), the first in byte order is taken, whatever order the
// folder lists and whatever case the name is asked for in: were the name
// as asked taken first when it is there, a key made as "kelvo\s" beside a
// "Kelvo" would not open as "KELVO\S". The path grows in place: the store
// makes these steps on every call.
int32_t StepInto(StoreFiles* files, std::string* path, const std::string& stored, bool wantFolder) {
  StoreEntry want = wantFolder ? StoreEntry::kFolder : StoreEntry::kFile;
  std::vector<std::pair<std::string, StoreEntry>> entries;
  int32_t rc = files->List(*path, &entries);
  if (rc != kOk) {
    // A folder that can be entered but not read: only the name as given
    // can be looked for in it.
    size_t folderSize = path->size();
    if (files->Kind(path->append(1, '/').append(stored)) == want) return kOk;
    path->resize(folderSize);
    return rc;
  }
  const std::string* found = nullptr;
  for (const auto& entry : entries) {
    if (entry.second == want && EqualsNoCase(entry.first, stored) && (!found || ListedBefore(entry.first, *found))) {
      found = &entry.first;
    }
  }
  if (!found) return kErrorFileNotFound;
  path->append(1, '/').append(*found);
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

// A name in folder for something of ours no one else lists: ".tmp-", say,
// and what makes it unique.
std::string HiddenName(std::string_view folder, const char* prefix) {
  static std::atomic<unsigned> counter{0};
  std::string pid = std::to_string(::getpid());
  std::string count = std::to_string(counter++);
  std::string path;
  path.reserve(folder.size() + std::strlen(prefix) + pid.size() + count.size() + 2);
  return path.append(folder).append(1, '/').append(prefix).append(pid).append(1, '-').append(count);
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

}  // namespace store_names
}  // namespace plat
