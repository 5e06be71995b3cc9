#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "log/log.h"
#include "platform/files.h"
#include "platform/memory.h"
#include "script/engine.h"
#include "script/run_state.h"
#include "support/fake_clock.h"
#include "support/test_support.h"

namespace {

using testing_support::FakeClock;
using testing_support::LogMessages;
using testing_support::ReadFileBytes;
using testing_support::ScopedClock;
using testing_support::TempDir;

class EngineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ReleaseRunResources();
    LastError = 0;
    std::snprintf(LogFilePath, sizeof LogFilePath, "%s", dir.File("run.log").c_str());
  }
  void TearDown() override {
    LogFilePath[0] = '\0';
    plat::FailNthAllocation(0);
    ReleaseRunResources();
  }

  // Loads text as a provider would (length + 1 zeroed bytes), prepares and runs it.
  CommandStatus RunText(const std::string& text) {
    ScriptBuffer.text = static_cast<char*>(plat::Alloc(text.size() + 1));
    std::memset(ScriptBuffer.text, 0, text.size() + 1);
    std::memcpy(ScriptBuffer.text, text.data(), text.size());
    ScriptBuffer.length = static_cast<int32_t>(text.size());
    PrepareScriptText();
    return RunScriptText();
  }

  std::vector<std::string> RunLines() {
    std::vector<std::string> runs;
    for (const auto& m : LogMessages(ReadFileBytes(LogFilePath))) {
      if (m.rfind("Run: [", 0) == 0) runs.push_back(m.substr(6, m.size() - 7));
    }
    return runs;
  }

  std::string StatusLog() {
    return std::string(StatusLogBuffer.begin ? StatusLogBuffer.begin : "",
                       static_cast<size_t>(BufferUsed(StatusLogBuffer)));
  }

  TempDir dir;
  FakeClock clock;
  ScopedClock useClock{&clock};
};

TEST_F(EngineTest, RunsOfLineBreaksEndOneLineAndAreSkipped) {
  EXPECT_EQ(CommandStatus::OK, RunText("# a\r\n\r\n\n\r# b"));
  EXPECT_EQ((std::vector<std::string>{"# a", "# b"}), RunLines());
  EXPECT_EQ("OK\r\nOK\r\n", StatusLog());
}

TEST_F(EngineTest, TrailingBreakRunsOneMoreEmptyLineAndLeadingBreakRunsOneFirst) {
  RunText("\r\n# x\r\n");
  EXPECT_EQ((std::vector<std::string>{"", "# x", ""}), RunLines());
  EXPECT_EQ("OK\r\nOK\r\nOK\r\n", StatusLog());
}

TEST_F(EngineTest, EmptyTextRunsOneEmptyLine) {
  RunText("");
  EXPECT_EQ((std::vector<std::string>{""}), RunLines());
  EXPECT_EQ("OK\r\n", StatusLog());
}

TEST_F(EngineTest, ZeroBytesEndLinesButAreNotSkipped) {
  RunText(std::string("# a\0\0# b", 8));
  EXPECT_EQ((std::vector<std::string>{"# a", "", "# b"}), RunLines());
}

TEST_F(EngineTest, TopBitIsClearedSoHighBytesBecomeBreaksAndBlanks) {
  // 0x8D is CR, 0x8A is LF, 0xA0 a blank and 0xE3 'c' once the top bit goes.
  RunText("# one\x8D\x8A\xA0# tw\xEF");
  EXPECT_EQ((std::vector<std::string>{"# one", " # two"}), RunLines());
}

TEST_F(EngineTest, UnknownWordStopsTheScriptAfterItsRecord) {
  EXPECT_EQ(CommandStatus::UnknownCmd, RunText("wait 1\r\nsendx getversion\r\nwait 2\r\n"));
  EXPECT_EQ((std::vector<std::string>{"wait 1", "sendx getversion"}), RunLines());
  EXPECT_EQ("OK\r\nUnknownCmd\r\n", StatusLog());
  EXPECT_EQ((std::vector<uint32_t>{1}), clock.sleeps);
}

TEST_F(EngineTest, FailingLineRecordsItsErrorNumber) {
  RunText("wait\r\nwait 5");
  EXPECT_EQ("LocalError160\r\n", StatusLog());
  EXPECT_TRUE(clock.sleeps.empty());
}

