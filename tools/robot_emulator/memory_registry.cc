#include "memory_registry.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace robot_emulator {
namespace {

constexpr int32_t kNotFound = 2;
constexpr int32_t kAccessDenied = 5;
constexpr int32_t kInvalidHandle = 6;

const char kSerialComm[] = "HARDWARE\\DEVICEMAP\\SERIALCOMM";
const char kUsb[] = "SYSTEM\\CurrentControlSet\\Enum\\USB";

std::string Trim(const std::string& path) {
  size_t first = path.find_first_not_of('\\');
  if (first == std::string::npos) return std::string();
  size_t last = path.find_last_not_of('\\');
  return path.substr(first, last - first + 1);
}

std::string Lower(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

std::string Join(const std::string& a, const std::string& b) {
  if (a.empty()) return Trim(b);
  if (Trim(b).empty()) return a;
  return a + "\\" + Trim(b);
}

std::string LastPart(const std::string& path) {
  size_t at = path.find_last_of('\\');
  return at == std::string::npos ? path : path.substr(at + 1);
}

int32_t CopyData(const std::string& bytes, void* data, uint32_t* dataSize) {
  if (!dataSize) return 0;
  uint32_t size = static_cast<uint32_t>(bytes.size());
  if (data && size > *dataSize) {
    *dataSize = size;
    return plat::kErrorMoreData;
  }
  if (data) std::memcpy(data, bytes.data(), size);
  *dataSize = size;
  return 0;
}

}  // namespace

MemoryRegistry::Key* MemoryRegistry::Find(const std::string& path) {
  auto it = keys_.find(Lower(Trim(path)));
  return it == keys_.end() ? nullptr : &it->second;
}

MemoryRegistry::Key& MemoryRegistry::Make(const std::string& rawPath) {
  std::string path = Trim(rawPath);
  if (Key* existing = Find(path)) return *existing;
  if (!path.empty()) {
    size_t at = path.find_last_of('\\');
    std::string parent = at == std::string::npos ? std::string() : path.substr(0, at);
    Make(parent).children.push_back(path);
  }
  Key& key = keys_[Lower(path)];
  key.path = path;
  return key;
}

void MemoryRegistry::AddKey(const std::string& path) { Make(path); }

void MemoryRegistry::SetRaw(const std::string& path, const std::string& name, uint32_t type,
                            const std::string& bytes) {
  Key& key = Make(path);
  for (Value& v : key.values) {
    if (Lower(v.name) == Lower(name)) {
      v.type = type;
      v.bytes = bytes;
      return;
    }
  }
  key.values.push_back(Value{name, type, bytes});
}

void MemoryRegistry::SetString(const std::string& path, const std::string& name, const std::string& text) {
  SetRaw(path, name, plat::kRegSz, text + std::string(1, '\0'));
}

void MemoryRegistry::RemoveKey(const std::string& rawPath) {
  std::string path = Trim(rawPath);
  Key* key = Find(path);
  if (!key) return;
  std::vector<std::string> children = key->children;
  for (const auto& child : children) RemoveKey(child);
  size_t at = path.find_last_of('\\');
  if (Key* parent = Find(at == std::string::npos ? std::string() : path.substr(0, at))) {
    auto& list = parent->children;
    list.erase(std::remove_if(list.begin(), list.end(),
                              [&](const std::string& c) { return Lower(c) == Lower(path); }),
               list.end());
  }
  keys_.erase(Lower(path));
}

void MemoryRegistry::FailOpen(const std::string& path, int32_t code) { failures_[Lower(Trim(path))] = code; }

void MemoryRegistry::AddSerialPort(const std::string& portName) {
  Key& key = Make(kSerialComm);
  SetString(kSerialComm, "\\Device\\Serial" + std::to_string(key.values.size()), portName);
}

void MemoryRegistry::RemoveSerialPorts() {
  if (Key* key = Find(kSerialComm)) key->values.clear();
}

std::string MemoryRegistry::UsbDeviceKey(int vendorId, int productId, int interfaceNumber) {
  char name[64];
  std::snprintf(name, sizeof name, "VID_%04X&PID_%04X", static_cast<unsigned>(vendorId) & 0xFFFF,
                static_cast<unsigned>(productId) & 0xFFFF);
  std::string key = name;
  if (interfaceNumber != -1) {
    std::snprintf(name, sizeof name, "&MI_%02X", static_cast<unsigned>(interfaceNumber) & 0xFF);
    key += name;
  }
  return key;
}

void MemoryRegistry::AddUsbInstance(int vendorId, int productId, int interfaceNumber,
                                    const std::string& instance, const std::string& portName) {
  std::string path = Join(Join(kUsb, UsbDeviceKey(vendorId, productId, interfaceNumber)), instance);
  SetString(path, "FriendlyName", "USB Serial Device (" + portName + ")");
  SetString(Join(path, "Device Parameters"), "PortName", portName);
}

std::string MemoryRegistry::PathOf(plat::RegKey key) {
  if (key == plat::kHkeyLocalMachine) return std::string();
  auto it = handles_.find(key);
  return it == handles_.end() ? std::string("\x01") : it->second;
}

int32_t MemoryRegistry::OpenKey(plat::RegKey parent, const char* subKey, bool, plat::RegKey* result) {
  std::string base = PathOf(parent);
  if (base == "\x01") return kInvalidHandle;
  std::string path = Join(base, subKey ? subKey : "");
  auto failure = failures_.find(Lower(path));
  if (failure != failures_.end()) return failure->second;
  Key* key = Find(path);
  if (!key) return kNotFound;
  ++opens_;
  plat::RegKey handle = next_;
  next_ += 4;
  handles_[handle] = key->path;
  opened_.push_back(key->path);
  *result = handle;
  return 0;
}

int32_t MemoryRegistry::CreateKey(plat::RegKey, const char*, plat::RegKey*) { return kAccessDenied; }
int32_t MemoryRegistry::SetValue(plat::RegKey, const char*, uint32_t, const void*, uint32_t) {
  return kAccessDenied;
}
int32_t MemoryRegistry::DeleteKey(plat::RegKey, const char*) { return kAccessDenied; }
int32_t MemoryRegistry::DeleteValue(plat::RegKey, const char*) { return kAccessDenied; }

int32_t MemoryRegistry::EnumValue(plat::RegKey handle, uint32_t index, char* name, uint32_t* nameSize,
                                  uint32_t* type, void* data, uint32_t* dataSize) {
  std::string path = PathOf(handle);
  Key* key = path == "\x01" ? nullptr : Find(path);
  if (!key) return kInvalidHandle;
  if (index >= key->values.size()) return plat::kErrorNoMoreItems;
  const Value& v = key->values[index];
  if (v.name.size() + 1 > *nameSize) return plat::kErrorMoreData;
  std::memcpy(name, v.name.c_str(), v.name.size() + 1);
  *nameSize = static_cast<uint32_t>(v.name.size());
  if (type) *type = v.type;
  return CopyData(v.bytes, data, dataSize);
}

int32_t MemoryRegistry::EnumKey(plat::RegKey handle, uint32_t index, char* name, uint32_t nameSize) {
  std::string path = PathOf(handle);
  Key* key = path == "\x01" ? nullptr : Find(path);
  if (!key) return kInvalidHandle;
  if (index >= key->children.size()) return plat::kErrorNoMoreItems;
  std::string child = LastPart(key->children[index]);
  if (child.size() + 1 > nameSize) return plat::kErrorMoreData;
  std::memcpy(name, child.c_str(), child.size() + 1);
  return 0;
}

int32_t MemoryRegistry::QueryValue(plat::RegKey handle, const char* name, uint32_t* type, void* data,
                                   uint32_t* dataSize) {
  std::string path = PathOf(handle);
  Key* key = path == "\x01" ? nullptr : Find(path);
  if (!key) return kInvalidHandle;
  for (const Value& v : key->values) {
    if (Lower(v.name) != Lower(name ? name : "")) continue;
    if (type) *type = v.type;
    return CopyData(v.bytes, data, dataSize);
  }
  return kNotFound;
}

int32_t MemoryRegistry::CloseKey(plat::RegKey key) {
  if (!handles_.erase(key)) return kInvalidHandle;
  ++closes_;
  return 0;
}

}  // namespace robot_emulator
