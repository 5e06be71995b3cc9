// A stand-in for "the running copy" in the tests of ending other copies: it
// runs the search as the program does, from a process of its own, so a test
// can see that a process never picks itself and never looks into processes
// it may not read; and it plays the other processes a search meets.
//
//   kelvo_copy_probe find <lower-case name>   prints the id FindProcessByModuleName gives
//   kelvo_copy_probe map <file> <ms>          maps the file for reading, prints "mapped",
//                                             and stays for ms milliseconds
//   kelvo_copy_probe map-exec <folder> <ms>   maps every file in the folder for execution
//                                             (a process with as many modules), prints
//                                             "mapped N" and stays for ms milliseconds
//   kelvo_copy_probe end <path> [<log>]       ends the other copies as a launch of the
//                                             program at path does (logging into log),
//                                             and prints 1 when it ended one, else 0
//   kelvo_copy_probe hold-mark <ms> <then-ms> takes the upload mark as an upload does,
//                                             prints "held", holds it for ms, prints
//                                             "done", lets it go and stays for then-ms
// Exits 0 (1 when the file can't be mapped or the mark can't be taken).
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <vector>

#include "app/other_copies.h"
#include "log/log.h"
#include "platform/clock.h"
#include "platform/mark.h"
#include "platform/process.h"
#include "robot/upload.h"

namespace {

// At most ten minutes, whatever the test asked: the probe always ends by itself.
void Stay(const char* ms) {
  long wait = std::strtol(ms, nullptr, 10);
  if (wait < 0) wait = 0;
  if (wait > 600000) wait = 600000;
  plat::clock().Sleep(static_cast<uint32_t>(wait));
}

void Say(const char* word) {
  std::printf("%s\n", word);
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "find") == 0) {
    EnableDebugPrivilege();
    std::printf("%lu\n", static_cast<unsigned long>(FindProcessByModuleName(argv[2])));
    return 0;
  }
  if (argc == 4 && std::strcmp(argv[1], "map") == 0) {
    plat::FileMapping* mapping = plat::MapFileForReading(argv[2]);
    if (!mapping) return 1;
    Say("mapped");
    Stay(argv[3]);
    plat::UnmapFile(mapping);
    return 0;
  }
  if (argc == 4 && std::strcmp(argv[1], "map-exec") == 0) {
    std::vector<plat::FileMapping*> mappings;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(argv[2], ec)) {
      plat::FileMapping* mapping = plat::MapFileForExecution(entry.path().string().c_str());
      if (!mapping) break;
      mappings.push_back(mapping);
    }
    std::printf("mapped %zu\n", mappings.size());
    std::fflush(stdout);
    Stay(argv[3]);
    for (plat::FileMapping* mapping : mappings) plat::UnmapFile(mapping);
    return 0;
  }
  if ((argc == 3 || argc == 4) && std::strcmp(argv[1], "end") == 0) {
    if (argc == 4) std::snprintf(LogFilePath, sizeof LogFilePath, "%s", argv[3]);
    std::printf("%d\n", TerminateOtherInstance(argv[2]) ? 1 : 0);
    return 0;
  }
  if (argc == 4 && std::strcmp(argv[1], "hold-mark") == 0) {
    plat::Mark* mark = plat::OpenMark(kUploadMarkName);
    if (!mark || plat::TakeMark(mark, 60000) != plat::MarkTake::Taken) return 1;
    Say("held");
    Stay(argv[2]);
    Say("done");
    plat::ReleaseMark(mark);
    Stay(argv[3]);
    plat::CloseMark(mark);
    return 0;
  }
  std::fprintf(stderr,
               "usage: kelvo_copy_probe find <name> | map <file> <ms> | map-exec <folder> <ms> |\n"
               "       end <path> [<log>] | hold-mark <ms> <then-ms>\n");
  return 2;
}
