// A robot on the far end of a pseudo-terminal, for tests, benchmarks and
// trials by hand. It answers text commands ended by CR with canned text and
// 0x1A, and takes images by the upload exchange (the "Upload ... Size N"
// line, ENQ, N bytes whose last 4 are the little-endian sum of the others,
// ACK). Its misbehaviours are switched on by Options. Linux only: where the
// system has no pseudo-terminals, Start() answers false.
#pragma once
#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/serial.h"

namespace robot_emulator {

constexpr char kEnd = 0x1A;
constexpr char kEnq = 0x05;
constexpr char kAck = 0x06;

struct Options {
  // Answer text by command (the line without its CR); 0x1A is added.
  std::map<std::string, std::string> answers;
  // For any other command.
  std::string defaultAnswer = "OK";
  // Commands that get no answer at all.
  std::set<std::string> unanswered;
  // Never answers anything, uploads included.
  bool silent = false;
  // Sends each command line (CR included) back before its answer, and the
  // upload line back before ENQ.
  bool echo = false;
  // Bytes sent after 0x1A in the same write.
  std::string afterEnd;
  // Sent in a write of its own, lateMs after the answer to the command that
  // is its key: the rest of an answer that comes late (TAIL\r\n), or an
  // unsolicited note, which carries its own 0x1A.
  std::map<std::string, std::string> late;
  int lateMs = 20;
  // Sends the answer one byte at a time with this pause.
  int dripMs = 0;
  // Hangs up after sending this many bytes of an answer (-1: never). It
  // lingers 200 ms first: a hang-up discards whatever the other end hasn't
  // read yet, and the point is to see what was read kept.
  int hangUpAfterAnswerBytes = -1;

  // Upload: the pause before ENQ, whether ENQ comes at all, a hang-up after
  // this many received image bytes (-1: never), the byte sent once the image
  // and a matching sum are in (-1: nothing). A wrong sum gets no answer.
  int enqDelayMs = 0;
  bool sendEnq = true;
  // Takes the image no faster than this many bytes a second (0: as fast as
  // it comes), as a robot behind a 9600-baud serial line does.
  int imageBytesPerSecond = 0;
  int hangUpAfterImageBytes = -1;
  int ackByte = kAck;
  // After the ACK, unless the upload line asks for a reboot: this and 0x1A.
  std::string uploadAnswer = "Upload complete";
  // Keep a copy of every byte received (off for large benchmark images).
  bool recordTraffic = true;
};

struct UploadRecord {
  std::string line;       // the "Upload ..." line, CR included
  int64_t announced = 0;  // the size it announced
  int64_t received = 0;   // bytes received after ENQ
  uint32_t sum = 0;       // the sum sent after the image
  bool sumMatches = false;
  std::string image;      // the image bytes (when traffic is recorded)
};

class Emulator {
 public:
  explicit Emulator(const Options& options);
  ~Emulator();
  Emulator(const Emulator&) = delete;
  Emulator& operator=(const Emulator&) = delete;

  // Opens the pseudo-terminal and starts serving it on a thread.
  bool Start();
  // Stops serving and hangs up. Done by the destructor too.
  void Stop();
  // Hangs up now, as an unplugged robot does.
  void HangUp();

  // What plat::SerialPort::Open takes to reach the robot ("pts/3"), and the
  // device's full path ("/dev/pts/3").
  const std::string& portName() const { return portName_; }
  const std::string& devicePath() const { return devicePath_; }

  // Everything received so far, and the command lines (without CR).
  std::string Received();
  std::vector<std::string> Commands();
  std::vector<UploadRecord> Uploads();
  // Waits up to timeoutMs until count command lines or uploads have come in.
  bool WaitForCommands(size_t count, int timeoutMs);
  bool WaitForUploads(size_t count, int timeoutMs);
  // While draining, everything received is counted and dropped unread, at
  // full speed (a baseline for throughput measurements).
  void SetDraining(bool draining) { draining_ = draining; }
  // Bytes received since the start, drained ones included.
  int64_t BytesReceived() const { return bytesReceived_; }
  // Called for each event with a one-line description (for the command line tool).
  void SetReporter(void (*reporter)(const std::string& event));

 private:
  void Serve();
  void OnLine(const std::string& line);
  void OnImageBytes(const char* data, size_t size);
  bool Send(const std::string& bytes);
  void SendAnswer(const std::string& bytes);
  void DoHangUp();
  void Report(const std::string& event);
  bool Pause(int ms);

  Options options_;
  plat::PseudoTerminal* pty_ = nullptr;
  std::string portName_;
  std::string devicePath_;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> hangUp_{false};
  std::atomic<bool> draining_{false};
  std::atomic<int64_t> bytesReceived_{0};
  bool hungUp_ = false;

  // Upload in progress (served thread only).
  bool inImage_ = false;
  int64_t imageExpected_ = 0;
  UploadRecord current_;
  std::string sumBytes_;
  uint32_t imageSum_ = 0;

  std::string line_;
  std::mutex mutex_;
  std::string received_;
  std::vector<std::string> commands_;
  std::vector<UploadRecord> uploads_;
  void (*reporter_)(const std::string&) = nullptr;
};

}  // namespace robot_emulator
