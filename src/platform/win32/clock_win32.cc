#include <windows.h>

#include <ctime>

#include "platform/clock.h"

namespace plat {
namespace {

class Win32Clock : public Clock {
 public:
  int64_t NowSeconds() override { return static_cast<int64_t>(::_time64(nullptr)); }

  LocalTime Now() override {
    SYSTEMTIME st;
    ::GetLocalTime(&st);
    return LocalTime{st.wMonth, st.wDay, st.wHour, st.wMinute, st.wSecond};
  }

  void Sleep(uint32_t milliseconds) override { ::Sleep(milliseconds); }
};

}  // namespace

Clock& SystemClock() {
  static Win32Clock instance;
  return instance;
}

}  // namespace plat
