// The script commands. Each takes the line (after its leading white space;
// none of them reads it) and the argument text or null, and returns the line's status.
#pragma once
#include "script/run_state.h"

CommandStatus doWait(const char* line, const char* argument);
CommandStatus doGetLocal(const char* line, const char* argument);

// wait never blocks longer than this.
constexpr int kMaxWaitMs = 32767;
