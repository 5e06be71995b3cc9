// The program's log file: one line per step of a run, in the user's local
// application-data folder, rotated to a single backup at 2 MiB.
#pragma once
#include <cstdint>

constexpr uint32_t kLogSizeLimit = 2097152;
constexpr int kLogMessageMax = 4096;  // message buffer, terminator included
constexpr int kPathMax = 260;         // path buffers, terminator included

// Empty until SetUpLog filled it; while empty, LogWrite does nothing.
extern char LogFilePath[kPathMax];

// Appends "[m/d h:mm:ss] " and the formatted message. Adds no line end.
void LogWrite(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Fills path (kPathMax characters) with the log file's full path, creating
// the folders on the way; leaves it untouched on failure.
void GetLogFilePath(char* path);
bool LogFileSizeExceeded();
bool BackupCurrentLogFile();
void SetUpLog();
