// Ending other copies, with real processes: copies of the program started
// from the test under a file name that belongs to this test alone, so that
// nothing the test didn't start can ever be matched, let alone ended.
// These tests must not run side by side with each other (one copy's test could
// end another's copy), and every copy started is ended before a test returns.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <limits>
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

namespace ts = testing_support;

namespace {

std::string Lower(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

std::string Upper(std::string text) {
  for (char& c : text) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return text;
}

// ".exe" on Windows, nothing on Linux: whatever the built program's name has.
std::string ProgramExtension() {
  std::string name = plat::FileNameOf(ts::BinaryPath());
  size_t dot = name.rfind('.');
  return dot == std::string::npos ? std::string() : name.substr(dot);
}

// The modules of a process as the search sees them (empty when it can't be opened).
std::vector<std::string> ModulesOf(uint32_t processId) {
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

TEST_F(OtherCopies, ACopyUnderAnotherFolderIsEnded) {
  plat::SpawnedProcess* copy = StartCopy(base_);
  ASSERT_NE(copy, nullptr);
  EXPECT_EQ(FindProcessByModuleName(Lower(base_ + ext_).c_str()), plat::SpawnedProcessId(copy));
  // The test itself started before the copy: it is no newer copy, and
  // ending belongs to the newest.
  EXPECT_FALSE(TerminateOtherInstance(OwnPath().c_str()));
  EXPECT_TRUE(StillRunning(copy));
  EXPECT_TRUE(EndFromNewCopy());
  EXPECT_TRUE(EndsWith(copy, plat::kTerminatedExitStatus));
  // The copy that ended it names it.
  std::vector<std::string> log = SearchLog();
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0], "TerminateOtherInstance - ended the older copy with process id " +
                        std::to_string(plat::SpawnedProcessId(copy)));
  // Nothing is left to end.
  EXPECT_FALSE(EndFromNewCopy());
}

TEST_F(OtherCopies, ALongerNameThatContainsOursCountsWhateverItsCase) {
  plat::SpawnedProcess* copy = StartCopy("x" + Upper(base_));
  ASSERT_NE(copy, nullptr);
  EXPECT_TRUE(EndFromNewCopy());
  EXPECT_TRUE(EndsWith(copy, plat::kTerminatedExitStatus));
}

TEST_F(OtherCopies, AProgramOfAnotherNameIsLeftAloneWhereverItRunsAndWhatEverItHasMapped) {
  plat::SpawnedProcess* other = StartCopy("Unrelated-t-" + base_.substr(16));
  // A program run from a folder named like the copies (a virtualenv in
  // ~/KelvoUpgrader) and one that has a data file named like them mapped
  // (a viewer of the log) run no copy of the program.
  plat::SpawnedProcess* inFolder = StartCopy("helper", base_);
  std::string data = NewFolder() + plat::kPathSeparator + base_ + ext_ + ".log";
  ts::WriteFileBytes(data, "a log line\n");
  plat::SpawnedProcess* viewer = StartProbe(ProbePath(), {"map", data, "60000"}, "mapped");
  ASSERT_NE(other, nullptr);
  ASSERT_NE(inFolder, nullptr);
  ASSERT_NE(viewer, nullptr);
  // On Linux a name that merely begins with ours is no copy either.
  plat::SpawnedProcess* helper = plat::kPathSeparator[0] == '/' ? StartCopy(base_ + "-helper") : nullptr;
  EXPECT_FALSE(EndFromNewCopy());
  EXPECT_EQ(FindProcessByModuleName(Lower(base_ + ext_).c_str()), 0u);
  EXPECT_TRUE(StillRunning(other));
  EXPECT_TRUE(StillRunning(inFolder));
  EXPECT_TRUE(StillRunning(viewer));
  if (helper) {
    EXPECT_TRUE(StillRunning(helper));
  }
}

TEST_F(OtherCopies, ACopyInsideAnUploadIsEndedOnlyOnceItsMarkIsFree) {
  std::snprintf(LogFilePath, sizeof LogFilePath, "%s", home_.File("search.log").c_str());
  // The probe, named like a copy, holds the upload mark for 1.5 s as an
  // upload does, then goes on running as a copy after its upload would.
  std::string copy = PlaceCopy(ProbePath(), base_);
  plat::SpawnedProcess* uploading = StartProbe(copy, {"hold-mark", "1500", "60000"}, "held");
  ASSERT_NE(uploading, nullptr);
  auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(EndFromNewCopy());
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1000));
  EXPECT_TRUE(EndsWith(uploading, plat::kTerminatedExitStatus));
  EXPECT_NE(plat::ProcessOutput(uploading).find("done"), std::string::npos) << "ended inside its upload";
  std::vector<std::string> log = SearchLog();
  ASSERT_EQ(log.size(), 3u);
  EXPECT_EQ(log[0], "WARNING: TerminateOtherInstance - another copy is uploading to the robot, "
                    "waiting until its upload ends");
  EXPECT_EQ(log[1], "TerminateOtherInstance - ended the older copy with process id " +
                        std::to_string(plat::SpawnedProcessId(uploading)));
  EXPECT_EQ(log[2].rfind("WARNING: TerminateOtherInstance - the upload ended after ", 0), 0u) << log[2];
  EXPECT_NE(log[2].find(" seconds, the other copy is ended now"), std::string::npos) << log[2];

  // A holder that dies lets go with it: the wait of a launch (the real
  // program, bounded by the run's time limit) ends, and nothing is left to end.
  plat::SpawnedProcess* dying = StartProbe(copy, {"hold-mark", "60000", "0"}, "held");
  ASSERT_NE(dying, nullptr);
  ts::ResetLog(home_.path());
  std::string launchLog = ts::LogPathFor(home_.path());
  std::thread killer([dying, launchLog] {
    for (int waited = 0; waited < 30000; waited += 20) {
      if (ts::ReadFileBytes(launchLog).find("waiting until its upload ends") != std::string::npos) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    plat::KillProcess(dying);
  });
  ts::RunResult launch =
      ts::Run(PlaceCopy(ts::BinaryPath(), base_), {"registerx"}, ts::IsolatedEnv(home_.path()), 30000);
  killer.join();
  EXPECT_TRUE(launch.ended);
  log = ts::LogMessages(ts::ReadFileBytes(launchLog));
  auto last = std::find_if(log.rbegin(), log.rend(),
                           [](const std::string& l) { return l.rfind("WARNING: ", 0) == 0; });
  ASSERT_NE(last, log.rend());
  // Seen gone either while the mark was still held or once it was free.
  EXPECT_NE(last->find(", no other copy is ended"), std::string::npos) << *last;
}

