// Two real copies of the program and a robot: a copy started while another
// uploads an image waits for the upload to end before it ends that copy, and
// an upload waits while a copy holds the mark to end another. The robot is
// umockdev's (its sysfs and a /dev/ttyACM0 that plays the upload exchange),
// so Linux only, and only where umockdev is installed. The copies run under a
// name of their own and share a home and runtime folder with nothing else.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "platform/files.h"
#include "platform/spawn.h"
#include "support/test_support.h"

namespace {

namespace ts = testing_support;
using Lines = std::vector<std::string>;

const char kUmockdevRun[] = "/usr/bin/umockdev-run";

class UploadMarkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (plat::kPathSeparator[0] == '\\') GTEST_SKIP() << "umockdev emulates Linux devices";
    if (!ts::FileExists(kUmockdevRun)) GTEST_SKIP() << "umockdev is not installed";
    ASSERT_FALSE(ts::BinaryPath().empty()) << "KELVO_BINARY is not set";
    std::ostringstream name;
    name << "KelvoUpgrader-mark-" << std::hex << std::random_device()() << std::random_device()();
    uploader_ = uploaderDir_.File(name.str());
    launcher_ = launcherDir_.File(name.str());
    ts::CopyFileBytes(ts::BinaryPath(), uploader_);
    ts::CopyFileBytes(ts::BinaryPath(), launcher_);
    ts::WriteFileBytes(dir_.File("image.bin"), "ABCD");
    ts::WriteFileBytes(dir_.File("script.txt"),
                       "getlocal " + dir_.File("image.bin") + "\nupload code\nwait 20000\n");
  }

  void TearDown() override {
    if (upload_) plat::ReleaseProcess(upload_);
  }

  std::vector<std::pair<std::string, std::string>> Env() {
    auto env = ts::IsolatedEnv(dir_.File("home"));
    // umockdev preloads its library; a sanitized build must accept that.
    env.emplace_back("ASAN_OPTIONS", ts::EnvOr("ASAN_OPTIONS", "") + ":verify_asan_link_order=0");
    return env;
  }

  // Starts the uploading copy on the robot whose exchange the conversation
  // (umockdev's script format) plays.
  void StartUpload(const std::string& conversation) {
    ts::WriteFileBytes(dir_.File("robot.script"), conversation);
    plat::SpawnOptions options;
    options.args = {"--device", ts::EnvOr("KELVO_SOURCE_DIR", ".") + "/tests/robot/data/robot_first.umockdev",
                    "--script", "/dev/ttyACM0=" + dir_.File("robot.script"), "--",
                    uploader_, "/NOSERVER", dir_.File("script.txt")};
    options.env = Env();
    upload_ = plat::StartProcess(kUmockdevRun, options);
    ASSERT_NE(upload_, nullptr);
  }

  Lines Log() { return ts::LogMessages(ts::ReadFileBytes(ts::LogPathFor(dir_.File("home")))); }
  bool Logged(const std::string& line) {
    Lines lines = Log();
    return std::find(lines.begin(), lines.end(), line) != lines.end();
  }
  // Where a line starting so stands in the log (its size when it isn't there).
  size_t At(const std::string& start) {
    Lines lines = Log();
    size_t i = 0;
    while (i < lines.size() && lines[i].rfind(start, 0) != 0) ++i;
    return i;
  }
  bool WaitForLine(const std::string& line, int timeoutMs) {
    for (int waited = 0; waited < timeoutMs; waited += 20) {
      if (Logged(line)) return true;
      int code = 0;
      if (plat::WaitProcess(upload_, 20, &code)) return Logged(line);
    }
    return false;
  }

  ts::TempDir dir_, uploaderDir_, launcherDir_;
  std::string uploader_, launcher_;
  plat::SpawnedProcess* upload_ = nullptr;
};

