// The state one run shares between the script lines, the commands and the
// report. Process-wide on purpose: a run is one pass through one process.
#pragma once
#include <cstdint>

enum class CommandStatus { OK, RobotDisconnected, HttpError, LocalError, BadUrl, NoFile, Timeout, UnknownCmd };

const char* CommandStatusText(CommandStatus status);

// A growable byte area: bytes held = position - begin.
struct ByteBuffer {
  char* begin;
  char* position;
  int32_t capacity;
};

constexpr int32_t kBufferGrowStep = 1024;
// Appenders grow the buffer whenever this many bytes or fewer are left free.
constexpr int32_t kBufferLowWater = 128;

struct ScriptText {
  char* text;     // length + 1 bytes, zero-filled by whoever provided it
  char* cursor;   // start of the line being run
  int32_t length;
};

constexpr int kReplyUrlSize = 1024;

extern int32_t LastError;
extern ByteBuffer RobotDataBuffer;
extern ByteBuffer StatusLogBuffer;
extern ScriptText ScriptBuffer;
extern char ReplyUrl[kReplyUrlSize];
extern char* pFileRxBuffer;
extern int32_t FileRxSize;

inline int32_t BufferUsed(const ByteBuffer& b) {
  return b.begin ? static_cast<int32_t>(b.position - b.begin) : 0;
}
inline int32_t BufferFree(const ByteBuffer& b) { return b.capacity - BufferUsed(b); }

// Grows capacity by 1024 keeping the contents; on failure releases the
// storage and leaves the buffer empty.
bool GrowBuffer(ByteBuffer* buffer);
void ReleaseBuffer(ByteBuffer* buffer);
void ReleaseScript();

// Appends a status record (the status text, LastError after HttpError and
// LocalError, CR LF) to StatusLogBuffer.
void AppendStatusRecord(CommandStatus status);
// Appends text to StatusLogBuffer, growing it first when fewer than 128
// bytes are free. When it can't grow, the buffer is emptied and the text dropped.
void AppendStatusText(const char* text, int32_t length);

// Reads a whole file into fresh storage of size + 1 zeroed bytes. Returns 0
// or a Windows error code; on any failure storage and size are left as they
// were, so nothing but a whole file is ever handed over.
int32_t ReadWholeFile(const char* path, char** storage, int32_t* size);

void ReleaseRunResources();
