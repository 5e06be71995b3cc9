#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "log/log.h"
#include "platform/clock.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/process.h"
#include "platform/registry.h"
#include "platform/spawn.h"
#include "support/fake_clock.h"
#include "support/test_support.h"

namespace {

using testing_support::FakeClock;
using testing_support::ReadFileBytes;
using testing_support::ScopedClock;
using testing_support::TempDir;
using testing_support::WriteFileBytes;

// What "\n" becomes in the file: the platform's text-mode line end.
std::string LineEnd() { return plat::kPathSeparator[0] == '\\' ? "\r\n" : "\n"; }

class LogTest : public ::testing::Test {
 protected:
  void SetUp() override { UseLog(dir.File("KelvoUpgrader.log")); }
  void TearDown() override { LogFilePath[0] = '\0'; }
  void UseLog(const std::string& path) {
    std::snprintf(LogFilePath, sizeof LogFilePath, "%s", path.c_str());
  }
  std::string Log() { return ReadFileBytes(LogFilePath); }

  TempDir dir;
  FakeClock clock;
  ScopedClock useClock{&clock};
};

TEST_F(LogTest, StampPadsOnlyMinutesAndSeconds) {
  clock.local = {3, 7, 9, 5, 2};
  LogWrite("first %d\n", 1);
  clock.local = {12, 31, 23, 59, 59};
  LogWrite("second\n");
  clock.local = {1, 1, 0, 0, 0};
  LogWrite("third %s", "no end");
  LogWrite("fourth\n");
  EXPECT_EQ("[3/7 9:05:02] first 1" + LineEnd() + "[12/31 23:59:59] second" + LineEnd() +
                "[1/1 0:00:00] third no end[1/1 0:00:00] fourth" + LineEnd(),
            Log());
}

TEST_F(LogTest, CallersLastErrorSurvivesTheLine) {
  // A failing call is logged before its code is read: the log must not replace it.
  plat::SetLastErrorCode(1167);
  LogWrite("ERROR: something failed\n");
  EXPECT_EQ(1167, plat::LastErrorCode());
}

TEST_F(LogTest, NothingIsWrittenWithoutAPath) {
  LogFilePath[0] = '\0';
  LogWrite("lost\n");
  EXPECT_FALSE(testing_support::FileExists(dir.File("KelvoUpgrader.log")));
}

TEST_F(LogTest, LongMessageIsCutTo4095Characters) {
  std::string message(5000, 'm');
  LogWrite("%s", message.c_str());
  std::string stored = Log();
  EXPECT_EQ(std::string("[3/7 9:05:02] ").size() + 4095, stored.size());
  EXPECT_EQ(std::string(4095, 'm'), stored.substr(stored.size() - 4095));
}

TEST_F(LogTest, SizeLimitIsReachedAtExactly2MiB) {
  WriteFileBytes(LogFilePath, std::string(2097151, 'x'));
  EXPECT_FALSE(LogFileSizeExceeded());
  EXPECT_EQ(2097151u, Log().size());

  WriteFileBytes(LogFilePath, std::string(2097152, 'x'));
  EXPECT_TRUE(LogFileSizeExceeded());
  std::string log = Log();
  EXPECT_EQ("[3/7 9:05:02] Log file size exceeded. Current [2097152], Limit [2097152]" + LineEnd(),
            log.substr(2097152));
}

// Another program holds the log longer than a line waits: the line is kept,
// as are the lines after it (which no longer wait), and all of them go in, in
// their order, ahead of the first line that can be written again.
TEST_F(LogTest, LinesThatMeetTheLogHeldTooLongAreKeptNotLost) {
  LogWrite("before\n");
  plat::HeldFile* other = plat::HoldFile(LogFilePath, false, 0);
  ASSERT_NE(nullptr, other);
  LogWrite("first\n");
  LogWrite("second\n");
  plat::ReleaseHeldFile(other);
  EXPECT_EQ("[3/7 9:05:02] before" + LineEnd(), Log());
  LogWrite("third\n");
  EXPECT_EQ("[3/7 9:05:02] before" + LineEnd() + "[3/7 9:05:02] first" + LineEnd() +
                "[3/7 9:05:02] second" + LineEnd() + "[3/7 9:05:02] third" + LineEnd(),
            Log());
}

TEST_F(LogTest, MissingLogIsBelowTheLimit) { EXPECT_FALSE(LogFileSizeExceeded()); }

TEST_F(LogTest, BackupReplacesTheOldOneBesideTheLog) {
  WriteFileBytes(dir.File("Backup_KelvoUpgrader.log"), "old backup");
  WriteFileBytes(LogFilePath, "current log");
  EXPECT_TRUE(BackupCurrentLogFile());
  EXPECT_EQ("current log", ReadFileBytes(dir.File("Backup_KelvoUpgrader.log")));
  EXPECT_EQ("current log", Log());
}

TEST_F(LogTest, FailedBackupLogsItsCodeInHex) {
  // A folder where the backup should go makes the copy fail.
  std::string blocker = dir.File("Backup_KelvoUpgrader.log");
  ASSERT_EQ(0, plat::CreateFolderTree(blocker.c_str()));
  WriteFileBytes(LogFilePath, "kept\n");
  EXPECT_FALSE(BackupCurrentLogFile());
  std::string log = Log();
  EXPECT_EQ(0u, log.find("kept\n"));
  EXPECT_NE(std::string::npos,
            log.find("ERROR: BackupCurrentLogFile - failed to backup log file. GetLastError = 0x"));
}

TEST_F(LogTest, FolderTreeIsCreatedAndAnExistingOneCounts) {
  std::string deep = dir.File("a") + plat::kPathSeparator + "b" + plat::kPathSeparator + "c";
  EXPECT_EQ(0, plat::CreateFolderTree(deep.c_str()));
  EXPECT_EQ(183, plat::CreateFolderTree(deep.c_str()));
}

// The real program in a home of its own. Modes are read back under the umask
// a desktop session usually has and under none at all, so they are the
// program's own and not the caller's luck.
TEST(LogPrivacyTest, TheLogIsTheUsersAloneAndARelativeStateHomeIsIgnored) {
  if (plat::kPathSeparator[0] == '\\') GTEST_SKIP() << "file modes are a Linux matter";
  namespace fs = std::filesystem;
  auto mode = [](const std::string& path) {
    return static_cast<int>(fs::status(path).permissions() & fs::perms::mask);
  };
  auto run = [](const std::string& umask, const std::string& cwd,
                const std::vector<std::pair<std::string, std::string>>& env) {
    auto result = testing_support::Run(
        "/bin/sh", {"-c", "umask " + umask + " && cd \"$1\" && exec \"$0\" /NOSERVER",
                    testing_support::BinaryPath(), cwd},
        env);
    EXPECT_TRUE(result.ended);
  };
  for (const char* umask : {"022", "000"}) {
    TempDir home;
    auto env = testing_support::IsolatedEnv(home.path());
    std::string state = home.File("state");
    fs::create_directory(state);
    fs::permissions(state, fs::perms(0755));
    run(umask, home.path(), env);
    std::string logs = state + "/KelvoUpgrader/Logs";
    EXPECT_EQ(0755, mode(state)) << "a folder that was there keeps its mode";
    EXPECT_EQ(0700, mode(state + "/KelvoUpgrader")) << umask;
    EXPECT_EQ(0700, mode(logs)) << umask;
    EXPECT_EQ(0600, mode(logs + "/KelvoUpgrader.log")) << umask;
    WriteFileBytes(logs + "/KelvoUpgrader.log", std::string(kLogSizeLimit, 'x'));
    run(umask, home.path(), env);
    EXPECT_EQ(0600, mode(logs + "/Backup_KelvoUpgrader.log")) << umask;
    EXPECT_EQ(0600, mode(logs + "/KelvoUpgrader.log")) << umask;
  }

  // A relative XDG_STATE_HOME would put the log wherever the program was
  // started; it is ignored for the folder under HOME.
  TempDir home;
  TempDir work;
  auto env = testing_support::IsolatedEnv(home.path());
  env.push_back({"XDG_STATE_HOME", "state"});
  run("022", work.path(), env);
  EXPECT_TRUE(testing_support::FileExists(home.File(".local/state/KelvoUpgrader/Logs/KelvoUpgrader.log")));
  EXPECT_FALSE(testing_support::FileExists(work.File("state")));
}

// Copies started together on a full log: whichever of them rotates it, the
// backup holds the whole old log and then the size line, and no copy copies
// the freshly emptied log over it, whatever the others do at that moment.
TEST(LogRotationTest, CopiesStartingTogetherOnAFullLogKeepTheWholeOldLogInTheBackup) {
  std::string binary = testing_support::BinaryPath();
  ASSERT_FALSE(binary.empty()) << "KELVO_BINARY is not set";
  TempDir home;
  auto env = testing_support::IsolatedEnv(home.path());
  std::string log = testing_support::LogPathFor(home.path());
  std::string backup = plat::FolderOf(log) + plat::kPathSeparator + "Backup_KelvoUpgrader.log";
  constexpr int kCopies = 12;
  constexpr int kRounds = 5;
  // Well past the limit: the longer a copy takes, the more often the copies
  // meet in it (under wine they start some tens of milliseconds apart).
  constexpr size_t kOldLogSize = 8 * kLogSizeLimit;
  for (int round = 0; round < kRounds; ++round) {
    SCOPED_TRACE(round);
    testing_support::ResetLog(home.path());
    // A first run makes the folders; then the log is filled with known lines.
    ASSERT_TRUE(testing_support::Run(binary, {"/NOSERVER"}, env).ended);
    std::string old;
    for (int line = 0; old.size() < kOldLogSize; ++line) {
      char text[80];
      std::snprintf(text, sizeof text, "round %d, line %07d of the old log%s", round, line,
                    LineEnd().c_str());
      old += text;
    }
    WriteFileBytes(log, old);
    plat::SpawnOptions options;
    options.args = {"/NOSERVER", "missing-script.txt"};
    options.env = env;
    std::vector<plat::SpawnedProcess*> copies;
    for (int i = 0; i < kCopies; ++i) copies.push_back(plat::StartProcess(binary, options));
    for (plat::SpawnedProcess* copy : copies) {
      int code = 0;
      EXPECT_TRUE(copy && plat::WaitProcess(copy, 60000, &code));
      plat::ReleaseProcess(copy);
    }
    std::string saved = ReadFileBytes(backup);
    // Compared whole but not printed: a failure would print megabytes.
    ASSERT_TRUE(saved.size() >= old.size() && saved.compare(0, old.size(), old) == 0)
        << "backup of " << saved.size() << " bytes instead of " << old.size() << " and a line";
    EXPECT_EQ(testing_support::LogMessages(saved.substr(old.size())),
              std::vector<std::string>{"Log file size exceeded. Current [" +
                                       std::to_string(old.size()) + "], Limit [2097152]"});
    std::string fresh = ReadFileBytes(log);
    EXPECT_EQ(fresh.find("of the old log"), std::string::npos) << "the log was emptied";
    EXPECT_EQ(fresh.find("ERROR: BackupCurrentLogFile"), std::string::npos);
  }
}

// Four copies write a few thousand lines each while a fifth rotates the log
// under them: every line lands whole in the log or in its backup, however
// long the rotation or another copy's append keeps a line waiting.
TEST(LogRotationTest, NoLineIsLostWhileCopiesAppendAndAnotherRotates) {
  std::string binary = testing_support::BinaryPath();
  ASSERT_FALSE(binary.empty()) << "KELVO_BINARY is not set";
  TempDir home, work;
  auto env = testing_support::IsolatedEnv(home.path());
  std::string log = testing_support::LogPathFor(home.path());
  std::string backup = plat::FolderOf(log) + plat::kPathSeparator + "Backup_KelvoUpgrader.log";
  constexpr int kCopies = 4;
  constexpr int kScriptLines = 2000;  // a "Run:" and a "Returned:" line each
  testing_support::ResetLog(home.path());
  ASSERT_TRUE(testing_support::Run(binary, {"/NOSERVER"}, env).ended);  // makes the folders
  // Just below the limit: the copies push it over within their first lines.
  std::string old;
  while (old.size() < kLogSizeLimit - 16384) old += "a line of the old log" + LineEnd();
  WriteFileBytes(log, old);
  std::string script;
  for (int i = 0; i < kScriptLines; ++i) script += "# line " + std::to_string(i) + "\r\n";
  WriteFileBytes(work.File("s.txt"), script);

  plat::SpawnOptions options;
  options.args = {"/NOSERVER", work.File("s.txt")};
  options.env = env;
  options.captureOutput = false;
  std::vector<plat::SpawnedProcess*> copies;
  for (int i = 0; i < kCopies; ++i) copies.push_back(plat::StartProcess(binary, options));
  for (plat::SpawnedProcess* copy : copies) ASSERT_NE(nullptr, copy);
  // The rotating copy starts once the log has reached the limit.
  uint32_t size = 0;
  for (int polls = 0; polls < 200000 && !(plat::GetFileSizeByPath(log.c_str(), &size) &&
                                          size >= kLogSizeLimit);
       ++polls) {
    plat::SystemClock().Sleep(1);
  }
  ASSERT_GE(size, kLogSizeLimit);
  auto rotation = testing_support::Run(binary, {"/NOSERVER", work.File("missing.txt")}, env);
  EXPECT_TRUE(rotation.ended);
  for (plat::SpawnedProcess* copy : copies) {
    int code = -2;
    EXPECT_TRUE(plat::WaitProcess(copy, 300000, &code));
    EXPECT_EQ(0, code);
    plat::ReleaseProcess(copy);
  }

  // Counted wherever they stand: each copy's report trace is longer than a
  // message may be, so it is cut before its line end, and whatever line
  // comes next in the file, another copy's too, runs on after it.
  std::string before = ReadFileBytes(backup), after = ReadFileBytes(log);
  std::vector<int> runs(kScriptLines, 0);
  long returned = 0, runsBefore = 0, runsAfter = 0;
  for (const std::string* text : {&before, &after}) {
    const std::string run = "] Run: [# line ";
    for (size_t at = text->find(run); at != std::string::npos; at = text->find(run, at + 1)) {
      int n = std::atoi(text->c_str() + at + run.size());
      ASSERT_TRUE(n >= 0 && n < kScriptLines) << text->substr(at, 40);
      ++runs[n];
      ++(text == &before ? runsBefore : runsAfter);
    }
    const std::string ok = "] \tReturned: [OK]" + LineEnd();
    for (size_t at = text->find(ok); at != std::string::npos; at = text->find(ok, at + 1)) {
      ++returned;
    }
  }
  // The rotation came in the middle: the copies wrote on both sides of it.
  EXPECT_GT(runsBefore, 0);
  EXPECT_GT(runsAfter, 0);
  for (int i = 0; i < kScriptLines; ++i) EXPECT_EQ(kCopies, runs[i]) << "script line " << i;
  EXPECT_EQ(kCopies * (kScriptLines + 1), returned);  // and one for each script's last break
  std::vector<std::string> backupLines = testing_support::LogMessages(before);
  ASSERT_FALSE(backupLines.empty());
  // The rotation's own line is the backup's last. Like any line, it runs on
  // after a message another copy had cut before its line end, as in
  // "...OK[12/8 7:01:06] Log file size exceeded. Current [...".
  const std::string& last = backupLines.back();
  size_t at = last.find("Log file size exceeded. Current [");
  EXPECT_TRUE(at == 0 || (at != std::string::npos && at >= 2 && last.compare(at - 2, 2, "] ") == 0)) << last;
}

namespace fs = std::filesystem;

bool OnWindows() { return plat::kPathSeparator[0] == '\\'; }

// Points the user's local application-data folder at folder for the scope:
// XDG_STATE_HOME on Linux; on Windows the user's shell-folder setting, which
// SHGetFolderPath reads back (under wine, in the test's own prefix).
class ScopedLocalAppData {
 public:
  explicit ScopedLocalAppData(const std::string& folder) {
    if (!OnWindows()) {
      env_ = std::make_unique<testing_support::ScopedEnv>("XDG_STATE_HOME", folder);
      return;
    }
    plat::Registry& reg = plat::SystemRegistry();
    EXPECT_EQ(reg.CreateKey(kHkeyCurrentUser, kShellFolders, &key_), 0);
    char old[1024];
    uint32_t size = sizeof old;
    had_ = reg.QueryValue(key_, kLocalAppData, &oldType_, old, &size) == 0;
    if (had_) old_.assign(old, size);
    EXPECT_EQ(reg.SetValue(key_, kLocalAppData, kRegExpandSz, folder.c_str(),
                           static_cast<uint32_t>(folder.size() + 1)),
              0);
  }
  ~ScopedLocalAppData() {
    if (!key_) return;
    plat::Registry& reg = plat::SystemRegistry();
    if (had_) {
      reg.SetValue(key_, kLocalAppData, oldType_, old_.data(), static_cast<uint32_t>(old_.size()));
    } else {
      reg.DeleteValue(key_, kLocalAppData);
    }
    reg.CloseKey(key_);
  }

