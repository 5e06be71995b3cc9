#include <windows.h>

#include "platform/errors.h"

namespace plat {

int32_t LastErrorCode() { return static_cast<int32_t>(::GetLastError()); }

void SetLastErrorCode(int32_t code) { ::SetLastError(static_cast<DWORD>(code)); }

}  // namespace plat
