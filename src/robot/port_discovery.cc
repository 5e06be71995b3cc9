#include "robot/port_discovery.h"

#include <cstdio>
#include <cstring>

#include "log/log.h"
#include "platform/registry.h"

namespace {

constexpr uint32_t kRegTextSize = 260;

// PortName of the instance being examined; the result points here.
char FoundPort[kRegTextSize];

void UpperCase(char* text) {
  for (char* p = text; *p; ++p) {
    if (*p >= 'a' && *p <= 'z') *p = static_cast<char>(*p - 'a' + 'A');
  }
}

}  // namespace

std::string GetAvailableComPorts() {
  plat::Registry& reg = plat::registry();
  std::string list;
  plat::RegKey key = 0;
  int32_t rc = reg.OpenKey(plat::kHkeyLocalMachine, "HARDWARE\\DEVICEMAP\\SERIALCOMM", false, &key);
  if (rc != 0) {
    LogWrite("ERROR: GetAvailableComPorts - RegOpenKeyEx failed for [HARDWARE\\DEVICEMAP\\SERIALCOMM]. "
             "Error=%d\n",
             rc);
    return list;
  }
  for (uint32_t index = 0;; ++index) {
    char name[kRegTextSize];
    char data[kRegTextSize];
    uint32_t nameSize = kRegTextSize;
    uint32_t dataSize = kRegTextSize;
    uint32_t type = 0;
    // Any failure ends the walk, a value too long for the buffers included.
    if (reg.EnumValue(key, index, name, &nameSize, &type, data, &dataSize) != 0) break;
    name[kRegTextSize - 1] = '\0';
    data[kRegTextSize - 1] = '\0';
    // REG_SZ data need not carry its terminator; never read past what was returned.
    if (dataSize < kRegTextSize) data[dataSize] = '\0';
    if (type == plat::kRegSz && dataSize != 0) {
      list += '\'';
      list += data;
      list += '\'';
    }
  }
  reg.CloseKey(key);
  return list;
}

const char* GetRobotComPort(int vendorId, int productId, int interfaceNumber) {
  std::string available = GetAvailableComPorts();
  if (available.empty()) {
    LogWrite("ERROR: GetRobotComPort - No Serial Port Found.\n");
    return nullptr;
  }

  char path[kRegTextSize];
  std::snprintf(path, sizeof path, "SYSTEM\\CurrentControlSet\\Enum\\USB\\Vid_%04x&Pid_%04x",
                static_cast<unsigned>(vendorId) & 0xFFFF, static_cast<unsigned>(productId) & 0xFFFF);
  if (interfaceNumber != -1) {
    size_t used = std::strlen(path);
    std::snprintf(path + used, sizeof path - used, "&MI_%02x",
                  static_cast<unsigned>(interfaceNumber) & 0xFF);
  }

  plat::Registry& reg = plat::registry();
  plat::RegKey deviceKey = 0;
  int32_t rc = reg.OpenKey(plat::kHkeyLocalMachine, path, false, &deviceKey);
  if (rc != 0) {
    LogWrite("ERROR: GetRobotComPort - RegOpenKeyEx failed for [%s]. Error=%d\n", path, rc);
    return nullptr;
  }

  for (uint32_t index = 0;; ++index) {
    char instance[kRegTextSize];
    if (reg.EnumKey(deviceKey, index, instance, kRegTextSize) != 0) break;
    instance[kRegTextSize - 1] = '\0';

    plat::RegKey instanceKey = 0;
    rc = reg.OpenKey(deviceKey, instance, false, &instanceKey);
    if (rc != 0) {
      LogWrite("WARNING: GetRobotComPort - RegOpenKeyEx failed for [%s], ttrying next key. Error=%d\n",
               instance, rc);
      continue;
    }

    // An instance without a readable FriendlyName is never the robot; its
    // text is not used otherwise.
    char friendlyName[kRegTextSize];
    uint32_t size = kRegTextSize;
    if (reg.QueryValue(instanceKey, "FriendlyName", nullptr, friendlyName, &size) != 0) {
      reg.CloseKey(instanceKey);
      continue;
    }

    plat::RegKey parametersKey = 0;
    if (reg.OpenKey(instanceKey, "Device Parameters", false, &parametersKey) != 0) {
      reg.CloseKey(instanceKey);
      continue;
    }

    size = kRegTextSize;
    std::memset(FoundPort, 0, sizeof FoundPort);
    if (reg.QueryValue(parametersKey, "PortName", nullptr, FoundPort, &size) != 0) {
      reg.CloseKey(parametersKey);
      reg.CloseKey(instanceKey);
      continue;
    }
    FoundPort[kRegTextSize - 1] = '\0';
    UpperCase(FoundPort);
    UpperCase(&available[0]);

    // A whole entry only: COM1 must not match 'COM10'. An empty name is no
    // entry at all, though '' stands between any two entries of the list.
    std::string entry = "'" + std::string(FoundPort) + "'";
    if (FoundPort[0] != '\0' && available.find(entry) != std::string::npos) {
      LogWrite("\tRobot connected on: [%s]\n", FoundPort);
      reg.CloseKey(parametersKey);
      reg.CloseKey(instanceKey);
      reg.CloseKey(deviceKey);
      return FoundPort;
    }
    reg.CloseKey(parametersKey);
    reg.CloseKey(instanceKey);
  }
  reg.CloseKey(deviceKey);
  return nullptr;
}
