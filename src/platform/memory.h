// Every heap allocation of the run-wide buffers goes through here, so that the
// out-of-memory paths (which must never lose or corrupt data) can be exercised
// by tests: FailNthAllocation(n) makes the n-th allocation from now on fail.
//
// Test hook for whole runs of the program: with KELVO_TEST_FAIL_ALLOCATION=N
// in its environment, the N-th allocation of the process fails (N = 0: none
// does), the failure is announced on standard error as
//   "kelvo test hook: allocation N (alloc|realloc of S bytes) fails"
// and at exit the count is written there as
//   "kelvo test hook: A allocations"
// Without the variable (as in every normal run) nothing of this happens.
#pragma once
#include <cstddef>

namespace plat {

void* Alloc(size_t size);
void* Realloc(void* block, size_t size);
void Free(void* block);

// 1 = the next allocation fails, 2 = the one after, ...; 0 switches failures off.
// Only the one allocation fails; later ones succeed again.
void FailNthAllocation(int n);

}  // namespace plat
