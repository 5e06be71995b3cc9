#include "script/commands.h"
#include "script/engine.h"
#include "script/web_commands.h"

// Looked up in this order, without regard to letter case.
const CommandEntry CommandTable[] = {
    {"reply-to", doReplyTo},
    {"wait", doWait},
    {"get", doGet},
    {"getlocal", doGetLocal},
    {"", nullptr},
};
