// The USB identities a robot shows itself with, in the order the connection
// check tries them.
#pragma once

// First: the maker's own USB vendor id and the robot's product id. These two
// numbers are the maker's; they are defined here and nowhere else.
constexpr int kMakerUsbVendorId = 0x3A7C;
constexpr int kRobotUsbProductId = 0x0101;
// Robots of this identity register their port without an interface suffix.
constexpr int kRobotUsbInterface = -1;

// Second: tried when no robot of the first identity is present; its port is
// recorded under the device's interface 0.
constexpr int kModuleUsbVendorId = 0x04E8;
constexpr int kModuleUsbProductId = 0x6850;
constexpr int kModuleUsbInterface = 0;
