// The Linux registry view of the robot link, over a fake sysfs tree laid out
// like a real one: a CDC-ACM robot (ttyACM0 on the interface folder), an
// FTDI adapter (ttyUSB0 on a port folder inside the interface folder), an
// on-board UART and a virtual console.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>

#include "platform/posix/registry_sysfs.h"
#include "robot/port_discovery.h"
#include "robot_fakes.h"

namespace robot_test {
namespace {

namespace fs = std::filesystem;
using Lines = std::vector<std::string>;

const char kUsbRoot[] = "devices/pci0000:00/0000:00:14.0/usb1";

class SysfsViewTest : public ::testing::Test {
 protected:
  void SetUp() override {
    view.reset(plat::NewSysfsRegistryView(root.path()));
    if (!view) GTEST_SKIP() << "no sysfs on this system";
    std::snprintf(LogFilePath, sizeof LogFilePath, "%s", logDir.File("test.log").c_str());

    std::string acmDevice = Dir(std::string(kUsbRoot) + "/1-2");
    Attr(acmDevice + "/idVendor", "3a7c");
    Attr(acmDevice + "/idProduct", "0101");
    Attr(acmDevice + "/bNumInterfaces", " 2");
    Attr(acmDevice + "/manufacturer", "Kelvo");
    Attr(acmDevice + "/product", "Kelvo Robot");
    Attr(acmDevice + "/serial", "KR0001");
    Attr(Dir(acmDevice + "/1-2:1.0") + "/bInterfaceNumber", "00");
    Attr(Dir(acmDevice + "/1-2:1.1") + "/bInterfaceNumber", "01");
    AddTty(acmDevice + "/1-2:1.0/tty/ttyACM0", "../../../1-2:1.0");

    // An FTDI adapter without serial number or strings.
    std::string ftdiDevice = Dir(std::string(kUsbRoot) + "/1-3");
    Attr(ftdiDevice + "/idVendor", "0403");
    Attr(ftdiDevice + "/idProduct", "6001");
    Attr(ftdiDevice + "/bNumInterfaces", " 1");
    Attr(Dir(ftdiDevice + "/1-3:1.0") + "/bInterfaceNumber", "00");
    Dir(ftdiDevice + "/1-3:1.0/ttyUSB0");
    AddTty(ftdiDevice + "/1-3:1.0/ttyUSB0/tty/ttyUSB0", "../../../ttyUSB0");

    Dir("devices/platform/serial8250");
    AddTty("devices/platform/serial8250/tty/ttyS0", "../../../serial8250");
    AddTty("devices/virtual/tty/tty0", "");
  }

  void TearDown() override { LogFilePath[0] = '\0'; }

  std::string Dir(const std::string& relative) {
    fs::create_directories(fs::path(root.path()) / relative);
    return relative;
  }
  void Attr(const std::string& relative, const std::string& text) {
    std::ofstream(fs::path(root.path()) / relative) << text << "\n";
  }
  // The tty's folder, its class link and (unless empty) its device link.
  void AddTty(const std::string& folder, const std::string& deviceLink) {
    std::string name = fs::path(folder).filename().string();
    Dir(folder);
    Attr(folder + "/dev", "166:0");
    if (!deviceLink.empty()) fs::create_directory_symlink(deviceLink, fs::path(root.path()) / folder / "device");
    Dir("class/tty");
    fs::create_directory_symlink("../../" + folder, fs::path(root.path()) / "class/tty" / name);
  }

  Lines SubKeys(const std::string& path) {
    Lines names;
    plat::RegKey key = 0;
    if (view->OpenKey(plat::kHkeyLocalMachine, path.c_str(), false, &key) != 0) return {"(no key)"};
    char name[260];
    for (uint32_t i = 0; view->EnumKey(key, i, name, sizeof name) == 0; ++i) names.push_back(name);
    view->CloseKey(key);
    return names;
  }
  std::string Text(const std::string& path, const char* value) {
    plat::RegKey key = 0;
    if (view->OpenKey(plat::kHkeyLocalMachine, path.c_str(), false, &key) != 0) return "(no key)";
    char data[260];
    uint32_t size = sizeof data, type = 0;
    int32_t rc = view->QueryValue(key, value, &type, data, &size);
    view->CloseKey(key);
    if (rc != 0 || type != plat::kRegSz || size == 0 || data[size - 1] != '\0') return "(bad value)";
    return data;
  }

