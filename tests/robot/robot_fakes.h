// Stand-ins for the robot link's tests: a scripted serial port whose empty
// reads take the port's 100 ms read time-out of the test clock (which runs
// only when slept on), so half a minute of silence passes in microseconds. Plus a fixture that puts them (and an in-memory registry
// with a robot on COM3) in place and gives each test its own log file.
#pragma once
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <deque>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "log/log.h"
#include "platform/clock.h"
#include "platform/errors.h"
#include "platform/memory.h"
#include "platform/registry.h"
#include "platform/serial.h"
#include "robot/robot_identity.h"
#include "robot/serial_io.h"
#include "robot/upload.h"
#include "robot_emulator/memory_registry.h"
#include "script/run_state.h"
#include "support/fake_clock.h"
#include "support/test_support.h"

namespace robot_test {

using testing_support::FakeClock;

// Time since the clock was made, in milliseconds.
inline int64_t ElapsedMs(const FakeClock& clock) { return clock.nowMs - FakeClock().nowMs; }

// How many sleeps of that length the clock saw.
inline int SleepsOf(const FakeClock& clock, uint32_t ms) {
  int n = 0;
  for (uint32_t s : clock.sleeps) n += s == ms ? 1 : 0;
  return n;
}

class FakeSerial : public plat::SerialPort {
 public:
  explicit FakeSerial(FakeClock* clock) : clock_(clock) {}

  struct ReadStep {
    std::string bytes;
    int64_t notBeforeMs = 0;  // reads before this time (ElapsedMs) come back empty
    int32_t failCode = 0;     // non-zero: this read fails with the code
    int64_t takesMs = 0;      // the read waits this long before the bytes come
  };
  void Answer(const std::string& bytes, int64_t notBeforeMs = 0, int64_t takesMs = 0) {
    reads.push_back({bytes, notBeforeMs, 0, takesMs});
  }
  void FailRead(int32_t code, int64_t notBeforeMs = 0) { reads.push_back({"", notBeforeMs, code, 0}); }

  plat::SerialHandle Open(const char* name) override {
    opened.push_back(name);
    auto failure = openFailures.find(name);
    if (failure != openFailures.end()) {
      plat::SetLastErrorCode(failure->second);
      return plat::kInvalidSerial;
    }
    plat::SerialHandle handle = nextHandle_++;
    open.insert(handle);
    return handle;
  }
  bool Configure(plat::SerialHandle, const plat::SerialLineSettings& s, const plat::SerialTimeouts& t,
                 uint32_t mask) override {
    settings = s;
    timeouts = t;
    eventMask = mask;
    if (configureFailCode) plat::SetLastErrorCode(configureFailCode);
    return configureFailCode == 0;
  }
  bool Read(plat::SerialHandle, void* buffer, uint32_t size, uint32_t* got) override {
    readSizes.push_back(size);
    *got = 0;
    if (reads.empty() || ElapsedMs(*clock_) < reads.front().notBeforeMs) {
      clock_->nowMs += 100;  // the read time-out passes with nothing
      return true;
    }
    ReadStep& step = reads.front();
    clock_->nowMs += step.takesMs;
    step.takesMs = 0;
    if (step.failCode) {
      plat::SetLastErrorCode(step.failCode);
      reads.pop_front();
      return false;
    }
    size_t n = step.bytes.size() < size ? step.bytes.size() : size;
    std::memcpy(buffer, step.bytes.data(), n);
    *got = static_cast<uint32_t>(n);
    step.bytes.erase(0, n);
    if (step.bytes.empty()) reads.pop_front();
    return true;
  }
  bool Write(plat::SerialHandle, const void* data, uint32_t size, uint32_t* put) override {
    writeSizes.push_back(size);
    *put = 0;
    int call = static_cast<int>(writeSizes.size());
    if (call == failWriteAt) {
      plat::SetLastErrorCode(writeFailCode);
      return false;
    }
    if (stallFromWrite && call >= stallFromWrite) return true;
    uint32_t n = size < takePerWrite ? size : takePerWrite;
    written.append(static_cast<const char*>(data), n);
    *put = n;
    return true;
  }
  void Close(plat::SerialHandle handle) override {
    closed.push_back(handle);
    open.erase(handle);
  }

  // Open
  std::map<std::string, int32_t> openFailures;
  int32_t configureFailCode = 0;
  std::vector<std::string> opened;
  std::set<plat::SerialHandle> open;
  std::vector<plat::SerialHandle> closed;
  plat::SerialLineSettings settings{};
  plat::SerialTimeouts timeouts{};
  uint32_t eventMask = 0;
  // Reads: steps in order; when none is left every read is empty.
  std::deque<ReadStep> reads;
  std::vector<uint32_t> readSizes;
  // Writes: the driver takes up to takePerWrite bytes per call; write call
  // number failWriteAt fails; from call stallFromWrite on, nothing is taken.
  std::string written;
  std::vector<uint32_t> writeSizes;
  uint32_t takePerWrite = 0xFFFFFFFFu;
  int failWriteAt = 0;
  int32_t writeFailCode = 0;
  int stallFromWrite = 0;

 private:
  FakeClock* clock_;
  plat::SerialHandle nextHandle_ = 100;
};

// What every robot-link test reads back: its own log, the Robot part so far,
// and an image put in place as getlocal would.
class RobotLinkTest : public ::testing::Test {
 protected:
  std::vector<std::string> Log() {
    return testing_support::LogMessages(testing_support::ReadFileBytes(dir.File("test.log")));
  }

  std::string RobotData() {
    return std::string(RobotDataBuffer.begin ? RobotDataBuffer.begin : "", BufferUsed(RobotDataBuffer));
  }

  // Size bytes and a zero after them.
  void SetImage(const std::string& bytes) {
    if (pFileRxBuffer) plat::Free(pFileRxBuffer);
    pFileRxBuffer = static_cast<char*>(plat::Alloc(bytes.size() + 1));
    std::memcpy(pFileRxBuffer, bytes.data(), bytes.size());
    pFileRxBuffer[bytes.size()] = '\0';
    FileRxSize = static_cast<int32_t>(bytes.size());
  }

  testing_support::TempDir dir;
  // An upload takes the upload mark; the test's own, not the user's.
  testing_support::ScopedEnv runtime{"XDG_RUNTIME_DIR", dir.path()};
};

// Runs each test with the fakes in place, a robot of the first identity on
// COM3, and a log of its own.
class RobotTest : public RobotLinkTest {
 protected:
  RobotTest() : serial(&clock) {}

  void SetUp() override {
    std::snprintf(LogFilePath, sizeof LogFilePath, "%s", dir.File("test.log").c_str());
    registry.AddSerialPort("COM3");
    registry.AddUsbInstance(kMakerUsbVendorId, kRobotUsbProductId, kRobotUsbInterface, "ROBOT0001", "COM3");
    plat::SetRegistry(&registry);
    plat::SetSerial(&serial);
    plat::SetClock(&clock);
    LastError = 0;
  }

  void TearDown() override {
    ReleaseRunResources();
    plat::FailNthAllocation(0);
    plat::SetRegistry(nullptr);
    plat::SetSerial(nullptr);
    plat::SetClock(nullptr);
    LogFilePath[0] = '\0';
    ShowUploadProgress = false;
  }

  FakeClock clock;
  FakeSerial serial;
  robot_emulator::MemoryRegistry registry;
};

}  // namespace robot_test
