#include "log/log.h"

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <thread>

#include "platform/clock.h"
#include "platform/errors.h"
#include "platform/files.h"

char LogFilePath[kPathMax] = {0};

namespace {
// How long a line waits while another copy of the program holds the log: for
// the moment of its own append, or for a rotation (a copy of the whole log
// and a flush to disk). As long as a starting copy waits to rotate, since a
// rotation under load can take that long; a line that still can't be written
// is kept and goes in ahead of the next one that can (see Pending).
constexpr int kLogWaitMs = 10000;
constexpr int32_t kErrorSharingViolation = 32;

// How long a starting copy waits for another that is rotating the log: a
// copy of 2 MiB and a flush to disk take well under this.
constexpr int kRotateWaitMs = 10000;

// While SetUpLog rotates the log it holds the file against every other copy,
// and its own lines go through that hold.
plat::HeldFile* heldLog = nullptr;

// Lines that met the log held by another program for longer than kLogWaitMs.
// They stay in order in front of the next line written, and whatever is still
// here when the process ends is written then (with one more wait). No
// allocation: a fixed buffer, and a count of the lines that didn't fit it,
// which the log is told of instead.
class Pending {
 public:
  bool Empty() const { return length_ == 0 && overflow_ == 0; }
  void Keep(const char* line) {
    size_t n = std::strlen(line);
    if (overflow_ == 0 && length_ + n < sizeof text_) {
      std::memcpy(text_ + length_, line, n + 1);
      length_ += n;
    } else {
      ++overflow_;
    }
  }
  // Writes the kept lines and then line (which may be null) in one append,
  // waiting up to waitMs for another holder. On failure nothing is written
  // and line is not kept: the caller decides.
  bool WriteWith(const char* line, int waitMs, const char* stamp) {
    char lost[160] = "";
    if (overflow_) {
      std::snprintf(lost, sizeof lost,
                    "%s WARNING: LogWrite - %d lines were lost: another program held the log "
                    "too long.\n",
                    stamp, overflow_);
    }
    // Kept lines, the note of lost ones, then the new line: one append, so
    // a line of another copy never lands between them.
    static char all[sizeof text_ + 160 + 64 + 1 + kLogMessageMax];
    std::snprintf(all, sizeof all, "%s%s%s", text_, lost, line ? line : "");
    if (!AppendWaiting(all, waitMs)) return false;
    length_ = 0;
    text_[0] = '\0';
    overflow_ = 0;
    return true;
  }
  ~Pending() {
    // The process is ending: one last wait for whatever is still kept.
    if (Empty() || LogFilePath[0] == '\0') return;
    // Not the program's clock, which may be gone by now.
    std::time_t now = std::time(nullptr);
    char stamp[64] = "";
    if (const std::tm* t = std::localtime(&now)) {
      std::snprintf(stamp, sizeof stamp, "[%d/%d %d:%.2d:%.2d]", t->tm_mon + 1, t->tm_mday,
                    t->tm_hour, t->tm_min, t->tm_sec);
    }
    WriteWith(nullptr, kLogWaitMs, stamp);
  }