TEST_F(EngineTest, DispatchIgnoresWordCaseAndSplitsTheArgument) {
  char upper[] = "WAIT 7";
  EXPECT_EQ(CommandStatus::OK, DispatchScriptLine(upper));
  char mixed[] = " \t\v\fWaIt\t  \t9  ";
  EXPECT_EQ(CommandStatus::OK, DispatchScriptLine(mixed));
  EXPECT_EQ((std::vector<uint32_t>{7, 9}), clock.sleeps);

  // A word alone, or followed only by blanks, has no argument: wait then fails with 160.
  char alone[] = "wait";
  char blanks[] = "wait   \t ";
  EXPECT_EQ(CommandStatus::LocalError, DispatchScriptLine(alone));
  LastError = 0;
  EXPECT_EQ(CommandStatus::LocalError, DispatchScriptLine(blanks));
  EXPECT_EQ(160, LastError);
}

TEST_F(EngineTest, ArgumentKeepsInnerAndTrailingBlanks) {
  char line[] = "getlocal   no such  file.bin  ";
  EXPECT_EQ(CommandStatus::LocalError, DispatchScriptLine(line));
  std::string log = ReadFileBytes(LogFilePath);
  EXPECT_NE(std::string::npos, log.find("\tGet Local File: [no such  file.bin  ]"));

  // The file is looked up as Windows looks it up: blanks and dots that end
  // its name are dropped, while every line logged keeps them.
  testing_support::WriteFileBytes(dir.File("fw  1.bin"), "image");
  for (std::string tail : {"  ", ". .", "."}) {
    std::string found = "getlocal " + dir.File("fw  1.bin") + tail;
    ReleaseRunResources();
    EXPECT_EQ(CommandStatus::OK, DispatchScriptLine(&found[0])) << "[" << tail << "]";
    EXPECT_STREQ("image", pFileRxBuffer ? pFileRxBuffer : "") << "[" << tail << "]";
  }
  log = ReadFileBytes(LogFilePath);
  EXPECT_NE(std::string::npos, log.find("\tGet Local File: [" + dir.File("fw  1.bin") + ". .]"));
  // A last name of nothing but dots keeps its meaning: ".." is a folder, no image.
  std::string parent = "getlocal " + dir.File("..");
  EXPECT_EQ(CommandStatus::LocalError, DispatchScriptLine(&parent[0]));
  EXPECT_EQ(5, LastError);

  if (plat::kPathSeparator[0] == '/') {
    // Only Linux can hold a name that ends in blanks. Windows would open the
    // name without them, so a stray copy beside the image is never taken.
    testing_support::WriteFileBytes(dir.File("fw  1.bin  "), "stray");
    std::string both = "getlocal " + dir.File("fw  1.bin  ");
    EXPECT_EQ(CommandStatus::OK, DispatchScriptLine(&both[0]));
    EXPECT_STREQ("image", pFileRxBuffer);
    std::string alone = "getlocal " + dir.File("stray  ");
    testing_support::WriteFileBytes(dir.File("stray  "), "stray");
    EXPECT_EQ(CommandStatus::LocalError, DispatchScriptLine(&alone[0]));
    EXPECT_EQ(2, LastError);
  }
}

TEST_F(EngineTest, CommentsAndBlankLinesCallNoHandler) {
  char comment[] = "   # wait 100";
  char blank[] = " \t ";
  EXPECT_EQ(CommandStatus::OK, DispatchScriptLine(comment));
  EXPECT_EQ(CommandStatus::OK, DispatchScriptLine(blank));
  EXPECT_EQ(CommandStatus::OK, DispatchScriptLine(nullptr));
  EXPECT_TRUE(clock.sleeps.empty());
}

TEST_F(EngineTest, WordsLongerThan31CharactersMatchNothing) {
  char longWord[] = "waitwaitwaitwaitwaitwaitwaitwaitwaitwait 5";
  EXPECT_EQ(CommandStatus::UnknownCmd, DispatchScriptLine(longWord));
  // Only blank and tab end the word: a vertical tab is part of it.
  char vtab[] = "wait\v5";
  EXPECT_EQ(CommandStatus::UnknownCmd, DispatchScriptLine(vtab));
  EXPECT_TRUE(clock.sleeps.empty());
}

TEST_F(EngineTest, WaitLimitsAndNonNumbers) {
  char big[] = "wait 100000";
  char negative[] = "wait -5";
  char text[] = "wait soon";
  char mixed[] = "wait 500ms";
  for (char* line : {big, negative, text, mixed}) EXPECT_EQ(CommandStatus::OK, DispatchScriptLine(line));
  EXPECT_EQ((std::vector<uint32_t>{32767, 500}), clock.sleeps);
}

