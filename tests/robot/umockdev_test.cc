// The real program against an emulated USB robot: umockdev gives it a sysfs
// with the robot's device, interface and tty entries, and a /dev/ttyACM0
// that replays a scripted conversation. Linux only, and only where umockdev
// is installed.
#include <gtest/gtest.h>

#include <algorithm>

#include "platform/files.h"
#include "robot/robot_identity.h"
#include "support/test_support.h"

namespace robot_test {
namespace {

using testing_support::FileExists;
using testing_support::ReadFileBytes;
using testing_support::WriteFileBytes;
using Lines = std::vector<std::string>;

const char kUmockdevRun[] = "/usr/bin/umockdev-run";

class UmockdevTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (plat::kPathSeparator[0] == '\\') GTEST_SKIP() << "umockdev emulates Linux devices";
    if (!FileExists(kUmockdevRun)) GTEST_SKIP() << "umockdev is not installed";
    if (testing_support::BinaryPath().empty()) GTEST_SKIP() << "KELVO_BINARY is not set";
  }

  std::string Data(const std::string& name) {
    return testing_support::EnvOr("KELVO_SOURCE_DIR", ".") + "/tests/robot/data/" + name;
  }

  // Runs the script with /NOSERVER under umockdev; device and conversation may be empty.
  testing_support::RunResult RunScript(const std::string& script, const std::string& device,
                                       const std::string& conversation) {
    WriteFileBytes(dir.File("script.txt"), script);
    std::vector<std::string> args;
    if (!device.empty()) args.insert(args.end(), {"--device", Data(device)});
    if (!conversation.empty()) args.insert(args.end(), {"--script", "/dev/ttyACM0=" + Data(conversation)});
    args.insert(args.end(), {"--", testing_support::BinaryPath(), "/NOSERVER", dir.File("script.txt")});
    auto env = testing_support::IsolatedEnv(dir.File("home"));
    // umockdev preloads its library; a sanitized build must accept that.
    env.emplace_back("ASAN_OPTIONS",
                     testing_support::EnvOr("ASAN_OPTIONS", "") + ":verify_asan_link_order=0");
    return testing_support::Run(kUmockdevRun, args, env, 90000);
  }

  std::string LogText() { return ReadFileBytes(testing_support::LogPathFor(dir.File("home"))); }

  // The log lines from the first "Run:" on, up to "Script execution complete.".
  Lines RunLines() {
    Lines all = testing_support::LogMessages(LogText());
    auto first = std::find_if(all.begin(), all.end(), [](const std::string& l) { return l.rfind("Run:", 0) == 0; });
    auto last = std::find(all.begin(), all.end(), "Script execution complete.");
    Lines lines(first, last);
    // The transfer's duration in whole seconds may tick over during the run.
    for (auto& line : lines) {
      if (line.rfind("Sending file to robot took: ", 0) == 0) line = "Sending file to robot took: N seconds";
    }
    return lines;
  }

  testing_support::TempDir dir;
};

TEST_F(UmockdevTest, RobotOfTheFirstIdentityAnswersASend) {
  auto result = RunScript("send getversion\n", "robot_first.umockdev", "send_conversation.script");
  ASSERT_TRUE(result.ended) << result.output;
  EXPECT_EQ(result.exitCode, 0) << result.output;
  EXPECT_EQ(RunLines(), (Lines{"Run: [send getversion]", "\tRobot connected on: [TTYACM0]", "\tReturned: [OK]",
                               "Run: []", "\tReturned: [OK]"}));
  EXPECT_NE(LogText().find("Content-Length: 18\r\n\r\nVersion 1.2\x1ATAIL\r\n\r\n"), std::string::npos) << LogText();
}

TEST_F(UmockdevTest, RobotOfTheSecondIdentityIsFoundOnInterfaceZero) {
  auto result = RunScript("send getversion\n", "robot_second.umockdev", "send_conversation.script");
  ASSERT_TRUE(result.ended) << result.output;
  char firstKey[160];
  std::snprintf(firstKey, sizeof firstKey,
                "ERROR: GetRobotComPort - RegOpenKeyEx failed for "
                "[SYSTEM\\CurrentControlSet\\Enum\\USB\\Vid_%04x&Pid_%04x]. Error=2",
                kMakerUsbVendorId, kRobotUsbProductId);
  EXPECT_EQ(RunLines(), (Lines{"Run: [send getversion]", firstKey, "\tRobot connected on: [TTYACM0]",
                               "\tReturned: [OK]", "Run: []", "\tReturned: [OK]"}));
  EXPECT_NE(LogText().find("Version 1.2\x1A"), std::string::npos);
}

TEST_F(UmockdevTest, NoRobotAtAllStopsTheScriptAsDisconnected) {
  auto result = RunScript("send getversion\nsend never\n", "", "");
  ASSERT_TRUE(result.ended) << result.output;
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_EQ(RunLines(), (Lines{"Run: [send getversion]", "ERROR: GetRobotComPort - No Serial Port Found.",
                               "ERROR: GetRobotComPort - No Serial Port Found.",
                               "\tReturned: [RobotDisconnected]"}));
}

TEST_F(UmockdevTest, ImageIsUploadedWithItsHandshakes) {
  WriteFileBytes(dir.File("image.bin"), "ABCD");
  auto result = RunScript("getlocal " + dir.File("image.bin") + "\nupload code\n", "robot_first.umockdev",
                          "upload_conversation.script");
  ASSERT_TRUE(result.ended) << result.output;
  Lines lines = RunLines();
  Lines upload(std::find(lines.begin(), lines.end(), "Run: [upload code]"), lines.end());
  EXPECT_EQ(upload, (Lines{"Run: [upload code]", "\tRobot connected on: [TTYACM0]", "sendFile - file size = 4 bytes",
                           "Writing checksum = 266", "Sending file to robot took: N seconds",
                           "\tUpload progress not shown: no desktop notification service",
                           "Exiting doUpload with success", "\tReturned: [OK]", "Run: []", "\tReturned: [OK]"}));
  EXPECT_NE(LogText().find("\x05\x06" "Flashed\x1A"), std::string::npos);
}

}  // namespace
}  // namespace robot_test