TEST_F(UploadMarkTest, ALaunchDuringAnUploadEndsTheUploadingCopyOnlyAfterItsAck) {
  // ENQ and ACK each come 2 seconds late: the upload takes some 4 seconds.
  StartUpload("w 0 Upload code Size 8^M\nr 2000 ^E\nw 0 ABCD^J^A^@^@\nr 2000 ^FFlashed^Z\n");
  ASSERT_TRUE(WaitForLine("sendFile - file size = 4 bytes", 30000)) << plat::ProcessOutput(upload_);

  // A link clicked now: a command line that is no URL still ends another copy.
  auto start = std::chrono::steady_clock::now();
  ts::RunResult launch = ts::Run(launcher_, {"registerx"}, Env(), 60000);
  auto waited = std::chrono::steady_clock::now() - start;
  ASSERT_TRUE(launch.ended);
  EXPECT_EQ(launch.exitCode, 255);
  EXPECT_GE(waited, std::chrono::milliseconds(2500));

  // The uploading copy is ended, but only once its ACK was in: long before
  // its own wait would have ended it.
  int code = 0;
  EXPECT_TRUE(plat::WaitProcess(upload_, 10000, &code));
  EXPECT_FALSE(Logged("************ Kelvo Upgrader Ended - ret code = 0 *****************"));
  size_t waiting = At("WARNING: TerminateOtherInstance - another copy is uploading to the robot, "
                      "waiting until its upload ends");
  size_t sent = At("Sending file to robot took: ");
  size_t ended = At("WARNING: TerminateOtherInstance - the upload ended after ");
  Lines log = Log();
  ASSERT_LT(ended, log.size()) << launch.output;
  EXPECT_LT(At("sendFile - file size = 4 bytes"), waiting);
  EXPECT_LT(waiting, sent);
  EXPECT_LT(sent, ended);
  EXPECT_NE(log[ended].find(" seconds, the other copy is ended now"), std::string::npos) << log[ended];
  EXPECT_EQ(At("ERROR - sendFile"), log.size()) << "the upload ran to its end";
  EXPECT_EQ(At("ERROR: doUpload"), log.size());
}

TEST_F(UploadMarkTest, AnUploadWaitsWhileACopyHoldsTheMarkToEndAnother) {
  // A copy ending another holds the mark for that moment; here the probe
  // holds it for 1.5 seconds, and the upload must not begin before.
  plat::SpawnOptions options;
  options.args = {"hold-mark", "1500", "0"};
  options.env = Env();
  std::string probe = plat::FolderOf(ts::BinaryPath()) + plat::kPathSeparator + "kelvo_copy_probe";
  plat::SpawnedProcess* holder = plat::StartProcess(probe, options);
  ASSERT_NE(holder, nullptr);
  for (int waited = 0; waited < 30000 && plat::ProcessOutput(holder).find("held") == std::string::npos;
       waited += 20) {
    int code = 0;
    if (plat::WaitProcess(holder, 20, &code)) break;
  }
  ASSERT_NE(plat::ProcessOutput(holder).find("held"), std::string::npos);

  ts::WriteFileBytes(dir_.File("script.txt"), "getlocal " + dir_.File("image.bin") + "\nupload code\n");
  StartUpload("w 0 Upload code Size 8^M\nr 5 ^E\nw 0 ABCD^J^A^@^@\nr 5 ^FFlashed^Z\n");
  int code = 0;
  EXPECT_TRUE(plat::WaitProcess(upload_, 60000, &code));
  EXPECT_EQ(code, 0) << plat::ProcessOutput(upload_);
  int holderCode = 0;
  EXPECT_TRUE(plat::WaitProcess(holder, 10000, &holderCode));
  plat::ReleaseProcess(holder);

  size_t waiting = At("WARNING: sendFile - another copy holds the upload mark, waiting for it");
  size_t taken = At("WARNING: sendFile - upload mark taken after ");
  size_t begun = At("sendFile - file size = 4 bytes");
  EXPECT_LT(waiting, taken);
  EXPECT_LT(taken, begun);
  EXPECT_LT(begun, At("Exiting doUpload with success"));
  EXPECT_LT(At("Exiting doUpload with success"), Log().size());
}

}  // namespace
