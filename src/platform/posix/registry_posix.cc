#include "platform/posix/registry_sysfs.h"

namespace plat {

// The robot link's two trees, read from the running system's sysfs.
Registry& SystemRegistry() {
  static Registry* view = NewSysfsRegistryView("/sys");
  return *view;
}

}  // namespace plat
