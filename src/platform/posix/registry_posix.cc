#include <map>
#include <mutex>

#include "platform/posix/registry_store.h"

namespace plat {

// The store follows the environment, so a run (or a test) that points
// XDG_CONFIG_HOME elsewhere gets that folder's store.
Registry& SystemRegistry() {
  static std::mutex mutex;
  static std::map<std::string, Registry*> stores;
  std::lock_guard<std::mutex> lock(mutex);
  Registry*& store = stores[RegistryStoreFolder()];
  if (!store) store = NewFileRegistryStore(RegistryStoreFolder());
  return *store;
}

}  // namespace plat
