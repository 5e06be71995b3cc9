// Linux process entry: the arguments joined with single blanks are the
// command line a Windows program would have received.
#include <string>

#include "app/app.h"

int main(int argc, char** argv) {
  std::string commandLine;
  for (int i = 1; i < argc; ++i) {
    if (i > 1) commandLine += ' ';
    commandLine += argv[i];
  }
  return StartUp(commandLine.c_str()) & 0xFF;
}