TEST_F(EngineTest, GetLocalLoadsTheFileAndASecondReplacesIt) {
  testing_support::WriteFileBytes(dir.File("a.bin"), std::string("\x01\x02\xff", 3));
  testing_support::WriteFileBytes(dir.File("b.bin"), "hello");
  std::string first = "getlocal " + dir.File("a.bin");
  std::string second = "getlocal " + dir.File("b.bin");
  EXPECT_EQ(CommandStatus::OK, DispatchScriptLine(&first[0]));
  EXPECT_EQ(3, FileRxSize);
  EXPECT_EQ(std::string("\x01\x02\xff\0", 4), std::string(pFileRxBuffer, 4));
  EXPECT_EQ(CommandStatus::OK, DispatchScriptLine(&second[0]));
  EXPECT_EQ(5, FileRxSize);
  EXPECT_STREQ("hello", pFileRxBuffer);
}

TEST_F(EngineTest, GetLocalFailuresRecordTheirCodes) {
  RunText("getlocal " + dir.File("missing.bin"));
  EXPECT_EQ("LocalError2\r\n", StatusLog());
  std::vector<std::string> log = LogMessages(ReadFileBytes(LogFilePath));
  bool openLine = false, imageLine = false;
  for (const auto& m : log) {
    openLine |= m.rfind("ERROR - Failed to open file [", 0) == 0 && m.find("Error=2") != std::string::npos;
    imageLine |= m.find("ERROR - Failed to read image file [") != std::string::npos;
  }
  EXPECT_TRUE(openLine);
  EXPECT_TRUE(imageLine);
  EXPECT_EQ(nullptr, pFileRxBuffer);

  ReleaseRunResources();
  RunText("getlocal");
  EXPECT_EQ("BadUrl\r\n", StatusLog());  // no number after BadUrl, though LastError is 2
  EXPECT_EQ(2, LastError);
}

TEST_F(EngineTest, GetLocalHandsOverAWholeFileOrNothing) {
  namespace fs = std::filesystem;
  testing_support::WriteFileBytes(dir.File("good.bin"), "good");
  std::string good = "getlocal " + dir.File("good.bin");
  struct Case {
    std::string what;
    std::string path;
    int32_t code;
  };
  std::vector<Case> cases;
  // sysfs gives every attribute a size of 4096 and reads a few bytes of it:
  // to a reader just like a file that shrank after its size was taken.
  std::string sysfs = plat::kPathSeparator[0] == '/' ? "/sys/devices/system/cpu/online"
                                                     : "Z:\\sys\\devices\\system\\cpu\\online";
  std::error_code ec;
  if (fs::file_size(sysfs, ec) == 4096 && ReadFileBytes(sysfs).size() < 4096) {
    cases.push_back({"ends early", sysfs, 38});
  }
  // Sizes past 32 bits, as sparse files that take no room on the disk. Where
  // a file system would fill them in, the disk must have room to spare.
  if (fs::space(dir.path(), ec).available > (uint64_t{16} << 30)) {
    for (uint64_t size : {uint64_t{1} << 32, (uint64_t{1} << 32) + 5}) {
      std::string path = dir.File("big" + std::to_string(size) + ".bin");
      {
        std::ofstream out(path, std::ios::binary);
        out << "IMAGE";
        out.seekp(static_cast<std::streamoff>(size - 1));
        out.put('!');
      }
      ASSERT_EQ(size, fs::file_size(path));
      cases.push_back({std::to_string(size) + " bytes", path, 8});
    }
  }
  ASSERT_FALSE(cases.empty());
  for (const Case& c : cases) {
    ReleaseRunResources();
    ASSERT_EQ(CommandStatus::OK, DispatchScriptLine(&good[0]));
    ASSERT_NE(nullptr, pFileRxBuffer);
    std::remove(LogFilePath);
    EXPECT_EQ(CommandStatus::LocalError, RunText("getlocal " + c.path)) << c.what;
    EXPECT_EQ("LocalError" + std::to_string(c.code) + "\r\n", StatusLog()) << c.what;
    EXPECT_EQ(nullptr, pFileRxBuffer) << c.what;
    EXPECT_EQ(0, FileRxSize) << c.what;
    std::vector<std::string> log = LogMessages(ReadFileBytes(LogFilePath));
    std::string code = "]. Error=" + std::to_string(c.code);
    EXPECT_NE(log.end(), std::find(log.begin(), log.end(), "ERROR - Failed to read file [" + c.path + code))
        << c.what;
    EXPECT_NE(log.end(), std::find_if(log.begin(), log.end(), [&](const std::string& m) {
                return m.rfind("ERROR - Failed to read image file [" + c.path + code, 0) == 0;
              })) << c.what;
    // A size that doesn't fit is not logged by its low bits.
    if (c.code == 8) {
      EXPECT_EQ(log.end(), std::find_if(log.begin(), log.end(), [](const std::string& m) {
                  return m.rfind("\tFile size:", 0) == 0;
                })) << c.what;
    }
  }
}

