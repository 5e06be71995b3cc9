// Error codes are Windows codes on every build: they end up in the reports the
// maker's servers read, so a Linux build must speak the same numbers.
#pragma once
#include <cstdint>

namespace plat {

constexpr int32_t kErrorFileNotFound = 2;
constexpr int32_t kErrorPathNotFound = 3;
constexpr int32_t kErrorAccessDenied = 5;
constexpr int32_t kErrorNotEnoughMemory = 8;
constexpr int32_t kErrorFileExists = 80;
constexpr int32_t kErrorGenFailure = 31;
constexpr int32_t kErrorHandleEof = 38;
constexpr int32_t kErrorBadArguments = 160;
constexpr int32_t kErrorAlreadyExists = 183;
constexpr int32_t kErrorFilenameExcedRange = 206;

// The calling thread's last error, as GetLastError gives it on Windows.
int32_t LastErrorCode();
void SetLastErrorCode(int32_t code);

// The one table from errno values to Windows codes (unmapped: 31).
int32_t WindowsCodeFromErrno(int errnoValue);

}  // namespace plat