  testing_support::TempDir root;
  testing_support::TempDir logDir;
  std::unique_ptr<plat::Registry> view;
};

TEST_F(SysfsViewTest, DeviceMapListsEveryTtyWithADeviceBehindIt) {
  plat::SetRegistry(view.get());
  EXPECT_EQ(GetAvailableComPorts(), "'ttyACM0''ttyS0''ttyUSB0'");
  plat::SetRegistry(nullptr);
}

TEST_F(SysfsViewTest, UsbRecordsHoldEveryPortUnderItsDeviceAndInterfaceKeys) {
  const std::string usb = "SYSTEM\\CurrentControlSet\\Enum\\USB";
  EXPECT_EQ(SubKeys(usb), (Lines{"VID_0403&PID_6001", "VID_0403&PID_6001&MI_00", "VID_3A7C&PID_0101",
                                 "VID_3A7C&PID_0101&MI_00"}));
  // Instances are named by serial number, or by the interface without one.
  EXPECT_EQ(SubKeys(usb + "\\Vid_3a7c&Pid_0101"), (Lines{"KR0001"}));
  EXPECT_EQ(SubKeys(usb + "\\vid_0403&pid_6001&mi_00"), (Lines{"1-3:1.0"}));
  EXPECT_EQ(Text(usb + "\\VID_3A7C&PID_0101\\kr0001", "FriendlyName"), "Kelvo Robot (ttyACM0)");
  EXPECT_EQ(Text(usb + "\\VID_3A7C&PID_0101\\KR0001\\Device Parameters", "PortName"), "ttyACM0");
  EXPECT_EQ(Text(usb + "\\VID_0403&PID_6001\\1-3:1.0", "FriendlyName"), "USB Serial Device (ttyUSB0)");
  EXPECT_EQ(Text(usb + "\\VID_0403&PID_6001\\1-3:1.0\\device parameters", "portname"), "ttyUSB0");
  EXPECT_EQ(SubKeys(usb + "\\VID_1234&PID_5678"), (Lines{"(no key)"}));
}

TEST_F(SysfsViewTest, DiscoveryFindsBothDevicesUpperCased) {
  plat::SetRegistry(view.get());
  EXPECT_STREQ(GetRobotComPort(kMakerUsbVendorId, kRobotUsbProductId, kRobotUsbInterface), "TTYACM0");
  EXPECT_STREQ(GetRobotComPort(0x0403, 0x6001, 0), "TTYUSB0");
  EXPECT_EQ(GetRobotComPort(0x0403, 0x6001, 1), nullptr);
  plat::SetRegistry(nullptr);
}

TEST_F(SysfsViewTest, TreeIsReadAfreshAtEveryOpen) {
  plat::SetRegistry(view.get());
  ASSERT_NE(GetRobotComPort(kMakerUsbVendorId, kRobotUsbProductId, -1), nullptr);
  fs::remove(fs::path(root.path()) / "class/tty/ttyACM0");  // unplugged
  EXPECT_EQ(GetAvailableComPorts(), "'ttyS0''ttyUSB0'");
  EXPECT_EQ(GetRobotComPort(kMakerUsbVendorId, kRobotUsbProductId, -1), nullptr);
  plat::SetRegistry(nullptr);
}

TEST_F(SysfsViewTest, ViewIsReadOnlyAndAnswersLikeTheRegistry) {
  plat::RegKey key = 0;
  EXPECT_EQ(view->OpenKey(plat::kHkeyLocalMachine, "HARDWARE\\DEVICEMAP\\SERIALCOMM", true, &key), 5);
  EXPECT_EQ(view->CreateKey(plat::kHkeyLocalMachine, "SOFTWARE\\x", &key), 5);
  EXPECT_EQ(view->OpenKey(plat::kHkeyLocalMachine, "HARDWARE\\DEVICEMAP\\NOPE", false, &key), 2);
  ASSERT_EQ(view->OpenKey(plat::kHkeyLocalMachine, "hardware\\devicemap\\serialcomm", false, &key), 0);
  EXPECT_EQ(view->SetValue(key, "x", plat::kRegSz, "a", 2), 5);
  char name[260], data[260];
  uint32_t nameSize = 3, dataSize = sizeof data, type = 0;
  EXPECT_EQ(view->EnumValue(key, 0, name, &nameSize, &type, data, &dataSize), 234);
  nameSize = sizeof name;
  dataSize = 4;
  EXPECT_EQ(view->EnumValue(key, 0, name, &nameSize, &type, data, &dataSize), 234);
  EXPECT_EQ(dataSize, 8u);  // "ttyACM0" and its zero
  nameSize = sizeof name;
  dataSize = sizeof data;
  EXPECT_EQ(view->EnumValue(key, 3, name, &nameSize, &type, data, &dataSize), 259);
  EXPECT_EQ(view->CloseKey(key), 0);
  EXPECT_EQ(view->CloseKey(key), 6);
}

}  // namespace
}  // namespace robot_test
