// The robot link over a real pseudo-terminal with the emulated robot on the
// other end: the bytes on the wire, answers as they really arrive, the port
// held exclusively, and a robot that hangs up; and the Windows build under
// wine against the same robot. Skipped where the system has no
// pseudo-terminals.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <memory>

#include "robot_emulator/memory_registry.h"
#include "robot_emulator/robot_emulator.h"
#include "robot_fakes.h"
#include "script/robot_commands.h"

namespace robot_test {
namespace {

using Lines = std::vector<std::string>;

// A robot that sends more, 20 ms after an answer: the tail of that answer, or
// an unsolicited note. A read keeps what arrives within its 100 ms window, so
// both belong to the answer they follow, not to the next command's.
robot_emulator::Options LateBytesRobot() {
  robot_emulator::Options options;
  options.answers = {{"ask", "ANSWER"}, {"first", "ONE"}, {"second", "TWO"}};
  options.late = {{"ask", "TAIL\r\n"}, {"first", "NOTE\x1A"}};
  options.lateMs = 20;
  return options;
}

const struct {
  Lines commands;
  std::string robotData;
} kLateBytesConversations[] = {
    {{"ask"}, "ANSWER\x1ATAIL\r\n"},
    {{"first", "second"}, "ONE\x1ANOTE\x1ATWO\x1A"},
};

class PtyTest : public RobotLinkTest {
 protected:
  void SetUp() override {
    std::string name, path;
    plat::PseudoTerminal* probe = plat::OpenPseudoTerminal(&name, &path);
    if (!probe) GTEST_SKIP() << "no pseudo-terminals here";
    plat::ClosePseudoTerminal(probe);
  }

  void TearDown() override {
    ReleaseRunResources();
    emulator.reset();
    plat::SetRegistry(nullptr);
    LogFilePath[0] = '\0';
  }

  // Starts the robot and records it in the registry as a robot of the first
  // identity; discovery hands its name over upper-cased (PTS/3), as it does
  // with every port name.
  void StartRobot(const robot_emulator::Options& options) {
    emulator.reset(new robot_emulator::Emulator(options));
    ASSERT_TRUE(emulator->Start());
    std::snprintf(LogFilePath, sizeof LogFilePath, "%s", dir.File("test.log").c_str());
    registry.AddSerialPort(emulator->portName());
    registry.AddUsbInstance(kMakerUsbVendorId, kRobotUsbProductId, kRobotUsbInterface, "R1",
                            emulator->portName());
    plat::SetRegistry(&registry);
  }

