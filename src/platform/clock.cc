#include "platform/clock.h"

namespace plat {
namespace {
Clock* g_clock = nullptr;
}

Clock& clock() { return g_clock ? *g_clock : SystemClock(); }

void SetClock(Clock* replacement) { g_clock = replacement; }

}  // namespace plat