  // Only a collision with another writer is worth waiting for; a log that
  // can't be opened at all fails at once instead of slowing the run.
  static bool AppendWaiting(const char* text, int waitMs) {
    auto giveUp = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
    for (;;) {
      if (plat::AppendTextExclusive(LogFilePath, text)) return true;
      if (plat::LastErrorCode() != kErrorSharingViolation ||
          std::chrono::steady_clock::now() >= giveUp) {
        return false;
      }
      // Not the program's clock: this also runs while the process ends.
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }

 private:
  char text_[65536] = "";
  size_t length_ = 0;
  int overflow_ = 0;
};
Pending pending;

bool IsCreateFolderSuccess(int32_t rc) {
  return rc == 0 || rc == plat::kErrorFileExists || rc == plat::kErrorAlreadyExists;
}

// The backup beside the log: "Backup_" before its file name.
std::string BackupPathOf(const std::string& log) {
  std::string folder = plat::FolderOf(log);
  std::string backupName = "Backup_" + plat::FileNameOf(log);
  return folder.empty() ? backupName : folder + plat::kPathSeparator + backupName;
}
}  // namespace

void LogWrite(const char* format, ...) {
  if (LogFilePath[0] == '\0') return;
  // Callers log a failure and then read its code; the file work here must
  // not leave a code of its own behind (opening the log sets one on Windows).
  int32_t callersError = plat::LastErrorCode();

  plat::LocalTime t = plat::clock().Now();
  char stamp[64];
  std::snprintf(stamp, sizeof stamp, "[%d/%d %d:%.2d:%.2d]", t.month, t.day, t.hour, t.minute,
                t.second);

  char message[kLogMessageMax];
  va_list args;
  va_start(args, format);
  std::vsnprintf(message, sizeof message, format, args);
  va_end(args);

  char line[64 + 1 + kLogMessageMax];
  std::snprintf(line, sizeof line, "%s %s", stamp, message);

  if (heldLog) {
    plat::AppendTextToHeldFile(heldLog, line);
    plat::SetLastErrorCode(callersError);
    return;
  }
  if (pending.Empty()) {
    if (!Pending::AppendWaiting(line, kLogWaitMs) &&
        plat::LastErrorCode() == kErrorSharingViolation) {
      pending.Keep(line);
    }
  } else if (!pending.WriteWith(line, 0, stamp)) {
    // Still held: no more waiting for each line, which would only slow the
    // run; the next line, or the end of the process, tries again.
    pending.Keep(line);
  }
  plat::SetLastErrorCode(callersError);
}

void GetLogFilePath(char* path) {
  std::string appData;
  if (!plat::LocalAppDataFolder(&appData)) return;

  // The whole path, and the backup's beside it, must fit before any folder
  // is made: a path cut to fit would make a folder of a cut name, and a log
  // whose backup can't be named could never be rotated.
  std::string folder = appData + plat::kPathSeparator + "KelvoUpgrader";
  std::string logs = folder + plat::kPathSeparator + "Logs";
  std::string log = logs + plat::kPathSeparator + "KelvoUpgrader.log";
  if (BackupPathOf(log).size() > static_cast<size_t>(kPathMax - 1)) return;

  if (!IsCreateFolderSuccess(plat::CreateFolderTree(folder.c_str()))) return;
  if (!IsCreateFolderSuccess(plat::CreateFolderTree(logs.c_str()))) return;
  std::snprintf(path, kPathMax, "%s", log.c_str());
}

bool LogFileSizeExceeded() {
  uint32_t size = 0;
  bool known = heldLog ? plat::GetHeldFileSize(heldLog, &size)
                       : plat::GetFileSizeByPath(LogFilePath, &size);
  if (!known) return false;
  if (size < kLogSizeLimit) return false;
  LogWrite("Log file size exceeded. Current [%d], Limit [%d]\n", static_cast<int>(size),
           static_cast<int>(kLogSizeLimit));
  return true;
}

bool BackupCurrentLogFile() {
  std::string backup = BackupPathOf(LogFilePath);
  bool copied = false;
  if (backup.size() > static_cast<size_t>(kPathMax - 1)) {
    plat::SetLastErrorCode(plat::kErrorFilenameExcedRange);  // never a cut name
  } else {
    copied = heldLog ? plat::CopyHeldFileReplacing(heldLog, backup.c_str())
                     : plat::CopyFileReplacing(LogFilePath, backup.c_str());
  }
  if (!copied) {
    LogWrite("ERROR: %s - failed to backup log file. GetLastError = 0x%x\n",
             "BackupCurrentLogFile", static_cast<unsigned>(plat::LastErrorCode()));
    return false;
  }
  return true;
}

void SetUpLog() {
  char path[kPathMax];
  std::memset(path, 0, sizeof path);
  GetLogFilePath(path);
  std::memcpy(LogFilePath, path, sizeof LogFilePath);
  LogFilePath[kPathMax - 1] = '\0';

  // Almost every start finds the log below the limit and waits for nobody.
  uint32_t size = 0;
  if (LogFilePath[0] == '\0' || !plat::GetFileSizeByPath(LogFilePath, &size) ||
      size < kLogSizeLimit) {
    return;
  }
  // Several copies may start at once on a full log. Each rotates it only
  // while it holds the file against all the others, and reads the size again
  // under that hold: a copy that comes second finds the log emptied already
  // and leaves the backup as the first one made it.
  heldLog = plat::HoldFile(LogFilePath, false, kRotateWaitMs);
  if (!heldLog) {
    LogWrite("WARNING: SetUpLog - Log file could not be held for its backup; it is kept as it "
             "is. Error=%d\n",
             plat::LastErrorCode());
    return;
  }
  if (LogFileSizeExceeded() && BackupCurrentLogFile()) {
    plat::EmptyHeldFile(heldLog);
  }
  plat::ReleaseHeldFile(heldLog);
  heldLog = nullptr;
}