TEST_F(EngineTest, StatusLogGrowsAt127FreeButNotAt128) {
  // Each "OK\r\n" record is 4 bytes. After 224 records 896 bytes are used: 128 free.
  for (int i = 0; i < 224; ++i) AppendStatusRecord(CommandStatus::OK);
  EXPECT_EQ(1024, StatusLogBuffer.capacity);
  EXPECT_EQ(128, BufferFree(StatusLogBuffer));
  AppendStatusRecord(CommandStatus::OK);  // 128 free is not fewer than 128: no growth
  EXPECT_EQ(1024, StatusLogBuffer.capacity);
  AppendStatusRecord(CommandStatus::OK);  // 124 free: grows first
  EXPECT_EQ(2048, StatusLogBuffer.capacity);
  EXPECT_EQ(226 * 4, BufferUsed(StatusLogBuffer));
}

TEST_F(EngineTest, StatusLogThatCannotGrowIsEmptiedAndTheRecordDropped) {
  AppendStatusRecord(CommandStatus::OK);
  for (int i = 0; i < 224; ++i) AppendStatusRecord(CommandStatus::OK);
  plat::FailNthAllocation(1);
  AppendStatusRecord(CommandStatus::Timeout);
  EXPECT_EQ(nullptr, StatusLogBuffer.begin);
  EXPECT_EQ(0, StatusLogBuffer.capacity);
  AppendStatusRecord(CommandStatus::OK);  // the next record starts a new buffer
  EXPECT_EQ("OK\r\n", StatusLog());
}

TEST_F(EngineTest, GrowBufferKeepsContentsAndFailureEmpties) {
  ByteBuffer b{nullptr, nullptr, 0};
  ASSERT_TRUE(GrowBuffer(&b));
  std::memcpy(b.position, "abc", 3);
  b.position += 3;
  ASSERT_TRUE(GrowBuffer(&b));
  EXPECT_EQ(2048, b.capacity);
  EXPECT_EQ(3, BufferUsed(b));
  EXPECT_EQ(0, std::memcmp(b.begin, "abc", 3));
  plat::FailNthAllocation(1);
  EXPECT_FALSE(GrowBuffer(&b));
  EXPECT_EQ(nullptr, b.begin);
  EXPECT_EQ(nullptr, b.position);
  EXPECT_EQ(0, b.capacity);
}

TEST_F(EngineTest, ReadWholeFileRefusesWhatItCannotHold) {
  testing_support::WriteFileBytes(dir.File("s.txt"), "wait 1");
  char* data = nullptr;
  int32_t size = -1;
  plat::FailNthAllocation(1);
  EXPECT_EQ(8, ReadWholeFile(dir.File("s.txt").c_str(), &data, &size));
  EXPECT_EQ(nullptr, data);
  EXPECT_EQ(-1, size);
  EXPECT_EQ(0, ReadWholeFile(dir.File("s.txt").c_str(), &data, &size));
  EXPECT_EQ(6, size);
  EXPECT_STREQ("wait 1", data);
  plat::Free(data);
}

TEST_F(EngineTest, LocalRunOfAScriptThatCannotBeReadReturnsItsCodeAndNoReport) {
  std::string folder = dir.File("folder.txt");
  ASSERT_EQ(0, plat::CreateFolderTree(folder.c_str()));
  EXPECT_EQ(5, LocalScriptRun(folder.c_str()));
  EXPECT_EQ(2, LocalScriptRun(dir.File("missing.txt").c_str()));
  std::string log = ReadFileBytes(LogFilePath);
  EXPECT_NE(std::string::npos, log.find("ERROR - Failed to open file [" + folder + "]. Error=5"));
  // This line has no line end of its own: the next line's stamp follows it.
  EXPECT_NE(std::string::npos, log.find("ERROR - Failed to read script file [" + folder + "]. Error=5["));
  EXPECT_NE(std::string::npos,
            log.find("ERROR - Failed to read script file [" + dir.File("missing.txt") + "]. Error=2"));
  EXPECT_EQ(std::string::npos, log.find("Run: ["));
  EXPECT_EQ(std::string::npos, log.find("Server Response Generated"));
}

}  // namespace
