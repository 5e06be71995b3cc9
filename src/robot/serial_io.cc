#include "robot/serial_io.h"

#include <cstring>

#include "log/log.h"
#include "platform/clock.h"
#include "platform/errors.h"
#include "robot/port_discovery.h"
#include "robot/robot_identity.h"

RobotPortState RobotPort = {plat::kInvalidSerial, {0}};
WriteProgressHandler ComWriteProgress = nullptr;

namespace {

const plat::SerialLineSettings kRobotLine = {
    9600,                     // baudRate
    8,                        // byteSize
    0,                        // parity: none
    0,                        // stopBits: one
    true,                     // binary
    false,                    // parityCheck
    false,                    // outxCtsFlow
    false,                    // outxDsrFlow
    plat::kDtrControlEnable,  // DTR raised while open
    false,                    // dsrSensitivity
    false,                    // txContinueOnXoff
    false,                    // outX
    false,                    // inX
    false,                    // errorChar
    true,                     // discardNulls: received zero bytes are dropped
    plat::kRtsControlDisable, // RTS low
    false,                    // abortOnError
};

// Every read returns within about 100 ms, with nothing if nothing came; a
// write of n bytes may take 10 x n + 100 ms.
const plat::SerialTimeouts kRobotTimeouts = {100, 0, 100, 10, 100};

constexpr uint32_t kRobotEventMask = plat::kEventRxChar | plat::kEventTxEmpty;

// RobotDataBuffer's growth rule: whenever 128 bytes or fewer are free, grow
// by 1024. On failure the buffer is empty and LastError is 8.
bool KeepRobotDataRoom() {
  if (BufferFree(RobotDataBuffer) > kBufferLowWater) return true;
  if (GrowBuffer(&RobotDataBuffer)) return true;
  LastError = plat::kErrorNotEnoughMemory;
  return false;
}

}  // namespace

bool RobotPortIsOpen() { return RobotPort.handle != plat::kInvalidSerial; }

void CloseRobotPort() {
  if (!RobotPortIsOpen()) return;
  plat::serial().Close(RobotPort.handle);
  RobotPort.handle = plat::kInvalidSerial;
}

CommandStatus CheckRobotCom() {
  const char* found = GetRobotComPort(kMakerUsbVendorId, kRobotUsbProductId, kRobotUsbInterface);
  if (!found) found = GetRobotComPort(kModuleUsbVendorId, kModuleUsbProductId, kModuleUsbInterface);
  if (!found) {
    CloseRobotPort();
    return CommandStatus::RobotDisconnected;
  }
  if (!RobotPortIsOpen()) {
    std::strncpy(RobotPort.name, found, sizeof RobotPort.name - 1);
    RobotPort.name[sizeof RobotPort.name - 1] = '\0';
    RobotPort.handle = OpenComPort(RobotPort.name);
    return RobotPortIsOpen() ? CommandStatus::OK : CommandStatus::RobotDisconnected;
  }
  // The robot moved to another port: let go of the old one now; the next
  // check opens the new one.
  if (std::strcmp(found, RobotPort.name) != 0) {
    CloseRobotPort();
    return CommandStatus::RobotDisconnected;
  }
  return CommandStatus::OK;
}

plat::SerialHandle OpenComPort(const char* name) {
  plat::SerialPort& serial = plat::serial();
  plat::SerialHandle port = serial.Open(name ? name : "");
  if (port == plat::kInvalidSerial) return plat::kInvalidSerial;
  if (!serial.Configure(port, kRobotLine, kRobotTimeouts, kRobotEventMask)) {
    int32_t code = plat::LastErrorCode();
    serial.Close(port);
    plat::SetLastErrorCode(code);
    return plat::kInvalidSerial;
  }
  return port;
}

bool WriteComPort(int32_t* checksumOut, const void* data, int32_t length, plat::SerialHandle port) {
  const uint8_t* bytes = static_cast<const uint8_t*>(data);
  uint32_t sum = 0;
  for (int32_t i = 0; i < length; ++i) sum += bytes[i];
  if (checksumOut) *checksumOut = static_cast<int32_t>(sum);

  plat::Clock& clock = plat::clock();
  int64_t lastProgress = clock.NowSeconds();
  int32_t done = 0;
  while (done < length) {
    int32_t block = length - done < kWriteBlockSize ? length - done : kWriteBlockSize;
    uint32_t written = 0;
    if (!plat::serial().Write(port, bytes + done, static_cast<uint32_t>(block), &written)) {
      LogWrite("ERROR: WriteComPort - WriteFile failed\n");
      return false;
    }
    if (written > 0) {
      done += static_cast<int32_t>(written);
      lastProgress = clock.NowSeconds();
      if (ComWriteProgress) ComWriteProgress(done, length);
      continue;
    }
    if (clock.NowSeconds() - lastProgress > kWriteStallSeconds) {
      LogWrite("ERROR: WriteComPort timed out while sending data to robot\n");
      return false;
    }
    clock.Sleep(kWriteRetrySleepMs);
  }
  return true;
}

bool ReadComPort(plat::SerialHandle port, void* buffer, uint32_t size, uint32_t* bytesRead) {
  *bytesRead = 0;
  if (!plat::serial().Read(port, buffer, size, bytesRead)) {
    LogWrite("ERROR: ReadComPort - ReadFile failed\n");
    return false;
  }
  return true;
}

CommandStatus CollectRobotDataFromPort() {
  if (!RobotDataBuffer.begin && !GrowBuffer(&RobotDataBuffer)) {
    LastError = plat::kErrorNotEnoughMemory;
    return CommandStatus::LocalError;
  }
  int idleReads = kAnswerIdleReads;
  bool endSeen = false;
  for (;;) {
    uint32_t got = 0;
    if (!ReadComPort(RobotPort.handle, RobotDataBuffer.position,
                     static_cast<uint32_t>(BufferFree(RobotDataBuffer)), &got)) {
      LastError = plat::LastErrorCode();
      return CommandStatus::LocalError;
    }
    if (got > 0) {
      idleReads = kAnswerIdleReads;
      if (std::memchr(RobotDataBuffer.position, kAnswerEndByte, got)) endSeen = true;
      RobotDataBuffer.position += got;
      if (!KeepRobotDataRoom()) return CommandStatus::LocalError;
      if (endSeen) return CommandStatus::OK;
      continue;
    }
    if (--idleReads <= 0) return CommandStatus::Timeout;
    plat::clock().Sleep(kAnswerReadSleepMs);
  }
}

void CollectRobotDataByte(uint8_t value) {
  if (!KeepRobotDataRoom()) return;  // the byte is dropped with the emptied buffer
  *RobotDataBuffer.position++ = static_cast<char>(value);
}
