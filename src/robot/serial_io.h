// The one serial connection to the robot and everything that goes over it:
// the connection check, opening with the fixed line settings, writing with a
// stall time-out, and reading the robot's answers into RobotDataBuffer.
#pragma once
#include <cstdint>

#include "platform/serial.h"
#include "script/run_state.h"

struct RobotPortState {
  plat::SerialHandle handle;  // plat::kInvalidSerial while closed
  char name[32];              // the port it was opened on; meaningful while open
};

// Closed at start.
extern RobotPortState RobotPort;

constexpr int32_t kWriteBlockSize = 8192;
constexpr int64_t kWriteStallSeconds = 15;
constexpr uint32_t kWriteRetrySleepMs = 10;
constexpr int kAnswerIdleReads = 150;
constexpr uint32_t kAnswerReadSleepMs = 100;
constexpr char kAnswerEndByte = 0x1A;

bool RobotPortIsOpen();
// Closes the handle and marks the port closed (the name stays). Nothing when closed.
void CloseRobotPort();

// OK when RobotPort is open on the port where the robot is now, opening it
// if needed; otherwise RobotDisconnected. Never touches LastError.
CommandStatus CheckRobotCom();

// An open port with the robot's line settings and time-outs, or
// plat::kInvalidSerial. name may be null (taken as empty). Logs nothing.
plat::SerialHandle OpenComPort(const char* name);

// Writes length bytes in blocks of at most 8192, continuing partial writes,
// giving up after 15 seconds without progress. checksumOut, when given, gets
// the 32-bit sum of the bytes before anything is written. False on failure
// (logged); the platform's last error then holds the failing call's code.
bool WriteComPort(int32_t* checksumOut, const void* data, int32_t length, plat::SerialHandle port);

// One read of at most size bytes. False after logging when the read fails.
bool ReadComPort(plat::SerialHandle port, void* buffer, uint32_t size, uint32_t* bytesRead);

// Appends the robot's answer, up to and including the read that holds 0x1A,
// to RobotDataBuffer: OK, Timeout (150 empty reads in a row) or LocalError.
CommandStatus CollectRobotDataFromPort();

// Appends one received byte to RobotDataBuffer (dropped when it can't grow).
void CollectRobotDataByte(uint8_t value);

// Told about every write that made progress (bytes written so far of the
// whole length) while set; the upload sets it to show its progress.
typedef void (*WriteProgressHandler)(int32_t written, int32_t total);
extern WriteProgressHandler ComWriteProgress;
