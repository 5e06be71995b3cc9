// The fixture of the tests that end other copies with real processes:
// copies of the program started from the test under a file name that
// belongs to this test alone, so that nothing the test didn't start can ever
// be matched, let alone ended. These tests must not run side by side with
// each other (one copy's test could end another's copy), and every copy
// started is ended before a test returns.
#pragma once
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app/other_copies.h"
#include "log/log.h"
#include "platform/files.h"
#include "platform/process.h"
#include "platform/spawn.h"
#include "support/test_support.h"


namespace other_copies_testing {

namespace ts = testing_support;


inline std::string Lower(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

inline std::string Upper(std::string text) {
  for (char& c : text) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return text;
}

// ".exe" on Windows, nothing on Linux: whatever the built program's name has.
inline std::string ProgramExtension() {
  std::string name = plat::FileNameOf(ts::BinaryPath());
  size_t dot = name.rfind('.');
  return dot == std::string::npos ? std::string() : name.substr(dot);
}

// The modules of a process as the search sees them (empty when it can't be opened).
inline std::vector<std::string> ModulesOf(uint32_t processId) {
  std::vector<std::string> paths;
  plat::Processes& procs = plat::processes();
  plat::ProcessHandle process = procs.OpenForQuery(processId);
  if (!process) return paths;
  std::vector<plat::ModuleHandle> modules(4096);
  uint32_t needed = 0;
  uint32_t bytes = static_cast<uint32_t>(modules.size() * sizeof(plat::ModuleHandle));
  if (procs.EnumModules(process, modules.data(), bytes, &needed)) {
    for (uint32_t i = 0; i < needed / sizeof(plat::ModuleHandle) && i < modules.size(); ++i) {
      char path[260];
      if (modules[i] && procs.ModuleFileName(process, modules[i], path, sizeof path)) {
        paths.push_back(path);
      }
    }
  }
  procs.Close(process);
  return paths;
}

class OtherCopies : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(ts::BinaryPath().empty()) << "KELVO_BINARY names the program under test";
    std::random_device rd;
    std::ostringstream tag;
    tag << std::hex << rd() << rd();
    base_ = "KelvoUpgrader-t-" + tag.str();
    ext_ = ProgramExtension();
    // Long enough to outlive any test; the copies are ended long before.
    std::string lines;
    for (int i = 0; i < 8; ++i) lines += "wait 32767\n";
    script_ = home_.File("long.txt");
    ts::WriteFileBytes(script_, lines);
    // The copies' runtime folder (where the upload mark lives) is ours too.
    ts::IsolatedEnv(home_.path());
    runtime_.reset(new ts::ScopedEnv("XDG_RUNTIME_DIR", home_.path() + "/runtime"));
  }

  void TearDown() override {
    for (plat::SpawnedProcess* p : started_) plat::ReleaseProcess(p);
    started_.clear();
    LogFilePath[0] = '\0';
  }

  // A folder of its own, kept until the test's end.
  std::string NewFolder() {
    folders_.push_back(std::make_unique<ts::TempDir>());
    return folders_.back()->path();
  }

  std::string PlaceCopy(const std::string& program, const std::string& fileName,
                        const std::string& subfolder = "") {
    std::string folder = NewFolder();
    if (!subfolder.empty()) {
      folder += plat::kPathSeparator + subfolder;
      std::filesystem::create_directory(folder);
    }
    std::string path = folder + plat::kPathSeparator + fileName + ext_;
    ts::CopyFileBytes(program, path);
    // Readable and runnable by anyone, for the test that runs it as another user.
    std::error_code ec;
    std::filesystem::permissions(path, std::filesystem::perms::owner_all |
                                           std::filesystem::perms::group_read |
                                           std::filesystem::perms::group_exec |
                                           std::filesystem::perms::others_read |
                                           std::filesystem::perms::others_exec,
                                 std::filesystem::perm_options::replace, ec);
    return path;
  }

  // Starts a copy of the program named fileName (plus the extension) on a
  // long local script, and waits until the search can see it.
  plat::SpawnedProcess* StartCopy(const std::string& fileName, const std::string& subfolder = "",
                                  const std::string& script = "") {
    std::string path = PlaceCopy(ts::BinaryPath(), fileName, subfolder);
    plat::SpawnOptions options;
    options.args = {"/NOSERVER", script.empty() ? script_ : script};
    options.env = ts::IsolatedEnv(home_.path());
    plat::SpawnedProcess* process = plat::StartProcess(path, options);
    if (!process) {
      ADD_FAILURE() << "could not start " << path;
      return nullptr;
    }
    started_.push_back(process);
    uint32_t id = static_cast<uint32_t>(plat::SpawnedProcessId(process));
    std::string name = Lower(fileName + ext_);
    for (int waited = 0; waited < 30000; waited += 50) {
      for (const auto& module : ModulesOf(id)) {
        if (Lower(module).find(name) != std::string::npos) return process;
      }
      int code = 0;
      if (plat::WaitProcess(process, 50, &code)) {
        ADD_FAILURE() << path << " ended early with " << code;
        return nullptr;
      }
    }
    ADD_FAILURE() << path << " never showed its module";
    return nullptr;
  }

