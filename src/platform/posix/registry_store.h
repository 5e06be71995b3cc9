// The registry on Linux: a store in plain files, so that "register" and
// "unregister" do the same work, and log the same lines, as on Windows.
//
// Layout under the store's folder: one folder per predefined root
// (HKEY_CLASSES_ROOT, HKEY_LOCAL_MACHINE, ...), below it one folder per key;
// each value is a file in its key's folder, named "@" and the value name
// ("@" alone for the default value), holding the type (4 bytes, little
// endian) and then the data's bytes. Names are stored with '%', '/', '@',
// control characters and a leading '.' escaped as %XX, and compared without
// regard to letter case, keeping the case they were created with. A value is
// written to a temporary file and renamed into place, so a crash never
// leaves half a value; a key is renamed away before its files are removed.
#pragma once
#include <string>

#include "platform/registry.h"

namespace plat {

// A new store over folder (created when first written to). Never freed by
// its users; each store keeps its own open keys.
Registry* NewFileRegistryStore(const std::string& folder);
// The same over other folders and files than the disk's (files outlives it).
class StoreFiles;
Registry* NewFileRegistryStore(const std::string& folder, StoreFiles* files);

// The store's folder for the current environment:
// $XDG_CONFIG_HOME/KelvoUpgrader/registry ($HOME/.config when unset or empty).
std::string RegistryStoreFolder();

}  // namespace plat

namespace plat {

// Run while the registration lock is held. Removes what killed runs left in
// the store at folder: values being written (".tmp-" names) and keys being
// removed (".del-" names) of processes that have ended. With emptyFolders,
// also every key that holds neither a value nor a subkey, the store's own
// folder included when that leaves it empty: on Linux only registration
// writes the store, and after an "unregister" such a key is only a shell.
void TidyRegistryStore(const std::string& folder, bool emptyFolders);

}  // namespace plat
