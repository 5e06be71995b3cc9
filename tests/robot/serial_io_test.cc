// The connection check, the port's line settings, the writer's blocks and
// stall limit, and the answer reader's time-out and growth, with a scripted
// port and a clock that runs only when slept on.
#include <gtest/gtest.h>

#include "robot_fakes.h"

namespace robot_test {
namespace {

using Lines = std::vector<std::string>;

class SerialIoTest : public RobotTest {
 protected:
  void MoveRobotTo(const std::string& port) {
    registry.RemoveKey("HARDWARE");
    registry.RemoveKey("SYSTEM");
    registry.AddSerialPort(port);
    registry.AddUsbInstance(kMakerUsbVendorId, kRobotUsbProductId, kRobotUsbInterface, "R", port);
  }
};

TEST_F(SerialIoTest, ConnectionCheckOpensOnceAndFollowsAMovedRobot) {
  EXPECT_EQ(CheckRobotCom(), CommandStatus::OK);
  EXPECT_EQ(CheckRobotCom(), CommandStatus::OK);
  EXPECT_EQ(serial.opened, (Lines{"COM3"}));
  plat::SerialHandle first = RobotPort.handle;

  MoveRobotTo("COM4");
  EXPECT_EQ(CheckRobotCom(), CommandStatus::RobotDisconnected);
  EXPECT_FALSE(RobotPortIsOpen());
  EXPECT_EQ(serial.closed, (std::vector<plat::SerialHandle>{first}));
  EXPECT_EQ(CheckRobotCom(), CommandStatus::OK);
  EXPECT_EQ(serial.opened, (Lines{"COM3", "COM4"}));
  EXPECT_STREQ(RobotPort.name, "COM4");

  // Unplugged: the port is let go.
  registry.RemoveSerialPorts();
  EXPECT_EQ(CheckRobotCom(), CommandStatus::RobotDisconnected);
  EXPECT_FALSE(RobotPortIsOpen());
  EXPECT_TRUE(serial.open.empty());
  EXPECT_EQ(LastError, 0);
}

TEST_F(SerialIoTest, PortThatCannotBeOpenedOrConfiguredIsDisconnectedWithoutALogLine) {
  serial.openFailures["COM3"] = 5;
  EXPECT_EQ(CheckRobotCom(), CommandStatus::RobotDisconnected);
  serial.openFailures.clear();
  serial.configureFailCode = 87;
  EXPECT_EQ(CheckRobotCom(), CommandStatus::RobotDisconnected);
  EXPECT_FALSE(RobotPortIsOpen());
  EXPECT_TRUE(serial.open.empty()) << "a refused configuration must close the port";
  EXPECT_EQ(Log(), (Lines{"\tRobot connected on: [COM3]", "\tRobot connected on: [COM3]"}));
  EXPECT_EQ(LastError, 0);
}

TEST_F(SerialIoTest, LongPortNameIsCutTo31Characters) {
  std::string longName(40, 'P');
  MoveRobotTo(longName);
  EXPECT_EQ(CheckRobotCom(), CommandStatus::OK);
  EXPECT_EQ(serial.opened, (Lines{std::string(31, 'P')}));
  // The next check compares the whole found name with the cut one.
  EXPECT_EQ(CheckRobotCom(), CommandStatus::RobotDisconnected);
}

TEST_F(SerialIoTest, WriteSendsWholeBlocksOf8192AndContinuesPartialWrites) {
  std::string data(20000, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7);
  int32_t sum = -1;
  EXPECT_TRUE(WriteComPort(&sum, data.data(), static_cast<int32_t>(data.size()), 1));
  EXPECT_EQ(serial.writeSizes, (std::vector<uint32_t>{8192, 8192, 3616}));
  EXPECT_EQ(serial.written, data);
  uint32_t expected = 0;
  for (char c : data) expected += static_cast<uint8_t>(c);
  EXPECT_EQ(static_cast<uint32_t>(sum), expected);

  serial.written.clear();
  serial.writeSizes.clear();
  serial.takePerWrite = 5000;
  EXPECT_TRUE(WriteComPort(nullptr, data.data(), 12000, 1));
  EXPECT_EQ(serial.writeSizes, (std::vector<uint32_t>{8192, 7000, 2000}));
  EXPECT_EQ(serial.written, data.substr(0, 12000));
  EXPECT_TRUE(clock.sleeps.empty());
}

TEST_F(SerialIoTest, EmptyWriteWritesNothingAndSumsToZero) {
  int32_t sum = 77;
  EXPECT_TRUE(WriteComPort(&sum, "", 0, 1));
  EXPECT_EQ(sum, 0);
  EXPECT_TRUE(serial.writeSizes.empty());
}

TEST_F(SerialIoTest, SumWrapsAroundAndIsSetEvenWhenTheWriteFails) {
  // 8,421,505 bytes of 0xFF sum to 2^31 + 127, which reads -2147483521 as a signed number.
  std::string data(8421505, '\xFF');
  serial.failWriteAt = 1;
  serial.writeFailCode = 1167;
  int32_t sum = 0;
  EXPECT_FALSE(WriteComPort(&sum, data.data(), static_cast<int32_t>(data.size()), 1));
  EXPECT_EQ(plat::LastErrorCode(), 1167) << "logging must not overwrite the failed write's code";
  EXPECT_EQ(sum, -2147483521);
  EXPECT_EQ(Log(), (Lines{"ERROR: WriteComPort - WriteFile failed"}));
}

TEST_F(SerialIoTest, WriteThatMakesNoProgressFor15SecondsTimesOut) {
  serial.stallFromWrite = 2;
  std::string data(10000, 'x');
  EXPECT_FALSE(WriteComPort(nullptr, data.data(), 10000, 1));
  EXPECT_EQ(serial.written.size(), 8192u);
  // Whole seconds: the limit is passed at a difference of 16.
  EXPECT_EQ(ElapsedMs(clock), 16000);
  EXPECT_EQ(SleepsOf(clock, 10), 1600);
  EXPECT_EQ(Log(), (Lines{"ERROR: WriteComPort timed out while sending data to robot"}));
}

TEST_F(SerialIoTest, SilentRobotTimesOutAfter150EmptyReads) {
  ASSERT_EQ(CheckRobotCom(), CommandStatus::OK);
  EXPECT_EQ(CollectRobotDataFromPort(), CommandStatus::Timeout);
  EXPECT_EQ(serial.readSizes.size(), 150u);
  EXPECT_EQ(SleepsOf(clock, 100), 149);
  EXPECT_EQ(BufferUsed(RobotDataBuffer), 0);
  EXPECT_EQ(RobotDataBuffer.capacity, 1024);
}

TEST_F(SerialIoTest, SlowRobotKeepsTheReaderWaitingAsLongAsBytesCome) {
  ASSERT_EQ(CheckRobotCom(), CommandStatus::OK);
  // A byte every 14 seconds (70 empty reads and sleeps between), then the end byte.
  for (int i = 1; i <= 5; ++i) serial.Answer(std::string(1, static_cast<char>('0' + i)), i * 14000);
  serial.Answer("\x1A", 6 * 14000);
  EXPECT_EQ(CollectRobotDataFromPort(), CommandStatus::OK);
  EXPECT_EQ(RobotData(), "12345\x1A");

  // Bytes that never end: the countdown starts again after the last one.
  serial.Answer("a", ElapsedMs(clock) + 10000);
  serial.Answer("b", ElapsedMs(clock) + 20000);
  int64_t lastByte = ElapsedMs(clock) + 20000;
  EXPECT_EQ(CollectRobotDataFromPort(), CommandStatus::Timeout);
  EXPECT_EQ(RobotData(), "12345\x1A" "ab");
  EXPECT_GE(ElapsedMs(clock) - lastByte, 29900);
}

TEST_F(SerialIoTest, AnswerEndsAtTheReadHoldingTheEndByteAndKeepsWhatFollowsIt) {
  ASSERT_EQ(CheckRobotCom(), CommandStatus::OK);
  serial.Answer("Version 1.2");
  serial.Answer("\r\n\x1A" "after", 300);
  serial.Answer("next answer\x1A");
  EXPECT_EQ(CollectRobotDataFromPort(), CommandStatus::OK);
  EXPECT_EQ(RobotData(), std::string("Version 1.2\r\n\x1A" "after"));
  EXPECT_EQ(serial.reads.size(), 1u) << "the answer must stop at the read that held 0x1A";
}

TEST_F(SerialIoTest, BufferGrowsBeforeTheNextReadWhen128BytesOrFewerAreFree) {
  ASSERT_EQ(CheckRobotCom(), CommandStatus::OK);
  serial.Answer(std::string(1024 - 129, 'a'));
  serial.Answer("b");
  serial.Answer("\x1A");
  EXPECT_EQ(CollectRobotDataFromPort(), CommandStatus::OK);
  // 129 free after the first read: no growth; 128 after the second: growth.
  EXPECT_EQ(serial.readSizes, (std::vector<uint32_t>{1024, 129, 128 + 1024}));
  EXPECT_EQ(RobotDataBuffer.capacity, 2048);
  EXPECT_EQ(RobotData(), std::string(1024 - 129, 'a') + "b\x1A");
}

TEST_F(SerialIoTest, ReadFailureKeepsWhatCameBeforeAndRecordsTheCode) {
  ASSERT_EQ(CheckRobotCom(), CommandStatus::OK);
  serial.Answer("partial");
  serial.FailRead(1167);
  EXPECT_EQ(CollectRobotDataFromPort(), CommandStatus::LocalError);
  EXPECT_EQ(LastError, 1167);
  EXPECT_EQ(RobotData(), "partial");
  EXPECT_EQ(Log(), (Lines{"\tRobot connected on: [COM3]", "ERROR: ReadComPort - ReadFile failed"}));
}

TEST_F(SerialIoTest, AllocationFailuresEmptyTheBufferAndRecordNoMemory) {
  ASSERT_EQ(CheckRobotCom(), CommandStatus::OK);
  plat::FailNthAllocation(1);
  EXPECT_EQ(CollectRobotDataFromPort(), CommandStatus::LocalError);
  EXPECT_EQ(LastError, 8);
  EXPECT_TRUE(serial.readSizes.empty());

  // Failing to grow after a read.
  LastError = 0;
  serial.Answer(std::string(900, 'x'));
  plat::FailNthAllocation(2);
  EXPECT_EQ(CollectRobotDataFromPort(), CommandStatus::LocalError);
  EXPECT_EQ(LastError, 8);
  EXPECT_EQ(RobotDataBuffer.begin, nullptr);
  EXPECT_EQ(RobotDataBuffer.capacity, 0);

  // A single byte: dropped with the emptied buffer; the next one starts afresh.
  LastError = 0;
  plat::FailNthAllocation(1);
  CollectRobotDataByte('z');
  EXPECT_EQ(LastError, 8);
  EXPECT_EQ(RobotDataBuffer.begin, nullptr);
  CollectRobotDataByte('y');
  EXPECT_EQ(RobotData(), "y");
  EXPECT_EQ(RobotDataBuffer.capacity, 1024);
}

}  // namespace
}  // namespace robot_test
