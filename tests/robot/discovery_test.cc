// Finding the robot's port from the registry's texts: the available-port
// list, whole-entry matching, case folding, the order of instances, and
// every key closed again.
#include <gtest/gtest.h>

#include "robot/port_discovery.h"
#include "robot_fakes.h"

namespace robot_test {
namespace {

using Lines = std::vector<std::string>;

const char kSerialComm[] = "HARDWARE\\DEVICEMAP\\SERIALCOMM";

class DiscoveryTest : public RobotTest {
 protected:
  void SetUp() override {
    RobotTest::SetUp();
    registry.RemoveKey("HARDWARE");
    registry.RemoveKey("SYSTEM");
  }
  void TearDown() override {
    EXPECT_EQ(registry.openKeys(), 0) << "a registry key was left open";
    EXPECT_EQ(registry.opens(), registry.closes());
    RobotTest::TearDown();
  }
  bool UsbKeyOpened() {
    for (const auto& path : registry.openedPaths()) {
      if (path.find("Enum\\USB") != std::string::npos) return true;
    }
    return false;
  }
};

TEST_F(DiscoveryTest, NoDeviceMapMeansNoPortsAndTheUsbKeysAreNotConsulted) {
  registry.AddUsbInstance(kMakerUsbVendorId, kRobotUsbProductId, -1, "R1", "COM3");
  EXPECT_EQ(GetAvailableComPorts(), "");
  EXPECT_EQ(GetRobotComPort(kMakerUsbVendorId, kRobotUsbProductId, -1), nullptr);
  EXPECT_FALSE(UsbKeyOpened());
  EXPECT_EQ(Log(), (Lines{
      "ERROR: GetAvailableComPorts - RegOpenKeyEx failed for [HARDWARE\\DEVICEMAP\\SERIALCOMM]. Error=2",
      "ERROR: GetAvailableComPorts - RegOpenKeyEx failed for [HARDWARE\\DEVICEMAP\\SERIALCOMM]. Error=2",
      "ERROR: GetRobotComPort - No Serial Port Found."}));
}

TEST_F(DiscoveryTest, DeviceMapListsNonEmptyTextValuesInOrderAndStopsAtAnOversizedOne) {
  registry.SetString(kSerialComm, "\\Device\\Serial0", "COM3");
  registry.SetRaw(kSerialComm, "dword", plat::kRegDword, std::string("\x04\0\0\0", 4));
  registry.SetRaw(kSerialComm, "empty", plat::kRegSz, "");
  registry.SetString(kSerialComm, "any name at all", "COM10");
  registry.SetString(kSerialComm, "\\Device\\Serial2", "COM4");
  EXPECT_EQ(GetAvailableComPorts(), "'COM3''COM10''COM4'");

  // Data that doesn't fit 260 bytes ends the enumeration there.
  registry.SetString(kSerialComm, "long", std::string(300, 'X'));
  registry.SetString(kSerialComm, "after", "COM9");
  EXPECT_EQ(GetAvailableComPorts(), "'COM3''COM10''COM4'");
  EXPECT_TRUE(Log().empty());
}

TEST_F(DiscoveryTest, DeviceKeyPathCarriesLowerCaseIdsAndTheInterfaceOnlyWhenAsked) {
  registry.AddSerialPort("COM3");
  EXPECT_EQ(GetRobotComPort(0x4E8, 0x6850, 0), nullptr);
  EXPECT_EQ(GetRobotComPort(0xABCD, 0x00EF, -1), nullptr);
  EXPECT_EQ(Log(), (Lines{
      "ERROR: GetRobotComPort - RegOpenKeyEx failed for "
      "[SYSTEM\\CurrentControlSet\\Enum\\USB\\Vid_04e8&Pid_6850&MI_00]. Error=2",
      "ERROR: GetRobotComPort - RegOpenKeyEx failed for "
      "[SYSTEM\\CurrentControlSet\\Enum\\USB\\Vid_abcd&Pid_00ef]. Error=2"}));
}

TEST_F(DiscoveryTest, PortNameMatchesWithoutRegardToCaseAndIsReturnedUpperCase) {
  registry.AddSerialPort("COM3");
  registry.AddUsbInstance(0x1234, 0x5678, -1, "A", "com3");
  const char* port = GetRobotComPort(0x1234, 0x5678, -1);
  ASSERT_NE(port, nullptr);
  EXPECT_STREQ(port, "COM3");
  EXPECT_EQ(Log(), (Lines{"\tRobot connected on: [COM3]"}));

  // The device map side is folded too.
  registry.RemoveSerialPorts();
  registry.AddSerialPort("Com3");
  EXPECT_STREQ(GetRobotComPort(0x1234, 0x5678, -1), "COM3");
}

TEST_F(DiscoveryTest, OnlyAWholeEntryOfTheListMatches) {
  registry.AddSerialPort("COM10");
  registry.AddUsbInstance(0x1234, 0x5678, -1, "A", "COM1");
  EXPECT_EQ(GetRobotComPort(0x1234, 0x5678, -1), nullptr);
  registry.AddSerialPort("COM1");
  EXPECT_STREQ(GetRobotComPort(0x1234, 0x5678, -1), "COM1");
}

TEST_F(DiscoveryTest, AnEmptyPortNameIsNoEntryOfTheList) {
  // '' stands between any two entries of the list; it must not pass for a
  // port, nor end the walk before the instance the robot really is on.
  registry.AddSerialPort("COM4");
  registry.AddSerialPort("COM5");
  registry.AddUsbInstance(0x1234, 0x5678, -1, "blank", "");
  registry.AddUsbInstance(0x1234, 0x5678, -1, "robot", "COM5");
  EXPECT_STREQ(GetRobotComPort(0x1234, 0x5678, -1), "COM5");
  EXPECT_EQ(Log(), (Lines{"\tRobot connected on: [COM5]"}));
}

TEST_F(DiscoveryTest, StaleInstancesArePassedOverAndTheFirstPresentOneWins) {
  registry.AddSerialPort("COM4");
  registry.AddSerialPort("COM5");
  registry.AddUsbInstance(0x1234, 0x5678, -1, "used-another-socket", "COM7");
  registry.AddUsbInstance(0x1234, 0x5678, -1, "first-present", "COM5");
  registry.AddUsbInstance(0x1234, 0x5678, -1, "second-present", "COM4");
  EXPECT_STREQ(GetRobotComPort(0x1234, 0x5678, -1), "COM5");
  // Nothing after the match was looked at.
  for (const auto& path : registry.openedPaths()) EXPECT_EQ(path.find("second-present"), std::string::npos);
}

TEST_F(DiscoveryTest, BrokenInstancesDoNotEndTheWalkAndOnlyAnUnopenableOneIsLogged) {
  const std::string device = "SYSTEM\\CurrentControlSet\\Enum\\USB\\" +
                             robot_emulator::MemoryRegistry::UsbDeviceKey(0x1234, 0x5678, -1);
  registry.AddSerialPort("COM6");
  registry.AddUsbInstance(0x1234, 0x5678, -1, "locked", "COM6");
  registry.FailOpen(device + "\\locked", 5);
  registry.SetString(device + "\\no-friendly-name\\Device Parameters", "PortName", "COM6");
  registry.SetString(device + "\\no-parameters", "FriendlyName", "x");
  registry.SetString(device + "\\no-port-name", "FriendlyName", "x");
  registry.AddKey(device + "\\no-port-name\\Device Parameters");
  registry.AddUsbInstance(0x1234, 0x5678, -1, "good", "COM6");
  EXPECT_STREQ(GetRobotComPort(0x1234, 0x5678, -1), "COM6");
  EXPECT_EQ(Log(), (Lines{
      "WARNING: GetRobotComPort - RegOpenKeyEx failed for [locked], ttrying next key. Error=5",
      "\tRobot connected on: [COM6]"}));
}

TEST_F(DiscoveryTest, DeviceKeyWithoutInstancesGivesNullWithoutAMessage) {
  registry.AddSerialPort("COM3");
  registry.AddKey("SYSTEM\\CurrentControlSet\\Enum\\USB\\" +
                  robot_emulator::MemoryRegistry::UsbDeviceKey(0x1234, 0x5678, -1));
  EXPECT_EQ(GetRobotComPort(0x1234, 0x5678, -1), nullptr);
  EXPECT_TRUE(Log().empty());
}

TEST_F(DiscoveryTest, ConnectionCheckTriesTheTwoIdentitiesInOrder) {
  // No serial port at all: one line per identity.
  EXPECT_EQ(CheckRobotCom(), CommandStatus::RobotDisconnected);
  EXPECT_EQ(Log(), (Lines{
      "ERROR: GetAvailableComPorts - RegOpenKeyEx failed for [HARDWARE\\DEVICEMAP\\SERIALCOMM]. Error=2",
      "ERROR: GetRobotComPort - No Serial Port Found.",
      "ERROR: GetAvailableComPorts - RegOpenKeyEx failed for [HARDWARE\\DEVICEMAP\\SERIALCOMM]. Error=2",
      "ERROR: GetRobotComPort - No Serial Port Found."}));

  // A robot of the second identity: the first identity's key is missing.
  testing_support::WriteFileBytes(LogFilePath, "");
  registry.AddSerialPort("COM8");
  registry.AddUsbInstance(kModuleUsbVendorId, kModuleUsbProductId, kModuleUsbInterface, "6&1&0&0000", "COM8");
  EXPECT_EQ(CheckRobotCom(), CommandStatus::OK);
  char firstKey[128];
  std::snprintf(firstKey, sizeof firstKey,
                "ERROR: GetRobotComPort - RegOpenKeyEx failed for "
                "[SYSTEM\\CurrentControlSet\\Enum\\USB\\Vid_%04x&Pid_%04x]. Error=2",
                kMakerUsbVendorId, kRobotUsbProductId);
  EXPECT_EQ(Log(), (Lines{firstKey, "\tRobot connected on: [COM8]"}));
  EXPECT_EQ(serial.opened, (Lines{"COM8"}));

  // Both present: the first identity wins; the open port moves to it.
  registry.AddSerialPort("COM3");
  registry.AddUsbInstance(kMakerUsbVendorId, kRobotUsbProductId, kRobotUsbInterface, "R", "COM3");
  EXPECT_EQ(CheckRobotCom(), CommandStatus::RobotDisconnected);
  EXPECT_EQ(CheckRobotCom(), CommandStatus::OK);
  EXPECT_STREQ(RobotPort.name, "COM3");
}

}  // namespace
}  // namespace robot_test