TEST_F(OtherCopies, OfTwoOlderCopiesBothAreEndedAndGoneBeforeTheLaunchGoesOn) {
  plat::SpawnedProcess* a = StartCopy(base_);
  plat::SpawnedProcess* b = StartCopy(base_);
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  EXPECT_TRUE(EndFromNewCopy());
  // Gone already when the launch returned: no time for them to be seen.
  int code = 0;
  EXPECT_TRUE(plat::WaitProcess(a, 0, &code));
  EXPECT_TRUE(plat::WaitProcess(b, 0, &code));
  EXPECT_EQ(code, plat::kTerminatedExitStatus);
  EXPECT_FALSE(EndFromNewCopy());
}

TEST_F(OtherCopies, TensOfThousandsOfExecutableMappingsKeepTheLookQuick) {
  // Each name of one file mapped for execution is a module of its own. A
  // look that compared each with all before it grew with the square of their
  // number: 50,000 took seconds. Against 5,000 looked at in the same run,
  // linear work costs some 10 times as much, the square some 100 times. The
  // least of a few looks at each stands for it.
  if (plat::kPathSeparator[0] != '/') GTEST_SKIP() << "file views are no modules on Windows";
  auto mapper = [this](int count) {
    std::string folder = NewFolder();
    std::string first = folder + "/m0";
    ts::WriteFileBytes(first, "x");
    for (int i = 1; i < count; ++i) std::filesystem::create_hard_link(first, folder + "/m" + std::to_string(i));
    return StartProbe(ProbePath(), {"map-exec", folder, "600000"}, "mapped " + std::to_string(count) + "\n");
  };
  plat::SpawnedProcess* few = mapper(5000);
  plat::SpawnedProcess* many = mapper(50000);
  ASSERT_NE(few, nullptr);
  ASSERT_NE(many, nullptr);

  // The processor time the look takes (this process's, in the kernel too,
  // where /proc writes the mappings out), not the time on the clock: other
  // programs on a busy machine take turns with a long look far more often
  // than with a short one.
  auto look = [](plat::SpawnedProcess* decoy, std::clock_t* fastest, size_t* modules) {
    std::clock_t start = std::clock();
    plat::ProcessHandle process = plat::processes().OpenForQuery(plat::SpawnedProcessId(decoy));
    *fastest = std::min(*fastest, std::clock() - start);
    ASSERT_NE(process, 0u);
    uint32_t needed = 0;
    plat::ModuleHandle none[1];
    EXPECT_TRUE(plat::processes().EnumModules(process, none, sizeof none, &needed));
    plat::processes().Close(process);
    *modules = needed / sizeof(plat::ModuleHandle);
  };
  std::clock_t fewTook = std::numeric_limits<std::clock_t>::max(), manyTook = fewTook;
  size_t fewModules = 0, manyModules = 0;
  for (int round = 0; round < 3; ++round) {
    ASSERT_NO_FATAL_FAILURE(look(few, &fewTook, &fewModules));
    ASSERT_NO_FATAL_FAILURE(look(many, &manyTook, &manyModules));
  }
  EXPECT_GE(fewModules, 5000u);
  EXPECT_LT(fewModules, 50000u);
  EXPECT_GE(manyModules, 50000u);
  double ratio = static_cast<double>(manyTook) / static_cast<double>(std::max<std::clock_t>(1, fewTook));
  // Linear work measures some 16 times as much on a 2-core machine at load
  // 12; work that grows with the square, some 100 to 300 times.
  EXPECT_LT(ratio, 40.0) << "processor time for 5,000 modules: " << fewTook * 1000 / CLOCKS_PER_SEC
                         << " ms, for 50,000: " << manyTook * 1000 / CLOCKS_PER_SEC << " ms";
}

