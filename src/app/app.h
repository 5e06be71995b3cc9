// Process entry and run modes.
#pragma once
#include <string>

extern const char AppTitle[];

// The start-up of every run, shared by WinMain and main: log set-up, start
// banner, command line, console, then the local-script road or RunMain.
// commandLine may be null (absent). Returns the exit code.
int StartUp(const char* commandLine);

// Everything that isn't the /NOSERVER road: "register", "unregister" or a kelvo:// URL.
int RunMain(const char* commandLine, const char* applicationPath);

// Start-up's choice of road for the command line (its end quotes already
// stripped): true for the /NOSERVER road. A kelvo:// URL, in any letter case,
// never takes it.
bool TakesLocalRoad(const std::string& commandLine);
// The local road's script path: the command line without its first nine
// characters, white space trimmed from both ends.
std::string LocalScriptPath(const std::string& commandLine);

// RunMain's cutting of a kelvo:// URL, in place in url (a buffer of the URL's
// length plus 5 bytes): ends the URL before the first Reply-To marker, logs
// as it goes, and returns the Reply-To text after the marker, or null when
// there is none or it is too short.
const char* CutReplyTo(char* url);
// "kelvo://..." becomes "http://..." in place (one character shorter).
void MakeHttpUrl(char* url);
