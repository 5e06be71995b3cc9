#include "platform/memory.h"

#include <cstdlib>

namespace plat {
namespace {
int g_failCountdown = 0;

bool ShouldFail() {
  if (g_failCountdown <= 0) return false;
  return --g_failCountdown == 0;
}
}  // namespace

void* Alloc(size_t size) {
  if (ShouldFail()) return nullptr;
  return std::malloc(size == 0 ? 1 : size);
}

void* Realloc(void* block, size_t size) {
  if (ShouldFail()) return nullptr;
  return std::realloc(block, size == 0 ? 1 : size);
}

void Free(void* block) { std::free(block); }

void FailNthAllocation(int n) { g_failCountdown = n; }

}  // namespace plat
