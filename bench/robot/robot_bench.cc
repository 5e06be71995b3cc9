// Robot link benchmarks over a pseudo-terminal with the emulated robot:
//  1. send round trip (discovery, write, answer up to 0x1A) against its
//     floor: the port's 100 ms read window, which every answer read waits
//     out as on Windows, plus the robot's own answer time (a bare write and
//     a read that ends at the first bytes, on the same port);
//  2. upload of an 8 MiB image against a raw write of the same bytes to the
//     same port (the same exchange with the image and sum in one write),
//     drained by the robot at full speed both times: first with no session
//     bus, so the desktop is told nothing, then, when the bench runs in a
//     session with a notification service (robot_bench_desktop.sh starts
//     dunst on a bus of its own), with every upload shown there.
// Prints figures and ratios; measures, never judges.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "platform/memory.h"
#include "platform/registry.h"
#include "platform/serial.h"
#include "platform/system.h"
#include "robot/robot_identity.h"
#include "robot/serial_io.h"
#include "robot_emulator/memory_registry.h"
#include "robot_emulator/robot_emulator.h"
#include "script/robot_commands.h"
#include "script/run_state.h"

namespace {

using Clock = std::chrono::steady_clock;

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

double Percentile(std::vector<double> values, double p) {
  std::sort(values.begin(), values.end());
  size_t at = static_cast<size_t>(p * static_cast<double>(values.size() - 1) + 0.5);
  return values[at];
}

// The robot's own answer time: one command written and its answer read
// without any of the program's logic, on a port whose reads end at the
// first bytes (ReadIntervalTimeout and ReadTotalTimeoutMultiplier MAXDWORD).
double BareRoundTrip(plat::SerialHandle port) {
  auto start = Clock::now();
  plat::SerialPort& serial = plat::serial();
  uint32_t done = 0;
  serial.Write(port, "getversion\r", 11, &done);
  char buffer[256];
  for (int reads = 0; reads < 100; ++reads) {
    uint32_t got = 0;
    if (!serial.Read(port, buffer, sizeof buffer, &got)) break;
    if (got > 0 && std::memchr(buffer, 0x1A, got)) break;
  }
  return Ms(Clock::now() - start);
}

void SendRoundTrip() {
  const int kBareRounds = 300, kSendRounds = 50;
  const double kReadWindowMs = 100;
  std::vector<double> send, bare;
  if (CheckRobotCom() != CommandStatus::OK) return;
  const plat::SerialLineSettings line = {9600,  8,     0,     0,     true,  false, false, false, plat::kDtrControlEnable,
                                         false, false, false, false, false, true,  plat::kRtsControlDisable, false};
  const plat::SerialTimeouts firstBytes = {0xFFFFFFFFu, 0xFFFFFFFFu, 1000, 10, 100};
  if (!plat::serial().Configure(RobotPort.handle, line, firstBytes, plat::kEventRxChar | plat::kEventTxEmpty)) {
    std::printf("configuring the bare port failed\n");
    return;
  }
  for (int i = 0; i < kBareRounds; ++i) bare.push_back(BareRoundTrip(RobotPort.handle));
  CloseRobotPort();  // the sends open it again with the robot's own time-outs
  for (int i = 0; i < kSendRounds; ++i) {
    auto start = Clock::now();
    if (doSend("send getversion", "getversion") != CommandStatus::OK) {
      std::printf("send failed at round %d\n", i);
      return;
    }
    send.push_back(Ms(Clock::now() - start));
    ReleaseBuffer(&RobotDataBuffer);
  }
  CloseRobotPort();
  double median = Percentile(send, 0.5), p99 = Percentile(send, 0.99);
  double answer = Percentile(bare, 0.5);
  double floor = kReadWindowMs + answer;
  std::printf("send round trip (%d rounds): median %.3f ms, p99 %.3f ms\n", kSendRounds, median, p99);
  std::printf("robot's own answer time (%d bare rounds): median %.3f ms, p99 %.3f ms\n", kBareRounds, answer,
              Percentile(bare, 0.99));
  std::printf("floor (%.0f ms read window + answer time): %.3f ms; ratio send/floor: median %.3f, p99 %.3f\n",
              kReadWindowMs, floor, median / floor, p99 / floor);
}

// Reads until the byte comes (or the port fails).
bool AwaitByte(plat::SerialHandle port, char awaited) {
  for (int reads = 0; reads < 600; ++reads) {
    char byte = 0;
    uint32_t got = 0;
    if (!plat::serial().Read(port, &byte, 1, &got)) return false;
    if (got == 1 && byte == awaited) return true;
  }
  return false;
}

// The same exchange with none of the program's logic: the line, ENQ, the
// image and its sum in one raw write, ACK. The robot drains both the same way.
bool RawUpload(const std::string& image) {
  plat::SerialHandle port = RobotPort.handle;
  std::string line = "Upload bench reboot Size " + std::to_string(image.size() + 4) + "\r";
  uint32_t sum = 0;
  for (char c : image) sum += static_cast<uint8_t>(c);
  std::string payload = image;
  for (int i = 0; i < 4; ++i) payload += static_cast<char>(sum >> (8 * i));
  uint32_t written = 0;
  if (!plat::serial().Write(port, line.data(), static_cast<uint32_t>(line.size()), &written)) return false;
  if (!AwaitByte(port, robot_emulator::kEnq)) return false;
  if (!plat::serial().Write(port, payload.data(), static_cast<uint32_t>(payload.size()), &written) ||
      written != payload.size()) {
    return false;
  }
  return AwaitByte(port, robot_emulator::kAck);
}

// noBus: a session bus address where nothing listens; session: the
// session's own (empty when the bench runs outside a session).
void UploadThroughput(const std::string& noBus, const std::string& session) {
  const int32_t kSize = 8 * 1024 * 1024;
  std::string image(static_cast<size_t>(kSize), '\0');
  for (int32_t i = 0; i < kSize; ++i) image[static_cast<size_t>(i)] = static_cast<char>((i * 131) >> 3);
  pFileRxBuffer = static_cast<char*>(plat::Alloc(static_cast<size_t>(kSize) + 1));
  std::memcpy(pFileRxBuffer, image.data(), image.size());
  pFileRxBuffer[kSize] = '\0';
  FileRxSize = kSize;

  // Raw write, upload with no bus, upload shown by the session's
  // notification service: taken in turns, with the first of each round
  // rotating, so that all three see the same load on a shared machine and
  // none gains from another's warm-up.
  enum Kind { kRaw, kNoBus, kShown };
  int kinds = session.empty() ? 2 : 3;
  std::vector<double> times[3];
  for (int round = 0; round < 9; ++round) {
    for (int turn = 0; turn < kinds; ++turn) {
      int kind = (round + turn) % kinds;
      if (kind != kRaw) plat::SetEnv("DBUS_SESSION_BUS_ADDRESS", kind == kShown ? session : noBus);
      if (CheckRobotCom() != CommandStatus::OK) return;
      auto start = Clock::now();
      bool ok = kind == kRaw ? RawUpload(image) : doUpload("upload bench reboot", "bench reboot") == CommandStatus::OK;
      times[kind].push_back(Ms(Clock::now() - start));
      CloseRobotPort();
      if (!ok) {
        std::printf("%s failed\n", kind == kRaw ? "raw write" : "upload");
        return;
      }
    }
  }
  double raw = Percentile(times[kRaw], 0.5);
  std::printf("raw write of 8 MiB (median of %zu): %.1f ms (%.1f MiB/s)\n", times[kRaw].size(), raw,
              8 * 1000.0 / raw);
  const char* names[] = {"", "without a notification service", "with the session's notification service"};
  for (int kind = kNoBus; kind < kinds; ++kind) {
    double median = Percentile(times[kind], 0.5);
    std::printf("upload of 8 MiB %s (median of %zu): %.1f ms (%.1f MiB/s)\n", names[kind], times[kind].size(),
                median, 8 * 1000.0 / median);
    std::printf("ratio upload/raw throughput %s: %.2f (target: at least 0.9)\n", names[kind], raw / median);
  }
  if (session.empty()) {
    std::printf("no session bus: bench/robot/robot_bench_desktop.sh measures with a notification service too\n");
  }
}

}  // namespace

