#include <time.h>

#include <cerrno>

#include "platform/clock.h"

namespace plat {
namespace {

class PosixClock : public Clock {
 public:
  int64_t NowSeconds() override { return static_cast<int64_t>(::time(nullptr)); }

  LocalTime Now() override {
    time_t now = ::time(nullptr);
    struct tm parts {};
    localtime_r(&now, &parts);
    return LocalTime{parts.tm_mon + 1, parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec};
  }

  void Sleep(uint32_t milliseconds) override {
    struct timespec left {};
    left.tv_sec = milliseconds / 1000;
    left.tv_nsec = static_cast<long>(milliseconds % 1000) * 1000000L;
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
  }
};

}  // namespace

Clock& SystemClock() {
  static PosixClock instance;
  return instance;
}

}  // namespace plat