  // Starts a probe and waits until it has said word.
  plat::SpawnedProcess* StartProbe(const std::string& path, const std::vector<std::string>& args,
                                   const std::string& word) {
    plat::SpawnOptions options;
    options.args = args;
    options.env = ts::IsolatedEnv(home_.path());
    plat::SpawnedProcess* process = plat::StartProcess(path, options);
    if (!process) {
      ADD_FAILURE() << "could not start " << path;
      return nullptr;
    }
    started_.push_back(process);
    for (int waited = 0; waited < 30000; waited += 20) {
      if (plat::ProcessOutput(process).find(word) != std::string::npos) return process;
      int code = 0;
      if (plat::WaitProcess(process, 20, &code)) break;
    }
    ADD_FAILURE() << path << " never said " << word << ": " << plat::ProcessOutput(process);
    return nullptr;
  }

  // What the search logged (it logs only while it waits for an upload).
  std::vector<std::string> SearchLog() {
    return ts::LogMessages(ts::ReadFileBytes(home_.File("search.log")));
  }

  static bool StillRunning(plat::SpawnedProcess* process) {
    int code = 0;
    return !plat::WaitProcess(process, 300, &code);
  }

  static bool EndsWith(plat::SpawnedProcess* process, int expected) {
    int code = 0;
    if (!plat::WaitProcess(process, 15000, &code)) return false;
    EXPECT_EQ(code, expected);
    return code == expected;
  }

  // The path another copy would run from: same file name, another folder.
  std::string OwnPath() { return NewFolder() + plat::kPathSeparator + base_ + ext_; }

  // A launch of a copy at OwnPath() ending the others: started after the
  // copies the test runs, it is the newest. True when it ended one.
  bool EndFromNewCopy() {
    ts::RunResult run =
        ts::Run(ProbePath(), {"end", OwnPath(), home_.File("search.log")}, ts::IsolatedEnv(home_.path()), 60000);
    EXPECT_TRUE(run.ended);
    return Answer(run) == "1";
  }

  // The probe's one line, without its line end (CR LF on Windows).
  static std::string Answer(const ts::RunResult& run) {
    std::string text = run.output;
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    return text;
  }

  std::string ProbePath() {
    return plat::FolderOf(ts::BinaryPath()) + plat::kPathSeparator + "kelvo_copy_probe" + ext_;
  }

  ts::TempDir home_;
  std::unique_ptr<ts::ScopedEnv> runtime_;
  std::string base_, ext_, script_;
  std::vector<std::unique_ptr<ts::TempDir>> folders_;
  std::vector<plat::SpawnedProcess*> started_;
};

// The real program, launched in a PID namespace of its own (as root) with
// the processes the case starts, so that a fault can end nothing else.
class OtherCopiesInNamespace : public OtherCopies {
 protected:
  void SetUp() override {
    OtherCopies::SetUp();
    if (plat::kPathSeparator[0] != '/' || !ts::FileExists(kUnshare) || !ts::FileExists(kSetpriv)) {
      GTEST_SKIP() << "needs Linux with unshare and setpriv";
    }
    ts::RunResult probe = ts::Run(kUnshare, {"--pid", "--fork", "--mount-proc", "/bin/true"}, {}, 10000);
    if (!probe.ended || probe.exitCode != 0) {
      GTEST_SKIP() << "unshare --mount-proc can make no PID namespace here (it needs root, and / a mount point)";
    }
  }

  // Runs the shell script in the namespace with the arguments ($1 ...).
  std::string InNamespace(const std::string& script, const std::vector<std::string>& args) {
    std::vector<std::string> all = {"--pid", "--fork", "--mount-proc", "/bin/sh", "-c", script, "case"};
    all.insert(all.end(), args.begin(), args.end());
    ts::RunResult run = ts::Run(kUnshare, all, ts::IsolatedEnv(home_.path()), 60000);
    EXPECT_TRUE(run.ended);
    return run.output;
  }

  std::vector<std::string> LaunchLog() { return ts::LogMessages(ts::ReadFileBytes(ts::LogPathFor(home_.path()))); }

  static constexpr const char* kUnshare = "/usr/bin/unshare";
  static constexpr const char* kSetpriv = "/usr/bin/setpriv";
};

}  // namespace other_copies_testing
