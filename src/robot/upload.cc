#include "robot/upload.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "log/log.h"
#include "platform/clock.h"
#include "platform/errors.h"
#include "platform/mark.h"
#include "robot/serial_io.h"
#include "robot/upload_progress.h"
#include "script/run_state.h"

bool ShowUploadProgress = false;
const char kUploadMarkName[] = "Upload";

namespace {

constexpr uint8_t kEnq = 0x05;
constexpr uint8_t kAck = 0x06;
constexpr int64_t kHandshakeSeconds = 15;

struct ProgressState {
  int64_t start;
  int lastPercent;
};
ProgressState Progress = {0, -1};

// A firmware image takes minutes at 9600 baud; the person at the PC sees
// that it moves: on the desktop, and on the console when there is one (one
// line, rewritten in place). Nothing goes to the log.
void ShowProgress(int32_t written, int32_t total) {
  int percent = total > 0 ? static_cast<int>(static_cast<int64_t>(written) * 100 / total) : 100;
  if (percent == Progress.lastPercent && written != total) return;
  Progress.lastPercent = percent;
  UploadProgressPercent(percent);
  if (!ShowUploadProgress) return;
  int64_t seconds = plat::clock().NowSeconds() - Progress.start;
  long long rate = seconds > 0 ? written / seconds : written;
  std::printf("\rUploading: %d of %d bytes (%d%%), %lld bytes/s   ", written, total, percent, rate);
  std::fflush(stdout);
}

// Reads byte by byte until the awaited one arrives, collecting everything.
// The limit counts from since; a byte read in the pass that reaches it is
// still collected, and the wait still fails.
bool AwaitHandshake(uint8_t awaited, int64_t since, const char* readFailure, const char* timedOut) {
  uint8_t last = 0xFF;
  for (;;) {
    uint8_t byte = 0;
    uint32_t got = 0;
    if (!ReadComPort(RobotPort.handle, &byte, 1, &got)) {
      LogWrite("%s", readFailure);
      return false;
    }
    if (got > 0) {
      CollectRobotDataByte(byte);
      last = byte;
    }
    if (plat::clock().NowSeconds() - since > kHandshakeSeconds) {
      LogWrite("%s", timedOut);
      return false;
    }
    if (last == awaited) return true;
  }
}

bool WriteImage(int32_t* checksum) {
  Progress.start = plat::clock().NowSeconds();
  Progress.lastPercent = -1;
  ComWriteProgress = ShowProgress;
  bool ok = WriteComPort(checksum, pFileRxBuffer, FileRxSize, RobotPort.handle);
  ComWriteProgress = nullptr;
  if (ShowUploadProgress) {
    std::fputs("\n", stdout);
    std::fflush(stdout);
  }
  return ok;
}

// How long an upload waits for the mark. A copy ending others holds it for a
// few seconds at most, and ends this copy before it lets go (this copy is
// older: a newer one would have ended the holder first). A holder that keeps
// it longer is no copy of ours and must not hold the robot's update back.
constexpr int kUploadMarkWaitSeconds = 5;

// Holding the mark tells a copy started later not to end this one.
plat::Mark* TakeMarkForUpload() {
  int waited = -1;
  bool busy = false;
  plat::Mark* mark =
      TakeUploadMark("WARNING: sendFile - another copy holds the upload mark, waiting for it\n",
                     kUploadMarkWaitSeconds, &waited, &busy);
  if (!mark && busy) {
    LogWrite("WARNING: sendFile - the upload mark is still held after %d seconds, "
             "a copy started now could end this upload\n",
             waited);
    return nullptr;
  }
  if (!mark) {
    // The image still goes: refusing it would not make the robot safer.
    LogWrite("WARNING: sendFile - the upload mark can't be taken (error %d), "
             "a copy started now could end this upload\n",
             plat::LastErrorCode());
    return nullptr;
  }
  if (waited >= 0) LogWrite("WARNING: sendFile - upload mark taken after %d seconds\n", waited);
  return mark;
}

bool SendImage(plat::SerialHandle port);

bool SendMarked(const char* argumentText) {
  plat::Clock& clock = plat::clock();
  int64_t start = clock.NowSeconds();
  LogWrite("sendFile - file size = %d bytes\n", FileRxSize);

  // The announced size counts the 4-byte sum that follows the image.
  char sizeText[128];
  std::snprintf(sizeText, sizeof sizeText, " Size %lld\r", static_cast<long long>(FileRxSize) + 4);
  sizeText[sizeof sizeText - 1] = '\0';

  plat::SerialHandle port = RobotPort.handle;
  if (!WriteComPort(nullptr, "Upload ", 7, port)) {
    LogWrite("ERROR - Failed to write upload command\n");
    return false;
  }
  if (!WriteComPort(nullptr, argumentText, static_cast<int32_t>(std::strlen(argumentText)), port)) {
    LogWrite("ERROR - Failed to write [code reboot]\n");
    return false;
  }
  if (!WriteComPort(nullptr, sizeText, static_cast<int32_t>(std::strlen(sizeText)), port)) {
    LogWrite("ERROR - Failed to write size\n");
    return false;
  }

  // The ENQ wait counts from the start, the command's writes included.
  if (!AwaitHandshake(kEnq, start, "ERROR - Failed to read robot data while reading ENQ\n",
                      "ERROR - sendFile: Timed out while reading ENQ\n")) {
    return false;
  }

  // From here to the ACK or the failure the desktop shows the upload.
  UploadProgressBegin();
  bool taken = SendImage(port);
  UploadProgressEnd(taken);
  return taken;
}

// The image and its sum after ENQ, and the wait for ACK.
bool SendImage(plat::SerialHandle port) {
  plat::Clock& clock = plat::clock();
  int64_t transferStart = clock.NowSeconds();
  int32_t checksum = 0;
  if (!WriteImage(&checksum)) {
    LogWrite("ERROR - Failed to send the file to robot.\n");
    return false;
  }

  LogWrite("Writing checksum = %d\n", checksum);
  uint32_t sum = static_cast<uint32_t>(checksum);
  const uint8_t sumBytes[4] = {static_cast<uint8_t>(sum), static_cast<uint8_t>(sum >> 8),
                               static_cast<uint8_t>(sum >> 16), static_cast<uint8_t>(sum >> 24)};
  if (!WriteComPort(nullptr, sumBytes, 4, port)) {
    LogWrite("ERROR - Failed to write checksum\n");
    return false;
  }

  int64_t now = clock.NowSeconds();
  LogWrite("Sending file to robot took: %d seconds\n", static_cast<int>(now - transferStart));
  return AwaitHandshake(kAck, now, "ERROR - Failed to read Robot data while reading ACK\n",
                        "ERROR - sendFile timed out while reading ACK\n");
}

}  // namespace

