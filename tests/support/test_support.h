// Helpers shared by the tests: temporary folders, whole-file reads and
// writes, environment variables, and running the real binary.
#pragma once
#include <string>
#include <utility>
#include <vector>

namespace testing_support {

// A fresh folder under the system's temporary folder, removed with its contents.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  // path() joined with name by the platform's separator.
  std::string File(const std::string& name) const;

 private:
  std::string path_;
};

std::string ReadFileBytes(const std::string& path);
void WriteFileBytes(const std::string& path, const std::string& bytes);
bool FileExists(const std::string& path);
void RemoveTree(const std::string& path);

// Sets (or with value empty, removes) an environment variable for the scope.
class ScopedEnv {
 public:
  ScopedEnv(const std::string& name, const std::string& value);
  ~ScopedEnv();

 private:
  std::string name_;
  std::string old_;
  bool had_;
};

// An environment variable, or fallback when unset.
std::string EnvOr(const char* name, const std::string& fallback);

// The updater binary under test (KELVO_BINARY, set by the build).
std::string BinaryPath();

struct RunResult {
  bool ended = false;
  int exitCode = 0;
  std::string output;
};

// Runs program with the arguments (joined with blanks into its command line on
// Windows) and extra environment; kills it after timeoutMs.
RunResult Run(const std::string& program, const std::vector<std::string>& args,
              const std::vector<std::pair<std::string, std::string>>& env = {},
              int timeoutMs = 60000);

// The environment that gives a run of the binary its own log and registry
// folders under home (HOME and the XDG folders on Linux, the runtime folder
// made at once; on Windows the log
// lands in the wine prefix's local application data, see LogPathFor).
std::vector<std::pair<std::string, std::string>> IsolatedEnv(const std::string& home);

// Where a run with IsolatedEnv(home) writes its log.
std::string LogPathFor(const std::string& home);

// Removes the log (and its backup) that a run with IsolatedEnv(home) writes.
void ResetLog(const std::string& home);

// Copies a file (binary), keeping nothing else.
void CopyFileBytes(const std::string& from, const std::string& to);

// Splits the log into its lines (CR LF or LF), without the time stamps.
std::vector<std::string> LogMessages(const std::string& logText);

// The exact bytes of a report body with boundary b and the given Log and
// Robot parts, written out by hand from the layout the maker's servers parse.
std::string ExpectedReportBody(const std::string& b, const std::string& log,
                               const std::string& robot);

}  // namespace testing_support
