// Creates each named mutex owned at once, says "held", and keeps them for
// the given milliseconds (at most ten minutes), then ends:
//
//   kelvo_mark_squatter <ms> <mutex name>...
//
// Exits 1 when a mutex can't be created or was there already.
#include <windows.h>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: kelvo_mark_squatter <ms> <mutex name>...\n");
    return 2;
  }
  long ms = std::strtol(argv[1], nullptr, 10);
  if (ms < 0 || ms > 600000) ms = 600000;
  for (int i = 2; i < argc; ++i) {
    HANDLE mutex = ::CreateMutexA(nullptr, TRUE, argv[i]);
    if (!mutex || ::GetLastError() == ERROR_ALREADY_EXISTS) return 1;
  }
  std::printf("held\n");
  std::fflush(stdout);
  ::Sleep(static_cast<DWORD>(ms));
  return 0;
}
