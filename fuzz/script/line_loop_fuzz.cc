// Feeds arbitrary bytes to the script line loop and the dispatcher, as a
// downloaded or POST-reply script would reach them.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "log/log.h"
#include "platform/clock.h"
#include "platform/memory.h"
#include "script/engine.h"
#include "script/run_state.h"

namespace {
// wait must not really sleep while fuzzing.
class NoSleepClock : public plat::Clock {
 public:
  int64_t NowSeconds() override { return 0; }
  plat::LocalTime Now() override { return {1, 1, 0, 0, 0}; }
  void Sleep(uint32_t) override {}
};
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static NoSleepClock clock;
  plat::SetClock(&clock);
  LogFilePath[0] = '\0';

  ScriptBuffer.text = static_cast<char*>(plat::Alloc(size + 1));
  if (!ScriptBuffer.text) return 0;
  std::memset(ScriptBuffer.text, 0, size + 1);
  if (size) std::memcpy(ScriptBuffer.text, data, size);
  ScriptBuffer.length = static_cast<int32_t>(size);
  PrepareScriptText();
  RunScriptText();

  // A line-by-line replay through the dispatcher with the top bit kept.
  char* copy = static_cast<char*>(plat::Alloc(size + 1));
  if (copy) {
    if (size) std::memcpy(copy, data, size);
    copy[size] = '\0';
    DispatchScriptLine(copy);
    plat::Free(copy);
  }
  ReleaseRunResources();
  return 0;
}
