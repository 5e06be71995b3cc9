// Finding the robot's serial port from its USB identity, using the registry
// alone: the serial ports that exist now, and the port name recorded for
// every instance of the robot's USB device that was ever attached.
#pragma once
#include <string>

// Every present serial port name between apostrophes, in the registry's
// order ('COM3''COM4''COM10'); empty when there is none or the device map
// can't be read.
std::string GetAvailableComPorts();

// The upper-cased name of the port on which a device of this identity is
// present now (interfaceNumber -1: none), or null. The text lives in a
// process-wide buffer that the next call overwrites; callers copy it.
const char* GetRobotComPort(int vendorId, int productId, int interfaceNumber);
