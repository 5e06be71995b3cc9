#include "platform/posix/registry_sysfs.h"

#include <dirent.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <vector>

#include "platform/errors.h"
#include "platform/text.h"

namespace plat {
namespace {

// One tty that has a device behind it; the USB fields are set when that
// device is an interface of a USB device (cdc_acm, usb-serial).
struct Tty {
  std::string name;
  bool usb = false;
  unsigned vendor = 0;
  unsigned product = 0;
  unsigned interfaceNumber = 0;
  std::string interfaceFolder;  // e.g. 1-2:1.0, unique in the system
  std::string serial;
  std::string productName;
  std::string manufacturer;
};

struct Snapshot {
  std::vector<Tty> ttys;  // sorted by name
};

struct Value {
  std::string name;
  uint32_t type;
  std::string data;  // REG_SZ data with its terminating zero
};

struct Node {
  std::vector<std::string> subkeys;
  std::vector<Value> values;
};

bool Exists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

// A sysfs attribute's first line; empty when the file is missing.
std::string ReadAttribute(const std::string& path) {
  std::ifstream in(path);
  std::string line;
  if (in) std::getline(in, line);
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r' || line.back() == ' ')) {
    line.pop_back();
  }
  size_t first = line.find_first_not_of(' ');
  return first == std::string::npos ? std::string() : line.substr(first);
}

bool ReadHex(const std::string& path, unsigned* value) {
  std::string text = ReadAttribute(path);
  if (text.empty()) return false;
  char* end = nullptr;
  unsigned long v = std::strtoul(text.c_str(), &end, 16);
  if (end == text.c_str() || *end != '\0' || v > 0xFFFF) return false;
  *value = static_cast<unsigned>(v);
  return true;
}

std::string Parent(const std::string& path) {
  size_t at = path.find_last_of('/');
  return at == std::string::npos || at == 0 ? std::string("/") : path.substr(0, at);
}

std::string BaseName(const std::string& path) {
  size_t at = path.find_last_of('/');
  return at == std::string::npos ? path : path.substr(at + 1);
}

// realpath of <root>/class/tty/<name>/device is the USB interface folder for
// cdc_acm ttys, and a port folder inside the interface folder for
// usb-serial ones. The interface folder holds bInterfaceNumber; its parent,
// the USB device folder, idVendor and idProduct.
void DescribeUsb(const std::string& deviceFolder, Tty* tty) {
  std::string folder = deviceFolder;
  for (int up = 0; up < 3 && folder.size() > 1; ++up, folder = Parent(folder)) {
    if (!Exists(folder + "/bInterfaceNumber")) continue;
    std::string device = Parent(folder);
    unsigned iface = 0;
    if (!ReadHex(folder + "/bInterfaceNumber", &iface) || !ReadHex(device + "/idVendor", &tty->vendor) ||
        !ReadHex(device + "/idProduct", &tty->product)) {
      return;
    }
    tty->usb = true;
    tty->interfaceNumber = iface;
    tty->interfaceFolder = BaseName(folder);
    tty->serial = ReadAttribute(device + "/serial");
    tty->productName = ReadAttribute(device + "/product");
    tty->manufacturer = ReadAttribute(device + "/manufacturer");
    return;
  }
}

std::shared_ptr<Snapshot> TakeSnapshot(const std::string& root) {
  auto snapshot = std::make_shared<Snapshot>();
  std::string classTty = root + "/class/tty";
  DIR* dir = ::opendir(classTty.c_str());
  if (!dir) return snapshot;
  while (struct dirent* entry = ::readdir(dir)) {
    std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    char resolved[PATH_MAX];
    // Virtual terminals, ptmx and the like have no device behind them.
    if (!::realpath((classTty + "/" + name + "/device").c_str(), resolved)) continue;
    Tty tty;
    tty.name = name;
    DescribeUsb(resolved, &tty);
    snapshot->ttys.push_back(tty);
  }
  ::closedir(dir);
  std::sort(snapshot->ttys.begin(), snapshot->ttys.end(),
            [](const Tty& a, const Tty& b) { return a.name < b.name; });
  return snapshot;
}

std::string Format(const char* format, unsigned a, unsigned b) {
  char text[64];
  std::snprintf(text, sizeof text, format, a, b);
  return text;
}

// Windows files a port under VID_v&PID_p or under VID_v&PID_p&MI_nn
// depending on whether its driver took the whole device or one function of
// a composite one, which sysfs doesn't tell reliably. The view files every
// port under both, so a robot identity is found whichever way it was recorded.
std::vector<std::string> DeviceKeysOf(const Tty& tty) {
  std::string plain = Format("VID_%04X&PID_%04X", tty.vendor, tty.product);
  char suffix[16];
  std::snprintf(suffix, sizeof suffix, "&MI_%02X", tty.interfaceNumber & 0xFF);
  return {plain, plain + suffix};
}

bool HasDeviceKey(const Tty& tty, const std::string& key) {
  for (const auto& k : DeviceKeysOf(tty)) {
    if (EqualsNoCase(k, key)) return true;
  }
  return false;
}

// The device instances under one device key: instance name -> tty. Windows
// names an instance by the device's serial number when it has one.
std::vector<std::pair<std::string, const Tty*>> InstancesOf(const Snapshot& s, const std::string& key) {
  std::vector<std::pair<std::string, const Tty*>> instances;
  for (const Tty& tty : s.ttys) {
    if (!tty.usb || !HasDeviceKey(tty, key)) continue;
    std::string name = tty.serial.empty() ? tty.interfaceFolder : tty.serial;
    for (const auto& taken : instances) {
      if (EqualsNoCase(taken.first, name)) name = tty.interfaceFolder;
    }
    if (name.find('\\') != std::string::npos) name = tty.interfaceFolder;
    instances.emplace_back(name, &tty);
  }
  return instances;
}

Value Sz(const std::string& name, const std::string& text) {
  return Value{name, kRegSz, text + std::string(1, '\0')};
}

const std::vector<std::string> kSerialComm = {"HARDWARE", "DEVICEMAP", "SERIALCOMM"};
const std::vector<std::string> kUsb = {"SYSTEM", "CurrentControlSet", "Enum", "USB"};

// The node at a canonical path (names as the view spells them).
Node NodeAt(const Snapshot& s, const std::vector<std::string>& path) {
  Node node;
  size_t depth = path.size();
  if (depth == 0) {
    node.subkeys = {"HARDWARE", "SYSTEM"};
    return node;
  }
  if (path[0] == "HARDWARE") {
    if (depth < 3) {
      node.subkeys = {kSerialComm[depth]};
    } else if (depth == 3) {
      for (const Tty& tty : s.ttys) node.values.push_back(Sz("/dev/" + tty.name, tty.name));
    }
    return node;
  }
  if (depth < 4) {
    node.subkeys = {kUsb[depth]};
    return node;
  }
  if (depth == 4) {
    for (const Tty& tty : s.ttys) {
      if (!tty.usb) continue;
      for (const auto& key : DeviceKeysOf(tty)) {
        if (std::find(node.subkeys.begin(), node.subkeys.end(), key) == node.subkeys.end()) {
          node.subkeys.push_back(key);
        }
      }
    }
    std::sort(node.subkeys.begin(), node.subkeys.end());
    return node;
  }
  auto instances = InstancesOf(s, path[4]);
  if (depth == 5) {
    for (const auto& instance : instances) node.subkeys.push_back(instance.first);
    return node;
  }
  const Tty* tty = nullptr;
  for (const auto& instance : instances) {
    if (instance.first == path[5]) tty = instance.second;
  }
  if (!tty) return node;
  if (depth == 6) {
    std::string title = tty->productName.empty() ? "USB Serial Device" : tty->productName;
    node.subkeys = {"Device Parameters"};
    node.values.push_back(Sz("FriendlyName", title + " (" + tty->name + ")"));
    node.values.push_back(Sz("Mfg", tty->manufacturer));
    if (!tty->serial.empty()) node.values.push_back(Sz("SerialNumber", tty->serial));
  } else if (depth == 7) {
    node.values.push_back(Sz("PortName", tty->name));
  }
  return node;
}

struct OpenKeyRecord {
  std::shared_ptr<Snapshot> snapshot;
  std::vector<std::string> path;
  Node node;
};

class SysfsRegistryView : public Registry {
 public:
  explicit SysfsRegistryView(const std::string& root) : root_(root) {}

