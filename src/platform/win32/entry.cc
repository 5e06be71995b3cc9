// Windows process entry: a GUI-subsystem program with no window.
#include <windows.h>

#include "app/app.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR commandLine, int) {
  return StartUp(commandLine);
}
