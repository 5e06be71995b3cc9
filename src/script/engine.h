// Running a script: splitting it into lines and dispatching each line to its command.
#pragma once
#include "script/run_state.h"

typedef CommandStatus (*CommandHandler)(const char* line, const char* argument);

struct CommandEntry {
  const char* word;
  CommandHandler handler;
};

// Fixed order; ends with an entry that has an empty word and no handler.
extern const CommandEntry CommandTable[];

// Terminates the text, clears every byte's top bit and puts the cursor at its start.
void PrepareScriptText();

// Runs the lines of ScriptBuffer from its cursor; returns the status of the
// last line run: OK when the text ran to its end, else the status that stopped it.
CommandStatus RunScriptText();

CommandStatus DispatchScriptLine(char* line);

// The local-file run of /NOSERVER: returns 0, or the Windows code of reading the file.
int LocalScriptRun(const char* scriptPath);
