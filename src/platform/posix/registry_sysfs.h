// The two registry trees that robot discovery reads, served read-only from
// sysfs: HKEY_LOCAL_MACHINE\HARDWARE\DEVICEMAP\SERIALCOMM (one REG_SZ value
// per tty that has a device behind it, holding the tty name) and
// HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Enum\USB (one key per USB
// vendor/product, one subkey per device instance with its FriendlyName, and
// "Device Parameters" holding PortName, the tty name).
#pragma once
#include <string>

#include "platform/registry.h"

namespace plat {

// A view over the sysfs tree at sysfsRoot ("/sys" in production; tests build
// a fake tree). The tree is read afresh whenever a key is opened from
// HKEY_LOCAL_MACHINE. Writes answer 5 (access denied). Null where there is
// no sysfs (Windows). The caller owns the result.
Registry* NewSysfsRegistryView(const std::string& sysfsRoot);

}  // namespace plat
