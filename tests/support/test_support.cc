#include "support/test_support.h"

#include <atomic>
#include <cstdio>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include "platform/files.h"
#include "platform/spawn.h"
#include "platform/system.h"

namespace fs = std::filesystem;

namespace testing_support {
namespace {
bool OnWindows() { return plat::kPathSeparator[0] == '\\'; }
}  // namespace

TempDir::TempDir() {
  static std::atomic<unsigned> counter{0};
  std::random_device rd;
  for (;;) {
    std::ostringstream name;
    name << "kelvo-test-" << std::hex << rd() << "-" << counter++;
    fs::path candidate = fs::temp_directory_path() / name.str();
    std::error_code ec;
    if (fs::create_directory(candidate, ec)) {
      path_ = candidate.string();
      break;
    }
  }
}

TempDir::~TempDir() { RemoveTree(path_); }

std::string TempDir::File(const std::string& name) const {
  return path_ + plat::kPathSeparator + name;
}

std::string ReadFileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void WriteFileBytes(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

bool FileExists(const std::string& path) {
  std::error_code ec;
  return fs::exists(path, ec);
}

void RemoveTree(const std::string& path) {
  std::error_code ec;
  fs::remove_all(path, ec);
}

void CopyFileBytes(const std::string& from, const std::string& to) {
  WriteFileBytes(to, ReadFileBytes(from));
  std::error_code ec;
  fs::permissions(to, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec,
                  fs::perm_options::replace, ec);
}

ScopedEnv::ScopedEnv(const std::string& name, const std::string& value)
    : name_(name), had_(plat::GetEnv(name, &old_)) {
  plat::SetEnv(name, value);
}

ScopedEnv::~ScopedEnv() { plat::SetEnv(name_, had_ ? old_ : std::string()); }

std::string EnvOr(const char* name, const std::string& fallback) {
  std::string value;
  return plat::GetEnv(name, &value) && !value.empty() ? value : fallback;
}

std::string BinaryPath() { return EnvOr("KELVO_BINARY", ""); }

RunResult Run(const std::string& program, const std::vector<std::string>& args,
              const std::vector<std::pair<std::string, std::string>>& env, int timeoutMs) {
  plat::SpawnOptions options;
  options.args = args;
  options.env = env;
  RunResult result;
  // A start that fails ran nothing, so it is tried again: wine's
  // CreateProcess has been seen to fail once in a few thousand starts on a
  // busy machine. A program that starts and doesn't end is never retried.
  plat::SpawnedProcess* process = nullptr;
  for (int attempt = 0; attempt < 3 && !process; ++attempt) process = plat::StartProcess(program, options);
  if (!process) {
    result.output = "(the program could not be started)";
    return result;
  }
  result.ended = plat::WaitProcess(process, timeoutMs, &result.exitCode);
  if (!result.ended) plat::KillProcess(process);
  result.output = plat::ProcessOutput(process);
  plat::ReleaseProcess(process);
  return result;
}

std::vector<std::pair<std::string, std::string>> IsolatedEnv(const std::string& home) {
  if (OnWindows()) {
    return {{"USERPROFILE", home}, {"LOCALAPPDATA", home + "\\AppData\\Local"}};
  }
  // A runtime folder of its own too: the upload mark lives there, and a run
  // must never wait for another test's upload.
  std::string runtime = home + "/runtime";
  std::error_code ec;
  fs::create_directories(runtime, ec);
  fs::permissions(runtime, fs::perms::owner_all, fs::perm_options::replace, ec);
  // No session bus either (nothing listens at that path), and no display: a
  // run shows the desktop nothing (no notification, no dialog) unless a test
  // starts a bus or a display of its own.
  return {{"HOME", home},
          {"XDG_RUNTIME_DIR", runtime},
          {"DBUS_SESSION_BUS_ADDRESS", "unix:path=" + runtime + "/bus"},
          {"DISPLAY", ""},
          {"WAYLAND_DISPLAY", ""},
          {"XDG_STATE_HOME", home + "/state"},
          {"XDG_CONFIG_HOME", home + "/config"},
          {"XDG_DATA_HOME", home + "/data"}};
}

std::string LogPathFor(const std::string& home) {
  if (OnWindows()) {
    // Wine answers the local application-data folder from its prefix whatever
    // the environment says, so Windows runs share the one log of the prefix;
    // the Windows test runs are serial and ResetLog clears it before each run.
    std::string appData;
    plat::LocalAppDataFolder(&appData);
    return appData + "\\KelvoUpgrader\\Logs\\KelvoUpgrader.log";
  }
  return home + "/state/KelvoUpgrader/Logs/KelvoUpgrader.log";
}

void ResetLog(const std::string& home) {
  std::string log = LogPathFor(home);
  std::remove(log.c_str());
  std::string backup = plat::FolderOf(log) + plat::kPathSeparator + "Backup_KelvoUpgrader.log";
  std::remove(backup.c_str());
}

std::vector<std::string> LogMessages(const std::string& logText) {
  std::vector<std::string> lines;
  std::string current;
  for (size_t i = 0; i < logText.size(); ++i) {
    char c = logText[i];
    if (c == '\n') {
      // Text mode on Windows stores a logged CR LF as CR CR LF.
      while (!current.empty() && current.back() == '\r') current.pop_back();
      lines.push_back(current);
      current.clear();
    } else {
      current.push_back(c);
    }
  }
  if (!current.empty()) lines.push_back(current);
  // Drop the "[m/d h:mm:ss] " stamp where a line starts with one.
  for (auto& line : lines) {
    if (!line.empty() && line[0] == '[') {
      size_t close = line.find("] ");
      if (close != std::string::npos && close < 20) line = line.substr(close + 2);
    }
  }
  return lines;
}

std::string ExpectedReportBody(const std::string& b, const std::string& log,
                               const std::string& robot) {
  auto head = [&](const char* name, size_t length) {
    return "--" + b + "\r\nContent-Disposition: form-data; name=\"" + name +
           "\"\r\nContent-Type: text/plain\r\nContent-Transfer-Encoding: binary\r\n"
           "Content-Length: " +
           std::to_string(length) + "\r\n\r\n";
  };
  return head("Version", 23) + "KelvoUpgrader 1.1.18710\r\n" + head("Log", log.size()) + log +
         "\r\n" + head("Robot", robot.size()) + robot + "\r\n--" + b + "--\r\n";
}

}  // namespace testing_support
