// The script commands that reach the web: get and reply-to.
#pragma once
#include "script/run_state.h"

// get URL: fetches the file that a later upload sends into pFileRxBuffer.
CommandStatus doGet(const char* line, const char* argument);
// reply-to URL: the address the report is posted to, once the allow-list accepts it.
CommandStatus doReplyTo(const char* line, const char* argument);
