#include <map>
#include <mutex>

#include "platform/posix/registry_store.h"

namespace plat {

// The store follows the environment, so a run (or a test) that points
// XDG_CONFIG_HOME elsewhere gets that folder's store. Stores live as long as
// the process: keys opened in one stay valid after the environment changes.
Registry& SystemRegistry() {
  static std::mutex mutex;
  static auto* stores = new std::map<std::string, Registry*>;
  std::lock_guard<std::mutex> lock(mutex);
  std::string folder = RegistryStoreFolder();
  Registry*& store = (*stores)[folder];
  if (!store) store = NewFileRegistryStore(folder);
  return *store;
}

}  // namespace plat
