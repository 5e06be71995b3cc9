// Process entry and run modes.
#pragma once

extern const char AppTitle[];

// The start-up of every run, shared by WinMain and main: log set-up, start
// banner, command line, console, then the local-script road or RunMain.
// commandLine may be null (absent). Returns the exit code.
int StartUp(const char* commandLine);

// Everything that isn't the /NOSERVER road: "register", "unregister" or a kelvo:// URL.
int RunMain(const char* commandLine, const char* applicationPath);
