#include <cstdio>

#include "app/app.h"
#include "log/log.h"

int RunMain(const char* commandLine, const char*) {
  if (!commandLine || commandLine[0] == '\0') {
    std::fputs("No URL passed. Can not start operation.\n", stdout);
    LogWrite("ERROR - No URL passed. Cannot start operation, return -1\n");
    return -1;
  }
  // Registration and kelvo:// launches come with the web and registration work.
  std::fputs("Invalid URL passed. Can not start operation.\n", stdout);
  LogWrite("ERROR: Invalid URL passed. Cannot start operation, returning -1\n");
  return -1;
}
