#include "script/web_commands.h"

#include <cstring>

#include "platform/memory.h"
#include "web/allow_list.h"
#include "web/http_client.h"

CommandStatus doGet(const char*, const char* argument) {
  if (!argument) return CommandStatus::BadUrl;
  if (pFileRxBuffer) {
    plat::Free(pFileRxBuffer);
    pFileRxBuffer = nullptr;
    FileRxSize = 0;
  }
  int status = httpGet(argument, &pFileRxBuffer, &FileRxSize);
  if (status == 200) return CommandStatus::OK;
  LastError = status;
  return CommandStatus::HttpError;
}

CommandStatus doReplyTo(const char*, const char* argument) {
  if (!argument) return CommandStatus::BadUrl;
  if (httpTestDomain(argument) != 200) return CommandStatus::BadUrl;
  size_t length = std::strlen(argument);
  if (length >= static_cast<size_t>(kReplyUrlSize)) return CommandStatus::BadUrl;
  std::memcpy(ReplyUrl, argument, length + 1);
  return CommandStatus::OK;
}