TEST_F(OtherCopies, MarksTakenByAnotherProgramHoldALaunchNoLongerThanTheCopyItWouldEnd) {
  // Any program of any account can create the marks' mutexes first and
  // hold them (wine doesn't tell accounts apart, so the squatter here is
  // one of ours; on Windows one of another account is refused outright).
  if (plat::kPathSeparator[0] != '\\') GTEST_SKIP() << "Linux marks live in the user's own folder";
  std::string squatter = plat::FolderOf(ts::BinaryPath()) + "\\kelvo_mark_squatter.exe";
  ASSERT_NE(StartProbe(squatter, {"120000", "Global\\KelvoUpgrader.Upload", "Global\\KelvoUpgrader.Ending"},
                       "held"),
            nullptr);
  std::string launcher = PlaceCopy(ts::BinaryPath(), base_);

  // No copy to end: nothing to wait for.
  ts::ResetLog(home_.path());
  auto start = std::chrono::steady_clock::now();
  ts::RunResult alone = ts::Run(launcher, {"registerx"}, ts::IsolatedEnv(home_.path()), 30000);
  EXPECT_TRUE(alone.ended) << "the launch waited on the squatter";
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(15));

  // An older copy that ends by itself after some 3 seconds: the launch
  // waits as long as that copy lives, then goes on with a warning.
  std::string shortScript = home_.File("short.txt");
  ts::WriteFileBytes(shortScript, "wait 3000\n");
  plat::SpawnedProcess* older = StartCopy("x" + base_, "", shortScript);
  ASSERT_NE(older, nullptr);
  ts::ResetLog(home_.path());
  start = std::chrono::steady_clock::now();
  ts::RunResult waited = ts::Run(launcher, {"registerx"}, ts::IsolatedEnv(home_.path()), 30000);
  EXPECT_TRUE(waited.ended) << "the launch waited on the squatter after the copy was gone";
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
  EXPECT_TRUE(EndsWith(older, 0)) << "the copy ran to its own end";
  std::vector<std::string> log = ts::LogMessages(ts::ReadFileBytes(ts::LogPathFor(home_.path())));
  EXPECT_NE(std::find(log.begin(), log.end(),
                      "WARNING: TerminateOtherInstance - another copy is ending older copies, waiting for it"),
            log.end());
  EXPECT_NE(std::find(log.begin(), log.end(),
                      "WARNING: TerminateOtherInstance - the older copies ended while the mark was held, "
                      "no other copy is ended"),
            log.end());
}

TEST_F(OtherCopies, TheSearchingProcessNeverPicksItself) {
  // The probe runs the search from a file named like the copies, so its own
  // executable matches; it must still answer 0 while no other copy runs...
  std::string probe = PlaceCopy(ProbePath(), base_);
  ts::RunResult alone = ts::Run(probe, {"find", Lower(base_)}, {}, 60000);
  ASSERT_TRUE(alone.ended);
  EXPECT_EQ(Answer(alone), "0");

  // ...and the other copy's id once one runs.
  plat::SpawnedProcess* copy = StartCopy("b-" + base_);
  ASSERT_NE(copy, nullptr);
  ts::RunResult withCopy = ts::Run(probe, {"find", Lower(base_)}, {}, 60000);
  ASSERT_TRUE(withCopy.ended);
  EXPECT_EQ(Answer(withCopy), std::to_string(plat::SpawnedProcessId(copy)));
}

