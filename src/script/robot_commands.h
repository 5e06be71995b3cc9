// The script commands that talk to the robot: send, send-nowait and upload.
#pragma once
#include "script/run_state.h"

CommandStatus doSend(const char* line, const char* argument);
CommandStatus doSendNoWait(const char* line, const char* argument);
CommandStatus doUpload(const char* line, const char* argument);
