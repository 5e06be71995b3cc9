#include "platform/posix/registry_sysfs.h"

namespace plat {

// Windows keeps these trees in its own registry; there is no sysfs to view.
Registry* NewSysfsRegistryView(const std::string&) { return nullptr; }

}  // namespace plat
