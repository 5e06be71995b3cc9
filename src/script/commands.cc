#include "script/commands.h"

#include <cstdlib>

#include "log/log.h"
#include "platform/clock.h"
#include "platform/errors.h"
#include "platform/memory.h"
#include "sim/simulation.h"

CommandStatus doWait(const char*, const char* argument) {
  if (SimulationEnabled) {
    LogWrite("\tdoWait simulated response - Does Nothing\n");
    return CommandStatus::OK;
  }
  if (!argument) {
    LastError = plat::kErrorBadArguments;
    return CommandStatus::LocalError;
  }
  // atoi's rules: leading white space, a sign, digits up to the first other
  // character. strtol saturates where atoi would overflow.
  long ms = std::strtol(argument, nullptr, 10);
  if (ms > kMaxWaitMs) {
    plat::clock().Sleep(kMaxWaitMs);
  } else if (ms > 0) {
    plat::clock().Sleep(static_cast<uint32_t>(ms));
  }
  return CommandStatus::OK;
}

CommandStatus doGetLocal(const char*, const char* argument) {
  if (!argument) {
    LastError = plat::kErrorFileNotFound;
    return CommandStatus::BadUrl;
  }
  if (pFileRxBuffer) {
    plat::Free(pFileRxBuffer);
    pFileRxBuffer = nullptr;
    FileRxSize = 0;
  }
  LogWrite("\tGet Local File: [%s]\n", argument);
  int32_t code = ReadWholeFile(argument, &pFileRxBuffer, &FileRxSize);
  if (code == 0) return CommandStatus::OK;
  LogWrite("ERROR - Failed to read image file [%s]. Error=%d", argument, code);
  LastError = code;
  return CommandStatus::LocalError;
}
