#include "platform/memory.h"

#include <cstdio>
#include <cstdlib>

namespace plat {
namespace {
int g_failCountdown = 0;

// The whole-run hook (see memory.h), set up by the first allocation.
const char kHookVariable[] = "KELVO_TEST_FAIL_ALLOCATION";
bool g_hookChecked = false;
bool g_hookOn = false;
long g_hookFailAt = 0;
long g_allocations = 0;

void AnnounceCount() { std::fprintf(stderr, "kelvo test hook: %ld allocations\n", g_allocations); }

void CheckHook() {
  if (g_hookChecked) return;
  g_hookChecked = true;
  const char* value = std::getenv(kHookVariable);
  if (!value || !*value) return;
  char* end = nullptr;
  long n = std::strtol(value, &end, 10);
  if (*end != '\0' || n < 0) return;
  g_hookOn = true;
  g_hookFailAt = n;
  std::atexit(AnnounceCount);
}

bool ShouldFail(const char* kind, size_t size) {
  CheckHook();
  ++g_allocations;
  if (g_hookOn && g_allocations == g_hookFailAt) {
    std::fprintf(stderr, "kelvo test hook: allocation %ld (%s of %zu bytes) fails\n", g_allocations, kind,
                 size);
    std::fflush(stderr);
    return true;
  }
  if (g_failCountdown <= 0) return false;
  return --g_failCountdown == 0;
}
}  // namespace

void* Alloc(size_t size) {
  if (ShouldFail("alloc", size)) return nullptr;
  return std::malloc(size == 0 ? 1 : size);
}

void* Realloc(void* block, size_t size) {
  if (ShouldFail("realloc", size)) return nullptr;
  return std::realloc(block, size == 0 ? 1 : size);
}

void Free(void* block) { std::free(block); }

void FailNthAllocation(int n) { g_failCountdown = n; }

}  // namespace plat
