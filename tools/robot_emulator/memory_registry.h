// An in-memory registry for tests and benchmarks of robot discovery: keys
// and values put in place by the test, enumerated in the order they were
// added, with opens that can be made to fail, and every open and close counted.
#pragma once
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "platform/registry.h"

namespace robot_emulator {

class MemoryRegistry : public plat::Registry {
 public:
  // Paths are below HKEY_LOCAL_MACHINE, with backslashes; missing parents are made.
  void AddKey(const std::string& path);
  void SetString(const std::string& path, const std::string& name, const std::string& text);
  void SetRaw(const std::string& path, const std::string& name, uint32_t type, const std::string& bytes);
  void RemoveKey(const std::string& path);  // with everything below it
  // Opening this key (from anywhere) answers code.
  void FailOpen(const std::string& path, int32_t code);

  // A present serial port: a REG_SZ value in the serial device map.
  void AddSerialPort(const std::string& portName);
  void RemoveSerialPorts();
  // A USB device instance with FriendlyName and Device Parameters\PortName,
  // as Windows records it under Enum\USB (interfaceNumber -1: no &MI_ suffix).
  void AddUsbInstance(int vendorId, int productId, int interfaceNumber, const std::string& instance,
                      const std::string& portName);
  static std::string UsbDeviceKey(int vendorId, int productId, int interfaceNumber);

  int opens() const { return opens_; }
  int closes() const { return closes_; }
  int openKeys() const { return static_cast<int>(handles_.size()); }
  // Every path opened successfully, in order.
  const std::vector<std::string>& openedPaths() const { return opened_; }

  int32_t OpenKey(plat::RegKey parent, const char* subKey, bool allAccess, plat::RegKey* result) override;
  int32_t CreateKey(plat::RegKey parent, const char* subKey, plat::RegKey* result) override;
  int32_t SetValue(plat::RegKey key, const char* name, uint32_t type, const void* data,
                   uint32_t size) override;
  int32_t DeleteKey(plat::RegKey parent, const char* subKey) override;
  int32_t DeleteValue(plat::RegKey key, const char* name) override;
  int32_t EnumValue(plat::RegKey key, uint32_t index, char* name, uint32_t* nameSize, uint32_t* type,
                    void* data, uint32_t* dataSize) override;
  int32_t EnumKey(plat::RegKey key, uint32_t index, char* name, uint32_t nameSize) override;
  int32_t QueryValue(plat::RegKey key, const char* name, uint32_t* type, void* data,
                     uint32_t* dataSize) override;
  int32_t CloseKey(plat::RegKey key) override;

 private:
  struct Value {
    std::string name;
    uint32_t type;
    std::string bytes;
  };
  struct Key {
    std::string path;  // as added
    std::vector<std::string> children;  // full paths, in the order added
    std::vector<Value> values;
  };
  Key* Find(const std::string& path);
  Key& Make(const std::string& path);
  std::string PathOf(plat::RegKey key);

  std::map<std::string, Key> keys_;  // by lower-cased path
  std::map<std::string, int32_t> failures_;
  std::map<plat::RegKey, std::string> handles_;
  std::vector<std::string> opened_;
  plat::RegKey next_ = 0x1000;
  int opens_ = 0;
  int closes_ = 0;
};

}  // namespace robot_emulator