TEST_F(OtherCopies, ACopyOfAnotherUserThatCantBeReadIsPassedBy) {
  // Arranged on Linux by running the search as the unprivileged user
  // "nobody" (which needs root); a root-owned copy's maps are closed to it.
  const std::string setpriv = "/usr/bin/setpriv";
  if (plat::kPathSeparator[0] != '/' || !ts::FileExists(setpriv)) {
    GTEST_SKIP() << "needs Linux with setpriv";
  }
  std::vector<std::string> asNobody = {"--reuid=65534", "--regid=65534", "--clear-groups"};
  std::vector<std::string> trueRun = asNobody;
  trueRun.push_back("/bin/true");
  ts::RunResult canSwitch = ts::Run(setpriv, trueRun, {}, 10000);
  if (!canSwitch.ended || canSwitch.exitCode != 0) GTEST_SKIP() << "needs root to switch users";

  plat::SpawnedProcess* copy = StartCopy("b-" + base_);
  ASSERT_NE(copy, nullptr);
  std::string probe = PlaceCopy(ProbePath(), "probe-" + base_);
  std::vector<std::string> args = asNobody;
  args.insert(args.end(), {probe, "find", Lower(base_)});
  ts::RunResult other = ts::Run(setpriv, args, {}, 60000);
  ASSERT_TRUE(other.ended);
  EXPECT_EQ(Answer(other), "0");
  // The same search as the copy's own user finds it.
  ts::RunResult same = ts::Run(probe, {"find", Lower(base_)}, {}, 60000);
  EXPECT_EQ(Answer(same), std::to_string(plat::SpawnedProcessId(copy)));
  EXPECT_TRUE(StillRunning(copy));
}


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
    if (!probe.ended || probe.exitCode != 0) GTEST_SKIP() << "needs root for a PID namespace";
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

TEST_F(OtherCopiesInNamespace, AProgramWhosePathWasCutEndsNothing) {
  // The path is cut to 259 characters right after "zqxvictim": the cut name
  // is what a process named editor-zqxvictim ends with (and contains).
  std::string folder = NewFolder();
  while (folder.size() < 249) {
    folder += "/" + std::string(std::min<size_t>(100, 249 - folder.size() - 1), 'd');
    std::filesystem::create_directory(folder);
  }
  ASSERT_EQ(folder.size() + 1 + 9, 259u);
  std::string program = folder + "/zqxvictim" + base_;
  ts::CopyFileBytes(ts::BinaryPath(), program);
  std::filesystem::permissions(program, std::filesystem::perms::owner_all);
  std::string victim = PlaceCopy("/bin/sleep", "editor-zqxvictim");
  ts::ResetLog(home_.path());
  std::string said = InNamespace(
      "\"$1\" 30 & victim=$!\n"
      "sleep 0.3\n"
      "\"$2\" registerx\n"
      "grep -q '^State:.*S' /proc/$victim/status && echo victim-alive\n"
      "kill $victim\n"
      "wait\n",
      {victim, program});
  EXPECT_NE(said.find("victim-alive"), std::string::npos) << said;
  std::vector<std::string> log = LaunchLog();
  EXPECT_NE(std::find(log.begin(), log.end(),
                      "WARNING: TerminateOtherInstance - the program's path is longer than 259 characters, "
                      "no other copy is ended"),
            log.end());
}

TEST_F(OtherCopiesInNamespace, ARootLaunchEndsRootsCopyButNotAnotherUsersThatItCouldRead) {
  // The other user's copy runs from a home of its own that it may write.
  std::string otherHome = NewFolder();
  std::filesystem::permissions(otherHome, std::filesystem::perms::all);
  ts::WriteFileBytes(otherHome + "/long.txt", ts::ReadFileBytes(script_));
  std::string theirs = PlaceCopy(ts::BinaryPath(), base_);
  std::string ours = PlaceCopy(ts::BinaryPath(), base_);
  std::string launch = PlaceCopy(ts::BinaryPath(), base_);
  std::string said = InNamespace(
      "env HOME=\"$1\" XDG_STATE_HOME=\"$1/state\" XDG_RUNTIME_DIR=\"$1\" \\\n"
      "  setpriv --reuid=65534 --regid=65534 --clear-groups \"$2\" /NOSERVER \"$1/long.txt\" >/dev/null & theirs=$!\n"
      "\"$3\" /NOSERVER \"$5\" >/dev/null & ours=$!\n"
      "sleep 0.5\n"
      "\"$4\" registerx >/dev/null\n"
      // A child that ended is a zombie until the shell waits for it: only a
      // sleeping process counts as running.
      "grep -q '^State:.*S' /proc/$theirs/status && echo theirs-alive\n"
      "grep -q '^State:.*S' /proc/$ours/status 2>/dev/null || echo ours-ended\n"
      "kill $theirs $ours 2>/dev/null\n"
      "wait\n",
      {otherHome, theirs, ours, launch, script_});
  EXPECT_NE(said.find("theirs-alive"), std::string::npos) << said;
  EXPECT_NE(said.find("ours-ended"), std::string::npos) << said;
}

}  // namespace
