#include "script/engine.h"

#include <cstring>

#include "log/log.h"
#include "platform/memory.h"
#include "platform/text.h"
#include "robot/serial_io.h"
#include "script/report.h"

namespace {

bool IsLineBreak(char c) { return c == '\r' || c == '\n'; }
bool IsBlankOrTab(char c) { return c == ' ' || c == '\t'; }
bool IsLeadingSpace(char c) { return c == ' ' || c == '\t' || c == '\v' || c == '\f'; }
}  // namespace

void PrepareScriptText() {
  ScriptBuffer.text[ScriptBuffer.length] = '\0';
  ScriptBuffer.length += 1;
  for (int32_t i = 0; i < ScriptBuffer.length; ++i) {
    ScriptBuffer.text[i] = static_cast<char>(ScriptBuffer.text[i] & 0x7F);
  }
  ScriptBuffer.cursor = ScriptBuffer.text;
}

CommandStatus RunScriptText() {
  char* end = ScriptBuffer.text + ScriptBuffer.length;
  CommandStatus status = CommandStatus::OK;
  for (;;) {
    char* line = ScriptBuffer.cursor;
    char* stop = line;
    while (stop < end && *stop != '\0' && !IsLineBreak(*stop)) ++stop;
    // The prepared text always ends with a zero, so stop never passes end - 1.
    *stop = '\0';

    LogWrite("Run: [%s]\n", line);
    status = DispatchScriptLine(line);
    LogWrite("\tReturned: [%s]\n", CommandStatusText(status));
    AppendStatusRecord(status);

    ScriptBuffer.cursor = line + std::strlen(line) + 1;
    while (ScriptBuffer.cursor < end && IsLineBreak(*ScriptBuffer.cursor)) ++ScriptBuffer.cursor;
    if (ScriptBuffer.cursor >= end || status != CommandStatus::OK) return status;
  }
}

CommandStatus DispatchScriptLine(char* line) {
  if (!line) return CommandStatus::OK;
  while (IsLeadingSpace(*line)) ++line;
  if (*line == '\0' || *line == '#') return CommandStatus::OK;

  char word[32];
  std::strncpy(word, line, 31);
  word[31] = '\0';
  for (char* p = word; *p; ++p) {
    if (IsBlankOrTab(*p)) {
      *p = '\0';
      break;
    }
  }

  CommandHandler handler = nullptr;
  for (const CommandEntry* entry = CommandTable; entry->handler; ++entry) {
    if (entry->word[0] == '\0') continue;
    if (plat::EqualsNoCase(word, entry->word)) {
      handler = entry->handler;
      break;
    }
  }
  if (!handler) return CommandStatus::UnknownCmd;

  const char* argument = nullptr;
  const char* gap = line;
  while (*gap && !IsBlankOrTab(*gap)) ++gap;
  if (*gap) {
    while (IsBlankOrTab(*gap)) ++gap;
    if (*gap) argument = gap;
  }
  return handler(line, argument);
}

int LocalScriptRun(const char* scriptPath) {
  LastError = 0;
  int32_t code = ReadWholeFile(scriptPath, &ScriptBuffer.text, &ScriptBuffer.length);
  if (code != 0) {
    LogWrite("ERROR - Failed to read script file [%s]. Error=%d", scriptPath, code);
    return code;
  }
  PrepareScriptText();
  RunScriptText();

  LogWrite("Script execution complete.\n");
  CloseRobotPort();
  // A reply-to line has no effect here: a local run never posts its report.
  ReplyUrl[0] = '\0';
  LogWrite("There is no reply URL. Tracing out the response data.\n");
  ReleaseScript();

  ResultReport report;
  if (BuildResultReport(&report)) {
    LogWrite("\tServer Response Generated:\n{\n: %s\n}\n\n", report.body);
    ReleaseResultReport(&report);
  }
  ReleaseRunResources();
  return 0;
}
