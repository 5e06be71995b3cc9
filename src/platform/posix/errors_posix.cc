#include "platform/errors.h"

namespace plat {
namespace {
// errno is clobbered by almost anything (logging included), so the backends
// translate it at the failing call and keep the Windows code here.
thread_local int32_t g_lastError = 0;
}  // namespace

int32_t LastErrorCode() { return g_lastError; }

void SetLastErrorCode(int32_t code) { g_lastError = code; }

}  // namespace plat
