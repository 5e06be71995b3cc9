// Starting other programs and waiting for them. The updater itself never
// starts anything; tests, tools and the demo use this to run the real binary.
#pragma once
#include <string>
#include <utility>
#include <vector>

namespace plat {

struct SpawnOptions {
  // Arguments after the program. On Windows they are joined with single
  // blanks, unquoted, into the command line the program receives, so a test
  // can hand it exactly the text a browser would.
  std::vector<std::string> args;
  // Variables set (or, with an empty value, removed) on top of ours.
  std::vector<std::pair<std::string, std::string>> env;
  // Capture standard output (and error) into the result.
  bool captureOutput = true;
};

struct SpawnedProcess;

// Starts the program; nullptr when it couldn't be started.
SpawnedProcess* StartProcess(const std::string& program, const SpawnOptions& options);
// The process id (for checks against what a search found).
unsigned long SpawnedProcessId(SpawnedProcess* process);
// Waits up to timeoutMs; true when it ended, with its exit code (0-255 on
// Linux as the shell sees it; -1 and such as signed values on Windows).
bool WaitProcess(SpawnedProcess* process, int timeoutMs, int* exitCode);
// Ends the process if it still runs.
void KillProcess(SpawnedProcess* process);
// Output captured so far (complete after WaitProcess returned true).
std::string ProcessOutput(SpawnedProcess* process);
// Releases the record; kills the process first if it still runs.
void ReleaseProcess(SpawnedProcess* process);

// Start, wait (killing after timeoutMs), collect output. False on a timeout
// or when the program couldn't be started.
bool RunProcess(const std::string& program, const SpawnOptions& options, int timeoutMs,
                int* exitCode, std::string* output);

}  // namespace plat
