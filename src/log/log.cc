#include "log/log.h"

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/clock.h"
#include "platform/errors.h"
#include "platform/files.h"

char LogFilePath[kPathMax] = {0};

namespace {
// Another copy of the program may hold the file for the moment of its own
// append; a line that meets it waits up to about this long before it is dropped.
constexpr int kLogRetryMs = 50;
constexpr int32_t kErrorSharingViolation = 32;

bool IsCreateFolderSuccess(int32_t rc) {
  return rc == 0 || rc == plat::kErrorFileExists || rc == plat::kErrorAlreadyExists;
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

  // Only a collision with another writer is worth waiting for; a log that
  // can't be opened at all loses the line at once instead of slowing the run.
  auto giveUp = std::chrono::steady_clock::now() + std::chrono::milliseconds(kLogRetryMs);
  while (!plat::AppendTextExclusive(LogFilePath, line) &&
         plat::LastErrorCode() == kErrorSharingViolation &&
         std::chrono::steady_clock::now() < giveUp) {
    plat::SystemClock().Sleep(1);
  }
  plat::SetLastErrorCode(callersError);
}

void GetLogFilePath(char* path) {
  std::string appData;
  if (!plat::LocalAppDataFolder(&appData)) return;

  char folder[kPathMax];
  plat::JoinPath(folder, sizeof folder, appData.c_str(), "KelvoUpgrader");
  if (!IsCreateFolderSuccess(plat::CreateFolderTree(folder))) return;

  char logs[kPathMax];
  plat::JoinPath(logs, sizeof logs, folder, "Logs");
  if (!IsCreateFolderSuccess(plat::CreateFolderTree(logs))) return;

  plat::JoinPath(path, kPathMax, logs, "KelvoUpgrader.log");
}

bool LogFileSizeExceeded() {
  uint32_t size = 0;
  if (!plat::GetFileSizeByPath(LogFilePath, &size)) return false;
  if (size < kLogSizeLimit) return false;
  LogWrite("Log file size exceeded. Current [%d], Limit [%d]\n", static_cast<int>(size),
           static_cast<int>(kLogSizeLimit));
  return true;
}

bool BackupCurrentLogFile() {
  std::string current(LogFilePath);
  std::string folder = plat::FolderOf(current);
  std::string name = plat::FileNameOf(current);
  char backup[kPathMax];
  std::string backupName = "Backup_" + name;
  if (folder.empty()) {
    std::snprintf(backup, sizeof backup, "%s", backupName.c_str());
  } else {
    plat::JoinPath(backup, sizeof backup, folder.c_str(), backupName.c_str());
  }
  if (!plat::CopyFileReplacing(LogFilePath, backup)) {
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
  if (LogFileSizeExceeded() && BackupCurrentLogFile()) {
    plat::EmptyFile(LogFilePath);
  }
}
