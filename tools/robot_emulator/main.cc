// robot_emulator: a robot on a pseudo-terminal, to try the updater by hand.
//   robot_emulator [--answer CMD=TEXT]... [--default TEXT] [--silent] [--echo]
//                  [--after-end TEXT] [--drip MS] [--enq-delay MS] [--no-enq]
//                  [--ack HEX|none] [--hang-up-answer N] [--hang-up-image N]
//                  [--late CMD=TEXT]... [--late-ms MS] [--image-rate BYTES_PER_S]
//                  [--seconds N]
// --late sends TEXT as given (a note needs its own 0x1A: $'NOTE\x1a' in bash)
// --late-ms (default 20) after the answer to CMD.
// It prints the device path to point a serial-port setting at, then every
// command and upload it sees, and stops after --seconds (default 600).
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "robot_emulator.h"

namespace {

void PrintEvent(const std::string& event) {
  std::printf("%s\n", event.c_str());
  std::fflush(stdout);
}

int Usage() {
  std::fprintf(stderr,
               "usage: robot_emulator [--answer CMD=TEXT]... [--default TEXT] [--silent] [--echo]\n"
               "       [--after-end TEXT] [--drip MS] [--enq-delay MS] [--no-enq] [--ack HEX|none]\n"
               "       [--hang-up-answer N] [--hang-up-image N] [--late CMD=TEXT]... [--late-ms MS]\n"
               "       [--image-rate BYTES_PER_S] [--seconds N]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  robot_emulator::Options options;
  int seconds = 600;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    bool hasValue = i + 1 < argc;
    std::string value = hasValue ? argv[i + 1] : "";
    if (arg == "--silent") {
      options.silent = true;
    } else if (arg == "--echo") {
      options.echo = true;
    } else if (arg == "--no-enq") {
      options.sendEnq = false;
    } else if (!hasValue) {
      return Usage();
    } else if (arg == "--answer") {
      size_t eq = value.find('=');
      if (eq == std::string::npos) return Usage();
      options.answers[value.substr(0, eq)] = value.substr(eq + 1);
      ++i;
    } else if (arg == "--late") {
      size_t eq = value.find('=');
      if (eq == std::string::npos) return Usage();
      options.late[value.substr(0, eq)] = value.substr(eq + 1);
      ++i;
    } else if (arg == "--late-ms") {
      options.lateMs = std::atoi(value.c_str()), ++i;
    } else if (arg == "--default") {
      options.defaultAnswer = value, ++i;
    } else if (arg == "--after-end") {
      options.afterEnd = value, ++i;
    } else if (arg == "--drip") {
      options.dripMs = std::atoi(value.c_str()), ++i;
    } else if (arg == "--image-rate") {
      options.imageBytesPerSecond = std::atoi(value.c_str()), ++i;
    } else if (arg == "--enq-delay") {
      options.enqDelayMs = std::atoi(value.c_str()), ++i;
    } else if (arg == "--ack") {
      options.ackByte = value == "none" ? -1 : static_cast<int>(std::strtol(value.c_str(), nullptr, 16)), ++i;
    } else if (arg == "--hang-up-answer") {
      options.hangUpAfterAnswerBytes = std::atoi(value.c_str()), ++i;
    } else if (arg == "--hang-up-image") {
      options.hangUpAfterImageBytes = std::atoi(value.c_str()), ++i;
    } else if (arg == "--seconds") {
      seconds = std::atoi(value.c_str()), ++i;
    } else {
      return Usage();
    }
  }
  options.recordTraffic = false;

  robot_emulator::Emulator emulator(options);
  emulator.SetReporter(PrintEvent);
  if (!emulator.Start()) {
    std::fprintf(stderr, "robot_emulator: this system has no pseudo-terminals\n");
    return 1;
  }
  std::printf("robot on %s (port name %s) for %d seconds\n", emulator.devicePath().c_str(),
              emulator.portName().c_str(), seconds);
  std::fflush(stdout);
  for (int i = 0; i < seconds * 10; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  emulator.Stop();
  return 0;
}
