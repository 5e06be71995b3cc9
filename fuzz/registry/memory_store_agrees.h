// The folders in memory stand in for the kernel's, so the registry fuzzer
// first makes sure they still answer alike: the same few thousand random
// calls (a handful of names, a few levels deep, so paths collide, files
// stand where folders are wanted and folders are renamed into themselves)
// go to both, and every answer, listing and read must match. A difference
// would make the fuzzer report faults the store does not have, or miss
// those it has; the fuzzer refuses to start on one.
#pragma once
#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "platform/posix/registry_store_files.h"
#include "registry/memory_store_files.h"

namespace registry_model {

// Empty when they agree, else the first call they answered differently.
inline std::string MemoryAgreesWithDisk(const std::string& diskFolder, int rounds, int callsPerRound) {
  static const char* const kNames[] = {"a", "b", "A", "@c"};
  plat::StoreFiles* disk = plat::DiskStoreFiles();
  std::mt19937 rng(20261208);
  for (int round = 0; round < rounds; ++round) {
    MemoryStoreFiles memory;
    disk->RemoveTree(diskFolder);
    disk->MakeFolder(diskFolder);
    memory.MakeFolder("/m");
    auto path = [&] {
      std::string p;
      for (uint32_t i = 0, n = 1 + rng() % 4; i < n; ++i) p += std::string("/") + kNames[rng() % 4];
      return p;
    };
    for (int call = 0; call < callsPerRound; ++call) {
      std::string p = path(), q = path(), bytes = "b" + std::to_string(call);
      std::string m = "/m" + p, d = diskFolder + p;
      int32_t inMemory = 0, onDisk = 0;
      const char* what = "";
      switch (rng() % 8) {
        case 0:
          what = "Kind";
          inMemory = static_cast<int32_t>(memory.Kind(m));
          onDisk = static_cast<int32_t>(disk->Kind(d));
          break;
        case 1:
          what = "Writable";
          inMemory = memory.Writable(m);
          onDisk = disk->Writable(d);
          break;
        case 2: {
          what = "List";
          std::vector<std::pair<std::string, plat::StoreEntry>> a, b;
          inMemory = memory.List(m, &a);
          onDisk = disk->List(d, &b);
          std::sort(a.begin(), a.end());
          std::sort(b.begin(), b.end());
          if (inMemory == 0 && onDisk == 0 && a != b) inMemory = -1;
          break;
        }
        case 3: {
          what = "Read";
          std::string a, b;
          inMemory = memory.Read(m, &a);
          onDisk = disk->Read(d, &b);
          if (inMemory == 0 && onDisk == 0 && a != b) inMemory = -1;
          break;
        }
        case 4:
          what = "WriteNew";
          inMemory = memory.WriteNew(m, bytes);
          onDisk = disk->WriteNew(d, bytes);
          break;
        case 5:
          what = "Rename";
          // A third of the time into the entry's own folder, or over a
          // folder it is in: the kernel's own refusals.
          if (rng() % 3 == 0) {
            q = p + "/" + kNames[rng() % 4];
          } else if (rng() % 2 == 0 && p.rfind('/') > 0) {
            q = p.substr(0, p.rfind('/'));
          }
          inMemory = memory.Rename(m, "/m" + q);
          onDisk = disk->Rename(d, diskFolder + q);
          break;
        case 6:
          what = "MakeFolder";
          inMemory = memory.MakeFolder(m);
          onDisk = disk->MakeFolder(d);
          break;
        default:
          what = "Unlink";
          inMemory = memory.Unlink(m);
          onDisk = disk->Unlink(d);
          break;
      }
      if (inMemory != onDisk) {
        return std::string(what) + " " + p + " (" + q + "): in memory " + std::to_string(inMemory) + ", on disk " +
               std::to_string(onDisk);
      }
    }
  }
  disk->RemoveTree(diskFolder);
  return std::string();
}

}  // namespace registry_model