  int32_t OpenKey(RegKey parent, const char* subKey, bool allAccess, RegKey* result) override {
    if (allAccess) return kErrorAccessDenied;
    OpenKeyRecord base;
    if (!Lookup(parent, &base)) return 6;  // ERROR_INVALID_HANDLE
    std::vector<std::string> path = base.path;
    std::stringstream parts(subKey ? subKey : "");
    std::string part;
    while (std::getline(parts, part, '\\')) {
      if (part.empty()) continue;
      Node here = NodeAt(*base.snapshot, path);
      auto match = std::find_if(here.subkeys.begin(), here.subkeys.end(),
                                [&](const std::string& name) { return EqualsNoCase(name, part); });
      if (match == here.subkeys.end()) return kErrorFileNotFound;
      path.push_back(*match);
    }
    RegKey handle = nextHandle_;
    nextHandle_ += 4;
    open_[handle] = OpenKeyRecord{base.snapshot, path, NodeAt(*base.snapshot, path)};
    *result = handle;
    return 0;
  }

  int32_t CreateKey(RegKey, const char*, RegKey*) override { return kErrorAccessDenied; }
  int32_t SetValue(RegKey, const char*, uint32_t, const void*, uint32_t) override {
    return kErrorAccessDenied;
  }
  int32_t DeleteKey(RegKey, const char*) override { return kErrorAccessDenied; }
  int32_t DeleteValue(RegKey, const char*) override { return kErrorAccessDenied; }

