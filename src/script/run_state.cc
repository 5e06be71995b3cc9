#include "script/run_state.h"

#include <cstdio>
#include <cstring>

#include "log/log.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/memory.h"
#include "robot/serial_io.h"

int32_t LastError = 0;
ByteBuffer RobotDataBuffer = {nullptr, nullptr, 0};
ByteBuffer StatusLogBuffer = {nullptr, nullptr, 0};
ScriptText ScriptBuffer = {nullptr, nullptr, 0};
char ReplyUrl[kReplyUrlSize] = {0};
char* pFileRxBuffer = nullptr;
int32_t FileRxSize = 0;

const char* CommandStatusText(CommandStatus status) {
  switch (status) {
    case CommandStatus::OK: return "OK";
    case CommandStatus::RobotDisconnected: return "RobotDisconnected";
    case CommandStatus::HttpError: return "HttpError";
    case CommandStatus::LocalError: return "LocalError";
    case CommandStatus::BadUrl: return "BadUrl";
    case CommandStatus::NoFile: return "NoFile";
    case CommandStatus::Timeout: return "Timeout";
    case CommandStatus::UnknownCmd: return "UnknownCmd";
  }
  return "UnknownCmd";
}

bool GrowBuffer(ByteBuffer* buffer) {
  int32_t used = BufferUsed(*buffer);
  int32_t capacity = buffer->capacity + kBufferGrowStep;
  char* grown = static_cast<char*>(plat::Realloc(buffer->begin, static_cast<size_t>(capacity)));
  if (!grown) {
    ReleaseBuffer(buffer);
    return false;
  }
  buffer->begin = grown;
  buffer->position = grown + used;
  buffer->capacity = capacity;
  return true;
}

void ReleaseBuffer(ByteBuffer* buffer) {
  plat::Free(buffer->begin);
  buffer->begin = nullptr;
  buffer->position = nullptr;
  buffer->capacity = 0;
}

void ReleaseScript() {
  plat::Free(ScriptBuffer.text);
  ScriptBuffer.text = nullptr;
  ScriptBuffer.cursor = nullptr;
  ScriptBuffer.length = 0;
}

void AppendStatusText(const char* text, int32_t length) {
  if (BufferFree(StatusLogBuffer) < kBufferLowWater && !GrowBuffer(&StatusLogBuffer)) {
    return;  // GrowBuffer emptied the buffer; this record is dropped with it
  }
  std::memcpy(StatusLogBuffer.position, text, static_cast<size_t>(length));
  StatusLogBuffer.position += length;
}

void AppendStatusRecord(CommandStatus status) {
  char record[64];
  int n = std::snprintf(record, sizeof record, "%s", CommandStatusText(status));
  if (status == CommandStatus::HttpError || status == CommandStatus::LocalError) {
    char number[10];
    std::snprintf(number, sizeof number, "%d", LastError);
    n += std::snprintf(record + n, sizeof record - static_cast<size_t>(n), "%s", number);
  }
  n += std::snprintf(record + n, sizeof record - static_cast<size_t>(n), "\r\n");
  AppendStatusText(record, n);
}

int32_t ReadWholeFile(const char* path, char** storage, int32_t* size) {
  plat::ReadFileHandle* file = plat::OpenForRead(path);
  if (!file) {
    int32_t code = plat::LastErrorCode();
    LogWrite("ERROR - Failed to open file [%s]. Error=%d\n", path, code);
    return code;
  }
  uint64_t fileSize = 0;
  if (!plat::GetOpenFileSize(file, &fileSize)) {
    int32_t code = plat::LastErrorCode();
    LogWrite("ERROR - Failed to read file [%s]. Error=%d\n", path, code);
    plat::CloseFile(file);
    return code;
  }
  // A size past 32 bits has no honest number for this line; it is refused below.
  if (fileSize <= 0xFFFFFFFFu) LogWrite("\tFile size: %d\n", static_cast<int32_t>(fileSize));
  // The size is a signed 32-bit count downstream: a file of 2 GiB or more
  // can't be held, however many bits its size has.
  char* data = fileSize >= 0x7FFFFFFFu ? nullptr
                                       : static_cast<char*>(plat::Alloc(static_cast<size_t>(fileSize) + 1));
  if (!data) {
    LogWrite("ERROR - Failed to read file [%s]. Error=%d\n", path, plat::kErrorNotEnoughMemory);
    plat::CloseFile(file);
    return plat::kErrorNotEnoughMemory;
  }
  std::memset(data, 0, static_cast<size_t>(fileSize) + 1);
  uint32_t want = static_cast<uint32_t>(fileSize);
  uint32_t got = 0;
  int32_t code = 0;
  if (!plat::ReadFromFile(file, data, want, &got)) {
    code = plat::LastErrorCode();
  } else if (got != want) {
    // The file ended early (it shrank after its size was taken, or it is one
    // whose size is only a guess): what was read is not the file.
    code = plat::kErrorHandleEof;
  }
  plat::CloseFile(file);
  if (code != 0) {
    // The caller gets nothing: a zero-padded part of an image must never
    // reach an upload.
    LogWrite("ERROR - Failed to read file [%s]. Error=%d\n", path, code);
    plat::Free(data);
    return code;
  }
  *storage = data;
  *size = static_cast<int32_t>(want);
  return 0;
}

void ReleaseRunResources() {
  CloseRobotPort();
  if (pFileRxBuffer) {
    plat::Free(pFileRxBuffer);
    pFileRxBuffer = nullptr;
    FileRxSize = 0;
  }
  ReleaseBuffer(&RobotDataBuffer);
  ReleaseScript();
  ReleaseBuffer(&StatusLogBuffer);
}
