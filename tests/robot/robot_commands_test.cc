// send, send-nowait and upload as the script runs them, and the port being
// let go at the end of a run, with a scripted port.
#include <gtest/gtest.h>

#include "robot_fakes.h"
#include "script/engine.h"
#include "script/robot_commands.h"

namespace robot_test {
namespace {

using Lines = std::vector<std::string>;

class RobotCommandsTest : public RobotTest {};

TEST_F(RobotCommandsTest, SendWritesTheTextAsWrittenThenCrAndCollectsTheAnswer) {
  serial.Answer("v1.2\x1A");
  EXPECT_EQ(doSend("send getversion  ", "getversion  "), CommandStatus::OK);
  EXPECT_EQ(serial.written, "getversion  \r");
  EXPECT_EQ(serial.writeSizes, (std::vector<uint32_t>{12, 1}));
  EXPECT_EQ(RobotData(), "v1.2\x1A");
  EXPECT_TRUE(RobotPortIsOpen());

  // No argument: a bare CR.
  serial.written.clear();
  serial.Answer("?\x1A");
  EXPECT_EQ(doSend("send", nullptr), CommandStatus::OK);
  EXPECT_EQ(serial.written, "\r");
  EXPECT_EQ(serial.opened.size(), 1u);
}

TEST_F(RobotCommandsTest, FailedWriteRecordsThePlatformErrorAndLeavesThePortOpen) {
  serial.failWriteAt = 2;
  serial.writeFailCode = 1117;
  EXPECT_EQ(doSend("send x", "x"), CommandStatus::LocalError);
  EXPECT_EQ(LastError, 1117);
  serial.failWriteAt = 3;
  serial.writeFailCode = 31;
  EXPECT_EQ(doSendNoWait("send-nowait y", "y"), CommandStatus::LocalError);
  EXPECT_EQ(LastError, 31);
  EXPECT_TRUE(RobotPortIsOpen());
  EXPECT_TRUE(serial.readSizes.empty());
}

TEST_F(RobotCommandsTest, RobotNotFoundPassesTheStatusOnWithoutTouchingLastError) {
  registry.RemoveSerialPorts();
  LastError = 99;
  EXPECT_EQ(doSend("send x", "x"), CommandStatus::RobotDisconnected);
  EXPECT_EQ(doSendNoWait("send-nowait x", "x"), CommandStatus::RobotDisconnected);
  testing_support::WriteFileBytes(LogFilePath, "");
  EXPECT_EQ(doUpload("upload", nullptr), CommandStatus::RobotDisconnected);
  EXPECT_EQ(Log().back(), "ERROR - doUpload - CheckRobotCom Failed");
  EXPECT_EQ(LastError, 99);
  EXPECT_TRUE(serial.written.empty());
}

TEST_F(RobotCommandsTest, SendNoWaitClosesThePortWithoutReadingAndSendOpensItAgain) {
  EXPECT_EQ(doSendNoWait("send-nowait reboot", "reboot"), CommandStatus::OK);
  EXPECT_FALSE(RobotPortIsOpen());
  EXPECT_TRUE(serial.readSizes.empty());
  EXPECT_EQ(serial.written, "reboot\r");
  serial.Answer("up\x1A");
  EXPECT_EQ(doSend("send status", "status"), CommandStatus::OK);
  EXPECT_EQ(serial.opened.size(), 2u);
}

TEST_F(RobotCommandsTest, UploadWithoutAFileGivesNoFileWithThePortOpen) {
  EXPECT_EQ(doUpload("upload code", "code"), CommandStatus::NoFile);
  EXPECT_TRUE(RobotPortIsOpen());
  EXPECT_EQ(Log().back(), "ERROR: doUpload - pFileRxBuffer is NULL");
  EXPECT_TRUE(serial.written.empty());
}

TEST_F(RobotCommandsTest, UploadReadsTheAnswerUnlessTheTextAsksForAReboot) {
  SetImage("img");
  for (const char* text : {"code reboot", "REBOOT", "noreboot now", "code"}) {
    SCOPED_TRACE(text);
    serial.reads.clear();
    serial.readSizes.clear();
    serial.Answer("\x05");
    serial.Answer("\x06");
    serial.Answer("flashed\x1A");
    EXPECT_EQ(doUpload("upload", text), CommandStatus::OK);
    EXPECT_FALSE(RobotPortIsOpen());
    bool reboot = std::string(text) != "code";
    EXPECT_EQ(serial.reads.empty(), !reboot) << "the answer is read only without reboot";
    EXPECT_EQ(Log().back(), "Exiting doUpload with success");
  }
  // The image stays for another upload.
  EXPECT_NE(pFileRxBuffer, nullptr);
}

TEST_F(RobotCommandsTest, UploadWithoutTextAnnouncesTwoBlanks) {
  SetImage("");
  serial.Answer("\x05\x06");
  EXPECT_EQ(doUpload("upload", nullptr), CommandStatus::OK);
  EXPECT_EQ(serial.written, std::string("Upload  Size 4\r\0\0\0\0", 19));
}

TEST_F(RobotCommandsTest, EveryRunEndsWithThePortClosed) {
  serial.Answer("ok\x1A");
  testing_support::WriteFileBytes(dir.File("script.txt"), "send hello\r\nsend-nowait x\r\nsend again\r\n");
  EXPECT_EQ(LocalScriptRun(dir.File("script.txt").c_str()), 0);
  EXPECT_FALSE(RobotPortIsOpen());
  EXPECT_TRUE(serial.open.empty());
  EXPECT_EQ(serial.opened.size(), 2u);

  ASSERT_EQ(CheckRobotCom(), CommandStatus::OK);
  ReleaseRunResources();
  EXPECT_FALSE(RobotPortIsOpen());
  EXPECT_TRUE(serial.open.empty());
}

}  // namespace
}  // namespace robot_test
