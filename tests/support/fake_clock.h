// A clock for tests: time moves only when the code sleeps (or the test says so).
#pragma once
#include <cstdint>
#include <vector>

#include "platform/clock.h"

namespace testing_support {

class FakeClock : public plat::Clock {
 public:
  int64_t NowSeconds() override { return nowMs / 1000; }
  plat::LocalTime Now() override { return local; }
  void Sleep(uint32_t milliseconds) override {
    sleeps.push_back(milliseconds);
    nowMs += milliseconds;
  }

  int64_t nowMs = 1700000000000;
  plat::LocalTime local{3, 7, 9, 5, 2};
  std::vector<uint32_t> sleeps;
};

// Puts the fake clock in place for the scope.
class ScopedClock {
 public:
  explicit ScopedClock(plat::Clock* clock) { plat::SetClock(clock); }
  ~ScopedClock() { plat::SetClock(nullptr); }
};

}  // namespace testing_support