plat::Mark* TakeUploadMark(const char* busyLine, int limitSeconds, int* waitedSeconds, bool* busy) {
  *waitedSeconds = -1;
  *busy = false;
  std::vector<std::string> refused;
  plat::Mark* mark = plat::OpenMark(kUploadMarkName, &refused);
  int32_t openError = plat::LastErrorCode();
  for (const std::string& place : refused) {
    LogWrite("WARNING: sendFile - the upload mark is not the user's own, passed by: %s\n", place.c_str());
  }
  if (!mark) {
    plat::SetLastErrorCode(openError);
    return nullptr;
  }
  plat::MarkTake take = plat::TakeMark(mark, 0);
  if (take == plat::MarkTake::Busy) {
    LogWrite("%s", busyLine);
    int64_t since = plat::clock().NowSeconds();
    for (int round = 0; take == plat::MarkTake::Busy && round < limitSeconds; ++round) {
      take = plat::TakeMark(mark, 1000);
    }
    *waitedSeconds = static_cast<int>(plat::clock().NowSeconds() - since);
  }
  if (take != plat::MarkTake::Taken) {
    *busy = take == plat::MarkTake::Busy;
    int32_t error = plat::LastErrorCode();
    plat::CloseMark(mark);
    plat::SetLastErrorCode(error);
    return nullptr;
  }
  return mark;
}

bool sendFile(const char* argumentText) {
  // From the upload command line to the end of the ACK wait, whichever way it ends.
  plat::Mark* mark = TakeMarkForUpload();
  bool sent = SendMarked(argumentText);
  plat::CloseMark(mark);
  return sent;
}