 private:
  static constexpr plat::RegKey kHkeyCurrentUser = 0x80000001u;
  static constexpr uint32_t kRegExpandSz = 2;
  static constexpr const char* kShellFolders =
      "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders";
  static constexpr const char* kLocalAppData = "Local AppData";
  std::unique_ptr<testing_support::ScopedEnv> env_;
  plat::RegKey key_ = 0;
  bool had_ = false;
  uint32_t oldType_ = 0;
  std::string old_;
};

// Every name under root, with its kind.
std::vector<std::string> TreeOf(const std::string& root) {
  std::vector<std::string> names;
  std::error_code ec;
  for (fs::recursive_directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec)) {
    names.push_back(it->path().string() + (it->is_directory() ? "/" : ""));
  }
  return names;
}

// A folder of exactly length characters under base, made of names the file
// system takes (at most 200 characters each).
std::string FolderOfLength(const std::string& base, size_t length) {
  std::string folder = base;
  while (folder.size() < length) {
    size_t room = length - folder.size() - 1;
    // Never leave a single character for a last name of its own.
    size_t name = room > 200 ? (room - 200 < 2 ? 150 : 200) : room;
    folder += plat::kPathSeparator + std::string(name, 'd');
  }
  return folder;
}

// The log's path and its backup's must fit 259 characters before anything is
// made: a log that doesn't fit is no log at all, with no folder of a cut
// name left behind. The backup's name is the longer, so it decides.
TEST(LogPlaceTest, APathThatDoesntFitGivesNoLogAndMakesNothing) {
  const size_t tail = std::string("/KelvoUpgrader/Logs/Backup_KelvoUpgrader.log").size();
  struct Case {
    size_t length;  // of the application-data folder
    bool logged;
  };
  std::vector<Case> cases = {{259 - tail, true}, {260 - tail, false}, {250, false}};
  if (!OnWindows()) cases.push_back({3000, false});  // Windows paths end at 259 anyway
  for (const Case& c : cases) {
    SCOPED_TRACE(c.length);
    TempDir root;
    std::string appData = FolderOfLength(root.path(), c.length);
    ASSERT_EQ(appData.size(), c.length);
    std::error_code ec;
    fs::create_directories(appData, ec);
    ASSERT_FALSE(ec) << ec.message();
    std::vector<std::string> before = TreeOf(root.path());
    {
      ScopedLocalAppData place(appData);
      SetUpLog();
      LogWrite("a line\n");
    }
    std::string log = appData + plat::kPathSeparator + "KelvoUpgrader" + plat::kPathSeparator +
                      "Logs" + plat::kPathSeparator + "KelvoUpgrader.log";
    if (c.logged) {
      EXPECT_EQ(std::string(LogFilePath), log);
      EXPECT_NE(ReadFileBytes(log).find("a line"), std::string::npos);
    } else {
      EXPECT_EQ(std::string(LogFilePath), "");
      EXPECT_EQ(TreeOf(root.path()), before);
    }
    LogFilePath[0] = '\0';
  }
}