  robot_emulator::MemoryRegistry registry;
  std::unique_ptr<robot_emulator::Emulator> emulator;
};

TEST_F(PtyTest, AnswerWithBytesAfterTheEndByteIsKeptWholeAndZeroBytesAreDropped) {
  robot_emulator::Options options;
  options.answers["getversion"] = std::string("KR\0 1.2\0.3", 10);
  options.afterEnd = "\r\ntrailer";
  StartRobot(options);
  EXPECT_EQ(doSend("send getversion", "getversion"), CommandStatus::OK);
  EXPECT_EQ(RobotData(), "KR 1.2.3\x1A\r\ntrailer");
  EXPECT_EQ(emulator->Received(), "getversion\r");
  EXPECT_TRUE(RobotPortIsOpen());
}

TEST_F(PtyTest, BytesSentWithinTheReadWindowBelongToThatAnswer) {
  StartRobot(LateBytesRobot());
  Lines sent;
  for (const auto& c : kLateBytesConversations) {
    SCOPED_TRACE(c.commands[0]);
    for (const std::string& command : c.commands) {
      auto start = std::chrono::steady_clock::now();
      EXPECT_EQ(doSend(("send " + command).c_str(), command.c_str()), CommandStatus::OK);
      auto took = std::chrono::steady_clock::now() - start;
      EXPECT_GE(std::chrono::duration_cast<std::chrono::milliseconds>(took).count(), 95);
      sent.push_back(command);
    }
    EXPECT_EQ(RobotData(), c.robotData);
    EXPECT_EQ(emulator->Commands(), sent);
    ReleaseRunResources();
  }
}

// The same conversations with the Windows build under wine, whose COM5 is
// this pseudo-terminal (wine maps ports listed under its Ports key), found
// through the registry of a wine prefix of the test's own. The report's
// Robot part in the log must hold what the Linux build collects.
TEST_F(PtyTest, WindowsBuildUnderWineCollectsTheSameAnswers) {
  using testing_support::EnvOr;
  using testing_support::FileExists;
  std::string source = EnvOr("KELVO_SOURCE_DIR", ".");
  std::string exe = EnvOr("KELVO_WINDOWS_BINARY", source + "/build/windows/KelvoUpgrader.exe");
  if (!FileExists("/usr/bin/wine") || !FileExists(exe)) GTEST_SKIP() << "no wine or no Windows build at " << exe;
  StartRobot(LateBytesRobot());
  std::string wineRun = source + "/cmake/wine-run.sh";
  std::string prefix = dir.File("wine");
  auto env = testing_support::IsolatedEnv(dir.File("home"));
  env.insert(env.end(), {{"WINEPREFIX", prefix},
                         {"WINEDEBUG", "-all"},
                         {"WINEDLLOVERRIDES", "mscoree,mshtml=;winemenubuilder.exe=d"}});
  auto onZ = [](std::string path) {
    for (char& c : path) c = c == '/' ? '\\' : c;
    return "Z:" + path;
  };
  struct EndWine {
    std::vector<std::pair<std::string, std::string>> env;
    ~EndWine() { testing_support::Run("/usr/bin/wineserver", {"-k"}, env, 30000); }
  } endWine{env};

  auto prepared = testing_support::Run(wineRun, {"--prepare"}, env, 180000);
  ASSERT_TRUE(prepared.ended && prepared.exitCode == 0) << prepared.output;
  std::string instance = "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\USB\\" +
                         robot_emulator::MemoryRegistry::UsbDeviceKey(kMakerUsbVendorId, kRobotUsbProductId,
                                                                      kRobotUsbInterface) +
                         "\\R1";
  testing_support::WriteFileBytes(dir.File("robot.reg"),
                                  "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\Wine\\Ports]\r\n\"COM5\"=\"" +
                                      emulator->devicePath() + "\"\r\n\r\n[" + instance +
                                      "]\r\n\"FriendlyName\"=\"Robot (COM5)\"\r\n\r\n[" + instance +
                                      "\\Device Parameters]\r\n\"PortName\"=\"COM5\"\r\n");
  auto imported = testing_support::Run(wineRun, {"regedit", "/S", onZ(dir.File("robot.reg"))}, env, 60000);
  ASSERT_TRUE(imported.ended && imported.exitCode == 0) << imported.output;
  // Wine makes its ports from that key when it starts.
  testing_support::Run("/usr/bin/wineserver", {"-k"}, env, 30000);

  Lines sent;
  for (const auto& c : kLateBytesConversations) {
    SCOPED_TRACE(c.commands[0]);
    std::string script;
    for (const std::string& command : c.commands) script += "send " + command + "\n";
    testing_support::WriteFileBytes(dir.File("script.txt"), script);
    auto logPath = [&prefix] {
      for (const auto& user : std::filesystem::directory_iterator(prefix + "/drive_c/users")) {
        std::string path = user.path().string() + "/AppData/Local/KelvoUpgrader/Logs/KelvoUpgrader.log";
        if (FileExists(path)) return path;
      }
      return std::string();
    };
    if (!logPath().empty()) std::remove(logPath().c_str());
    auto run = testing_support::Run(wineRun, {exe, "/NOSERVER", onZ(dir.File("script.txt"))}, env, 60000);
    ASSERT_TRUE(run.ended) << run.output;
    std::string log = testing_support::ReadFileBytes(logPath());
    // The log is written in text mode: every line end it was given became CR LF.
    std::string text;
    for (size_t i = 0; i < log.size(); ++i) {
      if (!(log[i] == '\r' && i + 1 < log.size() && log[i + 1] == '\n')) text += log[i];
    }
    std::string part = "name=\"Robot\"\r\nContent-Type: text/plain\r\nContent-Transfer-Encoding: binary\r\n"
                       "Content-Length: " + std::to_string(c.robotData.size()) + "\r\n\r\n";
    size_t at = text.find(part);
    ASSERT_NE(at, std::string::npos) << text;
    EXPECT_EQ(text.substr(at + part.size(), c.robotData.size()), c.robotData);
    sent.insert(sent.end(), c.commands.begin(), c.commands.end());
    EXPECT_EQ(emulator->Commands(), sent);
  }
}

TEST_F(PtyTest, AnswerDrippedSlowerThanTheReadTimeOutArrivesWhole) {
  robot_emulator::Options options;
  options.answers["status"] = "ok!";
  options.dripMs = 150;
  StartRobot(options);
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(doSend("send status", "status"), CommandStatus::OK);
  EXPECT_EQ(RobotData(), "ok!\x1A");
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(450));
}

TEST_F(PtyTest, BufferGrowsOnlyWhen128BytesOrFewerAreLeft) {
  robot_emulator::Options options;
  options.answers["a"] = std::string(1024 - 129 - 1, 'a');  // 895 bytes with the end byte
  options.answers["b"] = std::string(1024 - 128 - 1, 'b');  // 896
  StartRobot(options);
  EXPECT_EQ(doSend("send a", "a"), CommandStatus::OK);
  EXPECT_EQ(RobotDataBuffer.capacity, 1024);
  ReleaseBuffer(&RobotDataBuffer);
  EXPECT_EQ(doSend("send b", "b"), CommandStatus::OK);
  EXPECT_EQ(RobotDataBuffer.capacity, 2048);
  EXPECT_EQ(RobotData(), std::string(895, 'b') + "\x1A");
}

TEST_F(PtyTest, SendWithoutTextSendsABareCarriageReturn) {
  StartRobot(robot_emulator::Options());
  EXPECT_EQ(doSend("send", nullptr), CommandStatus::OK);
  EXPECT_EQ(emulator->Received(), "\r");
  EXPECT_EQ(RobotData(), "OK\x1A");
}

TEST_F(PtyTest, SendNoWaitClosesThePortAndTheNextSendOpensItAgain) {
  robot_emulator::Options options;
  options.unanswered.insert("sleep");
  StartRobot(options);
  EXPECT_EQ(doSendNoWait("send-nowait sleep", "sleep"), CommandStatus::OK);
  EXPECT_FALSE(RobotPortIsOpen());
  ASSERT_TRUE(emulator->WaitForCommands(1, 2000));
  EXPECT_EQ(doSend("send wake", "wake"), CommandStatus::OK);
  EXPECT_EQ(emulator->Commands(), (Lines{"sleep", "wake"}));
  EXPECT_EQ(RobotData(), "OK\x1A");
}

TEST_F(PtyTest, PortIsHeldExclusivelyWhileOpen) {
  StartRobot(robot_emulator::Options());
  plat::SerialHandle first = OpenComPort(emulator->portName().c_str());
  ASSERT_NE(first, plat::kInvalidSerial);
  EXPECT_EQ(OpenComPort(emulator->portName().c_str()), plat::kInvalidSerial);
  EXPECT_EQ(plat::LastErrorCode(), 5);
  plat::serial().Close(first);
  plat::SerialHandle again = OpenComPort(emulator->portName().c_str());
  EXPECT_NE(again, plat::kInvalidSerial);
  plat::serial().Close(again);
  EXPECT_EQ(OpenComPort("no-such-tty"), plat::kInvalidSerial);
  EXPECT_EQ(OpenComPort("../etc/passwd"), plat::kInvalidSerial);
}

TEST_F(PtyTest, UploadPutsTheExactBytesOnTheWire) {
  StartRobot(robot_emulator::Options());
  std::string image(100, '\0');
  for (int i = 0; i < 100; ++i) image[i] = static_cast<char>(i * 37 + 11);
  SetImage(image);
  EXPECT_EQ(doUpload("upload code reboot", "code reboot"), CommandStatus::OK);
  ASSERT_TRUE(emulator->WaitForUploads(1, 2000));
  robot_emulator::UploadRecord upload = emulator->Uploads()[0];
  EXPECT_EQ(upload.line, "Upload code reboot Size 104\r");
  EXPECT_EQ(upload.received, 104);
  EXPECT_EQ(upload.image, image);
  EXPECT_TRUE(upload.sumMatches);
  EXPECT_EQ(emulator->Received().size(), 28u + 104u);
  // A rebooting robot's port is closed without reading an answer.
  EXPECT_EQ(RobotData(), "\x05\x06");
  EXPECT_FALSE(RobotPortIsOpen());
}

TEST_F(PtyTest, ChecksumAndEmptyImageOnTheWire) {
  StartRobot(robot_emulator::Options());
  SetImage(std::string("\x01\x02\xFF", 3));
  EXPECT_EQ(doUpload("upload code", "code"), CommandStatus::OK);
  SetImage("");
  EXPECT_EQ(doUpload("upload", nullptr), CommandStatus::OK);
  EXPECT_EQ(emulator->Received(), std::string("Upload code Size 7\r\x01\x02\xFF\x02\x01\x00\x00"
                                               "Upload  Size 4\r\x00\x00\x00\x00",
                                               26 + 19));
  // Without reboot the answer after the ACK is read.
  EXPECT_EQ(RobotData(), "\x05\x06Upload complete\x1A\x05\x06Upload complete\x1A");
  Lines log = Log();
  EXPECT_NE(std::find(log.begin(), log.end(), "Writing checksum = 258"), log.end());
}

TEST_F(PtyTest, EchoBeforeEnqIsCollected) {
  robot_emulator::Options options;
  options.echo = true;
  options.enqDelayMs = 300;
  StartRobot(options);
  SetImage("xyz");
  EXPECT_EQ(doUpload("upload REBOOT", "REBOOT"), CommandStatus::OK);
  EXPECT_EQ(RobotData(), "Upload REBOOT Size 7\r\x05\x06");
}

TEST_F(PtyTest, UploadBeforeAnyFileGivesNoFileAfterOpeningThePort) {
  StartRobot(robot_emulator::Options());
  EXPECT_EQ(doUpload("upload code", "code"), CommandStatus::NoFile);
  EXPECT_TRUE(RobotPortIsOpen());
  EXPECT_EQ(emulator->Received(), "");
}

TEST_F(PtyTest, RobotHangingUpMidUploadGivesTimeoutAndKeepsWhatItSent) {
  robot_emulator::Options options;
  options.echo = true;
  options.hangUpAfterImageBytes = 5000;
  StartRobot(options);
  SetImage(std::string(200000, 'f'));
  EXPECT_EQ(doUpload("upload code", "code"), CommandStatus::Timeout);
  EXPECT_EQ(RobotData(), "Upload code Size 200004\r\x05");
  Lines log = Log();
  EXPECT_NE(std::find(log.begin(), log.end(), "ERROR - Failed to send the file to robot."), log.end());
  EXPECT_EQ(log.back(), "ERROR: ReadComPort - ReadFile failed");
}

TEST_F(PtyTest, RobotHangingUpMidAnswerKeepsTheBytesAndGivesLocalError) {
  robot_emulator::Options options;
  options.answers["dump"] = "0123456789";
  options.hangUpAfterAnswerBytes = 4;
  StartRobot(options);
  EXPECT_EQ(doSend("send dump", "dump"), CommandStatus::LocalError);
  EXPECT_EQ(RobotData(), "0123");
  EXPECT_NE(LastError, 0);
  // Still listed in the (test's) registry, so the port stays open, but
  // writing to it fails.
  LastError = 0;
  EXPECT_EQ(doSend("send dump", "dump"), CommandStatus::LocalError);
  EXPECT_NE(LastError, 0);
  EXPECT_EQ(Log().back(), "ERROR: WriteComPort - WriteFile failed");
}

}  // namespace
}  // namespace robot_test
