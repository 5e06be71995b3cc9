#include "script/commands.h"
#include "script/engine.h"
#include "script/robot_commands.h"

// Looked up in this order, without regard to letter case.
const CommandEntry CommandTable[] = {
    {"send", doSend},
    {"send-nowait", doSendNoWait},
    {"wait", doWait},
    {"upload", doUpload},
    {"getlocal", doGetLocal},
    {"", nullptr},
};