// A link someone placed at one of the log's names (seen with a root run under
// a user's HOME) is never written through: the program writes a file of its
// own in its place, or nothing, and what the link points at stays as it was.
TEST(LogPlaceTest, ALinkAtTheLogsNamesIsNeverWrittenThrough) {
  if (OnWindows()) GTEST_SKIP() << "links at these names are a Linux matter";
  std::string full;
  while (full.size() < kLogSizeLimit + 100) full += "a line of someone else's file\n";
  const std::string copyName =
      "~copy-" + std::to_string(plat::SystemProcesses().CurrentProcessId()) + ".tmp";
  struct Case {
    std::string link;  // name in the Logs folder
    bool rotated;      // the log itself is there, full, and is rotated
  };
  for (const Case& c : std::vector<Case>{{"KelvoUpgrader.log", false},
                                         {"Backup_KelvoUpgrader.log", true},
                                         {copyName, true}}) {
    SCOPED_TRACE(c.link);
    TempDir home;
    std::string logs = home.File("state/KelvoUpgrader/Logs");
    fs::create_directories(logs);
    std::string outside = home.File("outside");
    WriteFileBytes(outside, full);
    if (c.rotated) WriteFileBytes(logs + "/KelvoUpgrader.log", full);
    fs::create_symlink(outside, logs + "/" + c.link);
    {
      ScopedLocalAppData place(home.File("state"));
      SetUpLog();
      LogWrite("a line of ours\n");
      LogFilePath[0] = '\0';
    }
    EXPECT_EQ(ReadFileBytes(outside), full);
    if (c.rotated) {
      std::string backup = logs + "/Backup_KelvoUpgrader.log";
      EXPECT_FALSE(fs::is_symlink(backup));
      EXPECT_EQ(ReadFileBytes(backup).substr(0, full.size()), full);
      EXPECT_EQ(testing_support::LogMessages(ReadFileBytes(logs + "/KelvoUpgrader.log")),
                std::vector<std::string>{"a line of ours"});
    }
  }
}

}  // namespace
