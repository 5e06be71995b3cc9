#include "script/commands.h"
#include "script/engine.h"
#include "script/robot_commands.h"
#include "script/web_commands.h"

// Looked up in this order, without regard to letter case.
const CommandEntry CommandTable[] = {
    {"reply-to", doReplyTo},
    {"send", doSend},
    {"send-nowait", doSendNoWait},
    {"wait", doWait},
    {"get", doGet},
    {"upload", doUpload},
    {"getlocal", doGetLocal},
    {"", nullptr},
};
