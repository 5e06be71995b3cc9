#include "script/commands.h"
#include "script/engine.h"

// Looked up in this order, without regard to letter case.
const CommandEntry CommandTable[] = {
    {"wait", doWait},
    {"getlocal", doGetLocal},
    {"", nullptr},
};
