// The real binary on the local road, run with its own log folder.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "platform/files.h"
#include "platform/spawn.h"
#include "support/test_support.h"

namespace {

using testing_support::LogMessages;
using testing_support::ReadFileBytes;
using testing_support::TempDir;
using testing_support::WriteFileBytes;

bool Contains(const std::vector<std::string>& lines, const std::string& line) {
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

class BinaryTest : public ::testing::Test {
 protected:
  void SetUp() override { testing_support::ResetLog(home.path()); }

  testing_support::RunResult RunBinary(const std::vector<std::string>& args) {
    return testing_support::Run(testing_support::BinaryPath(), args,
                                testing_support::IsolatedEnv(home.path()));
  }
  std::vector<std::string> Log() {
    return LogMessages(ReadFileBytes(testing_support::LogPathFor(home.path())));
  }
  std::string RawLog() { return ReadFileBytes(testing_support::LogPathFor(home.path())); }

  TempDir home;
  TempDir work;
};

TEST_F(BinaryTest, LocalRunEndToEnd) {
  std::string image = work.File("image.bin");
  WriteFileBytes(image, "IMAGE");
  std::string script = work.File("s.txt");
  WriteFileBytes(script, "# update\r\nwait 1\r\ngetlocal " + image + "\r\nreply-to-x\r\nwait 2\r\n");

  auto run = RunBinary({"/NOSERVER", script});
  ASSERT_TRUE(run.ended);
  EXPECT_EQ(0, run.exitCode);

  auto log = Log();
  ASSERT_FALSE(log.empty());
  EXPECT_EQ("********************* Kelvo Upgrader Started *********************", log[0]);
  EXPECT_EQ("Upgrader Build Number: [KelvoUpgrader 1.1.18710]", log[1]);
  EXPECT_EQ("USING 8KB BLOCKS TO WRITE DATA TO THE ROBOT", log[2]);
  EXPECT_TRUE(Contains(log, "Command line: [/NOSERVER " + script + "]"));
  EXPECT_TRUE(Contains(log, "\tUsing script file [" + script + "]."));
  EXPECT_TRUE(Contains(log, "Run: [getlocal " + image + "]"));
  EXPECT_TRUE(Contains(log, "Run: [reply-to-x]"));
  EXPECT_FALSE(Contains(log, "Run: [wait 2]"));
  EXPECT_TRUE(Contains(log, "There is no reply URL. Tracing out the response data."));
  EXPECT_TRUE(Contains(log, "\tServer Response Generated:"));
  EXPECT_TRUE(Contains(log, ": --K3LV0HGQHP"));
  EXPECT_TRUE(Contains(log, "UnknownCmd"));
  // The local road writes no end banner.
  EXPECT_EQ(std::string::npos, RawLog().find("Kelvo Upgrader Ended"));
}

TEST_F(BinaryTest, LocalRoadRefusals) {
  struct Case {
    std::vector<std::string> args;
    std::string expectedLine;
  };
  std::string missing = work.File("missing.txt");
  const Case cases[] = {
      {{"/NOSERVER"}, "\tERROR - Invalid command line. Script file not specified"},
      {{"/NOSERVER", "", ""}, "\tERROR - Invalid command line. Script file not specified"},
      {{"/NOSERVER", missing}, "\tERROR - Script file [" + missing + "] not found"},
      // A quoted path loses only the closing quote, the line's last character.
      {{"/NOSERVER", "\"" + missing + "\""}, "\tERROR - Script file [\"" + missing + "] not found"},
      {{"/NOSERVER", work.File(std::string(300, 'p'))},
       "\tERROR - Script file [" + work.File(std::string(300, 'p')) + "] not found"},
  };
  for (const auto& c : cases) {
    testing_support::ResetLog(home.path());
    auto run = RunBinary(c.args);
    ASSERT_TRUE(run.ended);
    EXPECT_EQ(255, run.exitCode & 0xFF) << c.expectedLine;
    auto log = Log();
    EXPECT_TRUE(Contains(log, c.expectedLine)) << c.expectedLine;
    EXPECT_TRUE(Contains(log, "\tCalled with \"No Server\" command line option."));
  }
  // The usage line follows the missing-path line.
  testing_support::ResetLog(home.path());
  RunBinary({"/NOSERVER"});
  EXPECT_TRUE(Contains(Log(), "\tUsage - KelvoUpgrader.exe /NoServer <script file path>"));
}

TEST_F(BinaryTest, LowerCaseSwitchWithBlanksAroundThePath) {
  // Each form a person may type: the switch first, in any letter case, and a
  // script whose name holds the scheme's word but no colon.
  std::string script = work.File("s.txt");
  std::string named = work.File("kelvo-update.txt");
  WriteFileBytes(script, "wait 1");
  WriteFileBytes(named, "wait 1");
  struct Case {
    std::vector<std::string> args;
    std::string used;
  };
  const Case cases[] = {
      {{"/noserver", "", "", script, ""}, script},
      {{"/NoServer", named}, named},
      {{"/NOSERVER" + script}, script},
      // The whole line in quotes, as a shortcut may pass it.
      {{"\"/NOSERVER", script + "\""}, script},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args[0]);
    testing_support::ResetLog(home.path());
    auto run = RunBinary(c.args);
    ASSERT_TRUE(run.ended);
    EXPECT_EQ(0, run.exitCode);
    auto log = Log();
    EXPECT_TRUE(Contains(log, "\tUsing script file [" + c.used + "]."));
    EXPECT_TRUE(Contains(log, "Run: [wait 1]"));
  }
}

TEST_F(BinaryTest, AFolderIsNoScriptFileOnEitherBuild) {
  // Windows can't open a folder as a file; Linux's fopen can, and must not
  // make a folder pass for a script there.
  std::string folder = work.File("folder.txt");
  plat::CreateFolderTree(folder.c_str());
  auto run = RunBinary({"/NOSERVER", folder});
  ASSERT_TRUE(run.ended);
  EXPECT_EQ(255, run.exitCode & 0xFF);
  auto log = Log();
  EXPECT_TRUE(Contains(log, "\tERROR - Script file [" + folder + "] not found"));
  EXPECT_FALSE(Contains(log, "\tUsing script file [" + folder + "]."));
}

TEST_F(BinaryTest, EmptyCommandLineEndsWithMinusOneAndTheEndBanner) {
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{}, std::vector<std::string>{"\"\""}}) {
    testing_support::ResetLog(home.path());
    auto run = RunBinary(args);
    ASSERT_TRUE(run.ended);
    EXPECT_EQ(255, run.exitCode & 0xFF);
    EXPECT_NE(std::string::npos, run.output.find("No URL passed. Can not start operation."));
    auto log = Log();
    EXPECT_TRUE(Contains(log, "ERROR - No URL passed. Cannot start operation, return -1"));
    EXPECT_TRUE(Contains(log, "************ Kelvo Upgrader Ended - ret code = -1 *****************"));
    // The end banner leaves an empty line between runs.
    EXPECT_EQ("", log.back());
  }
}

