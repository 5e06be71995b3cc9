// A stand-in for "the running copy" in the tests of ending other copies: it
// runs the search as the program does, from a process of its own, so a test
// can see that a process never picks itself and never looks into processes
// it may not read. Prints one line and exits 0.
//
//   kelvo_copy_probe find <lower-case name>   the id FindProcessByModuleName gives
#include <cstdio>
#include <cstring>

#include "app/other_copies.h"

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "find") == 0) {
    EnableDebugPrivilege();
    std::printf("%lu\n", static_cast<unsigned long>(FindProcessByModuleName(argv[2])));
    return 0;
  }
  std::fprintf(stderr, "usage: kelvo_copy_probe find <name>\n");
  return 2;
}
