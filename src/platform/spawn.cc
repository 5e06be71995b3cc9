#include "platform/spawn.h"

namespace plat {

bool RunProcess(const std::string& program, const SpawnOptions& options, int timeoutMs,
                int* exitCode, std::string* output) {
  SpawnedProcess* process = StartProcess(program, options);
  if (!process) return false;
  bool ended = WaitProcess(process, timeoutMs, exitCode);
  if (!ended) KillProcess(process);
  if (output) *output = ProcessOutput(process);
  ReleaseProcess(process);
  return ended;
}

}  // namespace plat
