#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "log/log.h"
#include "platform/errors.h"
#include "platform/files.h"
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

}  // namespace