  int32_t EnumValue(RegKey key, uint32_t index, char* name, uint32_t* nameSize, uint32_t* type,
                    void* data, uint32_t* dataSize) override {
    OpenKeyRecord record;
    if (!Lookup(key, &record)) return 6;
    if (index >= record.node.values.size()) return kErrorNoMoreItems;
    const Value& v = record.node.values[index];
    if (v.name.size() + 1 > *nameSize) return kErrorMoreData;
    std::memcpy(name, v.name.c_str(), v.name.size() + 1);
    *nameSize = static_cast<uint32_t>(v.name.size());
    if (type) *type = v.type;
    return CopyData(v, data, dataSize);
  }

  int32_t EnumKey(RegKey key, uint32_t index, char* name, uint32_t nameSize) override {
    OpenKeyRecord record;
    if (!Lookup(key, &record)) return 6;
    if (index >= record.node.subkeys.size()) return kErrorNoMoreItems;
    const std::string& subkey = record.node.subkeys[index];
    if (subkey.size() + 1 > nameSize) return kErrorMoreData;
    std::memcpy(name, subkey.c_str(), subkey.size() + 1);
    return 0;
  }

  int32_t QueryValue(RegKey key, const char* name, uint32_t* type, void* data,
                     uint32_t* dataSize) override {
    OpenKeyRecord record;
    if (!Lookup(key, &record)) return 6;
    std::string wanted = name ? name : "";
    for (const Value& v : record.node.values) {
      if (!EqualsNoCase(v.name, wanted)) continue;
      if (type) *type = v.type;
      return CopyData(v, data, dataSize);
    }
    return kErrorFileNotFound;
  }

  int32_t CloseKey(RegKey key) override { return open_.erase(key) ? 0 : 6; }

 private:
  static int32_t CopyData(const Value& v, void* data, uint32_t* dataSize) {
    if (!dataSize) return 0;
    uint32_t size = static_cast<uint32_t>(v.data.size());
    if (data && size > *dataSize) {
      *dataSize = size;
      return kErrorMoreData;
    }
    if (data) std::memcpy(data, v.data.data(), size);
    *dataSize = size;
    return 0;
  }

  // HKEY_LOCAL_MACHINE reads sysfs afresh; keys opened below share the
  // reading they were opened from, so one walk sees one consistent tree.
  bool Lookup(RegKey key, OpenKeyRecord* record) {
    if (key == kHkeyLocalMachine) {
      record->snapshot = TakeSnapshot(root_);
      record->path.clear();
      record->node = NodeAt(*record->snapshot, record->path);
      return true;
    }
    auto it = open_.find(key);
    if (it == open_.end()) return false;
    *record = it->second;
    return true;
  }

  std::string root_;
  std::map<RegKey, OpenKeyRecord> open_;
  RegKey nextHandle_ = 0x5EC0;
};

}  // namespace

Registry* NewSysfsRegistryView(const std::string& sysfsRoot) { return new SysfsRegistryView(sysfsRoot); }

}  // namespace plat
