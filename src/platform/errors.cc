#include "platform/errors.h"

#include <cerrno>

namespace plat {

int32_t WindowsCodeFromErrno(int errnoValue) {
  switch (errnoValue) {
    case 0: return 0;
    case ENOENT: return kErrorFileNotFound;
    case ENOTDIR: return kErrorPathNotFound;
    case EACCES:
    case EPERM: return kErrorAccessDenied;
    case ENOMEM: return kErrorNotEnoughMemory;
    case EEXIST: return kErrorAlreadyExists;
    case ENAMETOOLONG: return kErrorFilenameExcedRange;
    case EBUSY: return 170;    // ERROR_BUSY
    case EIO: return 1117;     // ERROR_IO_DEVICE
    case ENOSPC: return 112;   // ERROR_DISK_FULL
    case EINVAL: return 87;    // ERROR_INVALID_PARAMETER
    case EBADF: return 6;      // ERROR_INVALID_HANDLE
    case ENXIO:
    case ENODEV: return 1167;  // ERROR_DEVICE_NOT_CONNECTED
    case EAGAIN: return 32;    // ERROR_SHARING_VIOLATION (a lock held elsewhere)
    case EISDIR: return kErrorAccessDenied;
    case ELOOP: return kErrorAccessDenied;  // a symbolic link we refuse to follow
    default: return kErrorGenFailure;
  }
}

}  // namespace plat