TEST_F(BinaryTest, FullLogIsBackedUpAndEmptiedAtStart) {
  std::string logPath = testing_support::LogPathFor(home.path());
  RunBinary({"/NOSERVER"});  // makes the folders
  WriteFileBytes(logPath, std::string(2097152, 'x'));
  RunBinary({"/NOSERVER"});
  auto log = Log();
  ASSERT_FALSE(log.empty());
  EXPECT_EQ("********************* Kelvo Upgrader Started *********************", log[0]);
  std::string backup = ReadFileBytes(plat::FolderOf(logPath) + plat::kPathSeparator +
                                     "Backup_KelvoUpgrader.log");
  auto backupLines = LogMessages(backup.substr(2097152));
  ASSERT_EQ(1u, backupLines.size());
  EXPECT_EQ("Log file size exceeded. Current [2097152], Limit [2097152]", backupLines[0]);

  // One byte less is left alone.
  WriteFileBytes(logPath, std::string(2097151, 'x'));
  RunBinary({"/NOSERVER"});
  EXPECT_EQ(std::string(2097151, 'x'), RawLog().substr(0, 2097151));
}

TEST_F(BinaryTest, TwoProcessesAppendingAtOnceLoseNoLine) {
  std::string script;
  for (int i = 0; i < 500; ++i) script += "# line " + std::to_string(i) + "\r\n";
  WriteFileBytes(work.File("s.txt"), script);
  // Each copy logs a "Run:" and a "Returned:" line per script line: 1,000 lines or more each.
  plat::SpawnOptions options;
  options.args = {"/NOSERVER", work.File("s.txt")};
  options.env = testing_support::IsolatedEnv(home.path());
  options.captureOutput = false;
  plat::SpawnedProcess* a = plat::StartProcess(testing_support::BinaryPath(), options);
  plat::SpawnedProcess* b = plat::StartProcess(testing_support::BinaryPath(), options);
  ASSERT_NE(nullptr, a);
  ASSERT_NE(nullptr, b);
  int codeA = -2, codeB = -2;
  EXPECT_TRUE(plat::WaitProcess(a, 120000, &codeA));
  EXPECT_TRUE(plat::WaitProcess(b, 120000, &codeB));
  plat::ReleaseProcess(a);
  plat::ReleaseProcess(b);
  EXPECT_EQ(0, codeA);
  EXPECT_EQ(0, codeB);
  auto log = Log();
  long runs = std::count_if(log.begin(), log.end(),
                            [](const std::string& m) { return m.rfind("Run: [# line ", 0) == 0; });
  long returned = std::count(log.begin(), log.end(), std::string("\tReturned: [OK]"));
  EXPECT_EQ(1000, runs);
  EXPECT_EQ(1002, returned);  // each script also ends with an empty line after its last break
}

}  // namespace
