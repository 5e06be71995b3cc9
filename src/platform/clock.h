// Wall clock, local time and sleeping. Behind an interface because tests must
// be able to run a 30-second robot silence or a `wait 100000` in milliseconds.
#pragma once
#include <cstdint>

namespace plat {

struct LocalTime {
  int month;   // 1-12
  int day;     // 1-31
  int hour;    // 0-23
  int minute;
  int second;
};

class Clock {
 public:
  virtual ~Clock() = default;
  // Seconds since 1970, whole seconds (the stall time-outs count these).
  virtual int64_t NowSeconds() = 0;
  virtual LocalTime Now() = 0;
  virtual void Sleep(uint32_t milliseconds) = 0;
};

// The clock in use: the system's, unless a test put its own in place.
Clock& clock();
// nullptr puts the system clock back.
void SetClock(Clock* replacement);
// The system clock itself (a backend's).
Clock& SystemClock();

}  // namespace plat
