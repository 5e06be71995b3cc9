// Reading the text of a process's /proc entries: what the search for other
// copies of the program learns from maps, stat and status.
#pragma once
#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace plat {

// The path as the kernel wrote it, without the " (deleted)" it puts after a
// file removed or replaced since it was opened, unless path, as it reads,
// still leads to the file (device, inode): then that is its real name.
std::string WithoutDeletedMark(std::string path, dev_t device, ino_t inode);

// The files a maps listing has mapped for execution, in order, each path
// once, each without the kernel's " (deleted)".
std::vector<std::string> ExecutableMappings(const std::string& maps);

// The starttime field of a /proc/<pid>/stat text.
bool StartTimeFromStat(const std::string& stat, uint64_t* start);

// The real uid of a /proc/<pid>/status text.
bool RealUidFromStatus(const std::string& status, uid_t* uid);

}  // namespace plat
