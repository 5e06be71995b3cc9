// A fuzzer's own corner of the machine: HOME and the XDG folders point into a
// fresh temporary folder (nothing can reach the real home), every proxy
// variable points at a closed loopback port (nothing can reach the network),
// and the folder goes away when the fuzzer exits. It is made in memory
// (/dev/shm) where there is such a place, because the registry store syncs
// every value it writes, which on a disk would slow a fuzzer to a crawl.
#pragma once
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include <unistd.h>

#include "platform/system.h"

namespace fuzz_sandbox {

inline std::string& Folder() {
  static std::string folder;
  return folder;
}

inline void RemoveFolder() {
  std::error_code ignored;
  if (!Folder().empty()) std::filesystem::remove_all(Folder(), ignored);
}

// Call once, before anything else runs. Returns the sandbox folder.
inline const std::string& Enter() {
  if (!Folder().empty()) return Folder();
  const char* tmp = std::getenv("TMPDIR");
  std::string base = tmp && *tmp ? tmp : "/tmp";
  if (access("/dev/shm", W_OK | X_OK) == 0) base = "/dev/shm";
  std::string pattern = base + "/kelvo-fuzz-XXXXXX";
  if (!mkdtemp(&pattern[0])) std::abort();
  Folder() = pattern;
  std::atexit(RemoveFolder);
  for (const char* name : {"HOME", "XDG_CONFIG_HOME", "XDG_STATE_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME",
                           "XDG_RUNTIME_DIR"}) {
    std::string path = pattern + "/" + name;
    std::filesystem::create_directories(path);
    plat::SetEnv(name, path);
  }
  for (const char* name : {"http_proxy", "https_proxy", "HTTP_PROXY", "HTTPS_PROXY", "ALL_PROXY", "all_proxy"}) {
    plat::SetEnv(name, "http://127.0.0.1:9");
  }
  plat::SetEnv("no_proxy", "");
  plat::SetEnv("NO_PROXY", "");
  return Folder();
}

}  // namespace fuzz_sandbox
