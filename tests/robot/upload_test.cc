// The upload exchange's time limits and failures, with a scripted port and
// a clock that runs only when slept on (an empty read takes 100 ms of it).
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "platform/mark.h"
#include "robot_fakes.h"
#include "script/robot_commands.h"

namespace robot_test {
namespace {

using Lines = std::vector<std::string>;

// Whether a copy could take the upload mark now. Asked from a thread of its
// own, since a Windows thread may take again a mutex it holds.
bool UploadMarkIsFree() {
  bool free = false;
  std::thread([&free] {
    plat::Mark* mark = plat::OpenMark(kUploadMarkName);
    free = mark && plat::TakeMark(mark, 0) == plat::MarkTake::Taken;
    plat::CloseMark(mark);
  }).join();
  return free;
}

class UploadTest : public RobotTest {
 protected:
  void SetUp() override {
    RobotTest::SetUp();
    ASSERT_EQ(CheckRobotCom(), CommandStatus::OK);
    testing_support::WriteFileBytes(LogFilePath, "");
  }

  // An upload the robot answered with ENQ ends with one line saying whether
  // the desktop showed its progress (which of the three depends on the
  // desktop the tests run on): the log without it, which must be the last line.
  Lines UploadLog() {
    Lines log = Log();
    bool told = !log.empty() &&
                (log.back() == "\tUpload progress shown on the desktop" ||
                 log.back() == "\tUpload progress not shown: no desktop notification service" ||
                 log.back() == "\tUpload progress not shown yet: the desktop notification service has not answered");
    EXPECT_TRUE(told) << (log.empty() ? std::string("empty log") : log.back());
    if (told) log.pop_back();
    return log;
  }
};

TEST_F(UploadTest, WireFormatAndLogOfASuccessfulUpload) {
  SetImage(std::string("\x01\x02\xFF", 3));
  serial.Answer("Upload code Size 7\r\x05");
  serial.Answer("\x06");
  EXPECT_TRUE(sendFile("code"));
  EXPECT_EQ(serial.written, std::string("Upload code Size 7\r\x01\x02\xFF\x02\x01\x00\x00", 26));
  EXPECT_EQ(RobotData(), "Upload code Size 7\r\x05\x06");
  EXPECT_EQ(UploadLog(), (Lines{"sendFile - file size = 3 bytes", "Writing checksum = 258",
                          "Sending file to robot took: 0 seconds"}));
  EXPECT_TRUE(UploadMarkIsFree());
}

TEST_F(UploadTest, AMarkHeldLongerThanAnyCopyHoldsItHoldsTheUploadBackOnlyAFewSeconds) {
  // Whatever holds the mark this long is no copy ending another (a program
  // of another account may take the mark's name first): the image goes.
  std::mutex lock;
  std::condition_variable changed;
  bool held = false, done = false;
  std::thread holder([&] {
    plat::Mark* mark = plat::OpenMark(kUploadMarkName);
    bool taken = mark && plat::TakeMark(mark, 0) == plat::MarkTake::Taken;
    std::unique_lock<std::mutex> guard(lock);
    held = taken;
    changed.notify_all();
    changed.wait_for(guard, std::chrono::seconds(60), [&] { return done; });
    plat::CloseMark(mark);
  });
  {
    std::unique_lock<std::mutex> guard(lock);
    changed.wait_for(guard, std::chrono::seconds(30), [&] { return held; });
  }
  ASSERT_TRUE(held);
  SetImage("abc");
  serial.Answer("\x05");
  serial.Answer("\x06");
  auto start = std::chrono::steady_clock::now();
  bool sent = sendFile("code");
  auto took = std::chrono::steady_clock::now() - start;
  {
    std::lock_guard<std::mutex> guard(lock);
    done = true;
    changed.notify_all();
  }
  holder.join();
  EXPECT_TRUE(sent);
  EXPECT_GE(took, std::chrono::seconds(4));
  EXPECT_LT(took, std::chrono::seconds(8));
  Lines log = Log();
  ASSERT_GE(log.size(), 3u);
  EXPECT_EQ(log[0], "WARNING: sendFile - another copy holds the upload mark, waiting for it");
  EXPECT_EQ(log[1].rfind("WARNING: sendFile - the upload mark is still held after ", 0), 0u) << log[1];
  EXPECT_NE(log[1].find(" seconds, a copy started now could end this upload"), std::string::npos) << log[1];
  EXPECT_EQ(log[2], "sendFile - file size = 3 bytes");
}

TEST_F(UploadTest, EnqThatComesAfter16SecondsIsTooLateButStillCollected) {
  SetImage("abc");
  // The read that starts at 15.9 s gets the ENQ at 16 s.
  serial.Answer("\x05", 15900, 100);
  EXPECT_FALSE(sendFile("code"));
  EXPECT_EQ(RobotData(), "\x05");
  EXPECT_EQ(serial.written, "Upload code Size 7\r") << "no image may follow a late ENQ";
  EXPECT_EQ(Log(), (Lines{"sendFile - file size = 3 bytes", "ERROR - sendFile: Timed out while reading ENQ"}));
  EXPECT_TRUE(clock.sleeps.empty()) << "the handshake loop reads without sleeping";
}

TEST_F(UploadTest, EnqWithinTheLimitStartsTheTransfer) {
  SetImage("abc");
  serial.Answer("\x05", 15900);
  // 15 seconds after the sum went out, 30.9 after the start: the ACK wait
  // counts from after the sum.
  serial.Answer("\x06", 30900);
  EXPECT_TRUE(sendFile(""));
  EXPECT_EQ(serial.written.substr(0, 18), "Upload  Size 7\rabc");
}

TEST_F(UploadTest, OtherByteInsteadOfAckIsCollectedAndTheWaitTimesOut) {
  SetImage("abc");
  serial.Answer("\x05");
  serial.Answer("\x15");
  int64_t start = ElapsedMs(clock);
  EXPECT_FALSE(sendFile("code"));
  EXPECT_EQ(RobotData(), "\x05\x15");
  EXPECT_EQ(ElapsedMs(clock) - start, 16000);
  EXPECT_EQ(UploadLog().back(), "ERROR - sendFile timed out while reading ACK");
}

TEST_F(UploadTest, ReadFailuresLogTheReadLineFirst) {
  SetImage("abc");
  serial.FailRead(1167);
  EXPECT_FALSE(sendFile("code"));
  Lines log = Log();
  ASSERT_GE(log.size(), 2u);
  EXPECT_EQ((Lines{log[log.size() - 2], log.back()}),
            (Lines{"ERROR: ReadComPort - ReadFile failed", "ERROR - Failed to read robot data while reading ENQ"}));

  serial.Answer("\x05");
  serial.FailRead(1167);
  EXPECT_FALSE(sendFile("code"));
  log = UploadLog();
  EXPECT_EQ((Lines{log[log.size() - 2], log.back()}),
            (Lines{"ERROR: ReadComPort - ReadFile failed", "ERROR - Failed to read Robot data while reading ACK"}));
}

TEST_F(UploadTest, EachFailedWriteNamesItsStep) {
  // Write calls: "Upload ", the text, the size, the image, the sum.
  const char* expected[] = {"ERROR - Failed to write upload command", "ERROR - Failed to write [code reboot]",
                            "ERROR - Failed to write size", "ERROR - Failed to send the file to robot.",
                            "ERROR - Failed to write checksum"};
  SetImage("abc");
  for (int call = 1; call <= 5; ++call) {
    serial.writeSizes.clear();
    serial.failWriteAt = call;
    serial.writeFailCode = 31;
    serial.reads.clear();
    serial.Answer("\x05");
    EXPECT_FALSE(sendFile("code"));
    // The desktop hears of the upload only once the robot has sent ENQ.
    Lines log = call >= 4 ? UploadLog() : Log();
    ASSERT_GE(log.size(), 2u);
    EXPECT_EQ(log[log.size() - 2], "ERROR: WriteComPort - WriteFile failed");
    EXPECT_EQ(log.back(), expected[call - 1]);
    EXPECT_EQ(serial.writeSizes.size(), static_cast<size_t>(call)) << "nothing is written after a failure";
    EXPECT_TRUE(UploadMarkIsFree()) << "a failed upload lets go of the mark";
  }
}

TEST_F(UploadTest, FailedTransferGivesTimeoutAndKeepsThePortOpen) {
  SetImage("abc");
  serial.Answer("\x05");
  serial.Answer("\x15");
  serial.Answer("refused\x1A", 20000);
  EXPECT_EQ(doUpload("upload code", "code"), CommandStatus::Timeout);
  EXPECT_TRUE(RobotPortIsOpen());
  EXPECT_EQ(RobotData(), "\x05\x15refused\x1A");
  EXPECT_EQ(Log().back(), "ERROR: doUpload - sendFile Failed");
  EXPECT_EQ(LastError, 0);
}

TEST_F(UploadTest, ProgressGoesToTheConsoleOnlyAndNeverToTheLog) {
  ShowUploadProgress = true;
  SetImage(std::string(20000, 'i'));
  serial.Answer("\x05");
  serial.Answer("\x06");
  ::testing::internal::CaptureStdout();
  bool ok = sendFile("code");
  std::string console = ::testing::internal::GetCapturedStdout();
  EXPECT_TRUE(ok);
  EXPECT_NE(console.find("\rUploading: 8192 of 20000 bytes"), std::string::npos) << console;
  EXPECT_NE(console.find("\rUploading: 20000 of 20000 bytes (100%)"), std::string::npos) << console;
  for (const auto& line : Log()) EXPECT_EQ(line.find("Uploading"), std::string::npos);
}

}  // namespace
}  // namespace robot_test
