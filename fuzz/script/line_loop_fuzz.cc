// Feeds arbitrary bytes to the script line loop and the dispatcher, as a
// downloaded or POST-reply script would reach them.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "log/log.h"
#include "platform/clock.h"
#include "platform/memory.h"
#include "platform/registry.h"
#include "platform/system.h"
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
// No robot is ever found: send and upload must not touch this machine's ports.
class EmptyRegistry : public plat::Registry {
 public:
  int32_t OpenKey(plat::RegKey, const char*, bool, plat::RegKey*) override { return 2; }
  int32_t CreateKey(plat::RegKey, const char*, plat::RegKey*) override { return 5; }
  int32_t SetValue(plat::RegKey, const char*, uint32_t, const void*, uint32_t) override { return 5; }
  int32_t DeleteKey(plat::RegKey, const char*) override { return 5; }
  int32_t DeleteValue(plat::RegKey, const char*) override { return 5; }
  int32_t EnumValue(plat::RegKey, uint32_t, char*, uint32_t*, uint32_t*, void*, uint32_t*) override {
    return plat::kErrorNoMoreItems;
  }
  int32_t EnumKey(plat::RegKey, uint32_t, char*, uint32_t) override { return plat::kErrorNoMoreItems; }
  int32_t QueryValue(plat::RegKey, const char*, uint32_t*, void*, uint32_t*) override { return 2; }
  int32_t CloseKey(plat::RegKey) override { return 0; }
};

void KeepEverythingLocal() {
  static NoSleepClock clock;
  static EmptyRegistry registry;
  plat::SetClock(&clock);
  plat::SetRegistry(&registry);
  // A get or reply-to of an allowed URL would otherwise reach out to the
  // maker's hosts: every request goes to a closed loopback port instead.
  for (const char* name : {"http_proxy", "https_proxy", "HTTPS_PROXY", "ALL_PROXY", "all_proxy"}) {
    plat::SetEnv(name, "http://127.0.0.1:9");
  }
  plat::SetEnv("no_proxy", "");
  plat::SetEnv("NO_PROXY", "");
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool local = (KeepEverythingLocal(), true);
  (void)local;
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