int main() {
  // The upload takes the machine's upload mark; on Linux that is a lock file
  // in the runtime folder, so the bench gets one of its own rather than
  // leaving a lock folder behind on the machine it measures.
  std::error_code ignored;
  std::filesystem::path runtime =
      std::filesystem::temp_directory_path() / ("kelvo-bench-runtime-" + std::to_string(std::random_device()()));
  std::filesystem::create_directories(runtime, ignored);
  std::filesystem::permissions(runtime, std::filesystem::perms::owner_all, ignored);
  plat::SetEnv("XDG_RUNTIME_DIR", runtime.string());

  robot_emulator::Options options;
  options.answers["getversion"] = "KR 1.2.3";
  options.recordTraffic = false;
  robot_emulator::Emulator robot(options);
  if (!robot.Start()) {
    std::printf("robot_bench: skipped, this system has no pseudo-terminals\n");
    return 0;
  }
  robot_emulator::MemoryRegistry registry;
  registry.AddSerialPort(robot.portName());
  registry.AddUsbInstance(kMakerUsbVendorId, kRobotUsbProductId, kRobotUsbInterface, "BENCH", robot.portName());
  plat::SetRegistry(&registry);

  SendRoundTrip();
  std::string session;
  if (!plat::GetEnv("DBUS_SESSION_BUS_ADDRESS", &session)) session.clear();
  UploadThroughput("unix:path=" + (runtime / "no-bus-here").string(), session);

  ReleaseRunResources();
  plat::SetRegistry(nullptr);
  std::filesystem::remove_all(runtime, ignored);
  return 0;
}
