// Process entry and run modes.
#pragma once
#include <string>

extern const char AppTitle[];

// The start-up of every run, shared by WinMain and main: log set-up, start
// banner, command line, console, then the local-script road or RunMain.
// commandLine may be null (absent). Returns the exit code.
int StartUp(const char* commandLine);

// Everything that isn't the /NOSERVER road: "register", "unregister", a
// request for help or the version, or a kelvo:// URL.
int RunMain(const char* commandLine, const char* applicationPath);

// What RunMain makes of a command line. Only a URL ends other copies.
enum class CommandRequest { None, Help, Version, Register, Unregister, Url };
// None for an absent or empty line; Help for exactly "--help", "-h", "/?" or
// "help"; Version for exactly "--version"; the registration words exactly as
// written; everything else is a URL (which may still be refused).
CommandRequest ReadRequest(const char* commandLine);

// Start-up's choice of road for the command line (its end quotes already
// stripped): true for the /NOSERVER road. That switch is for a person at a
// prompt, who types it first; a browser or a desktop launcher hands on a
// link, which holds the scheme name, and may put anything before it. So the
// line must begin with "/NOSERVER" (any letter case) and hold the scheme
// name nowhere: not "kelvo" followed by a colon, plain or percent-encoded
// once or more ("kelvo:", "kelvo%3a", "kelvo%253a", ...), in any letter case.
bool TakesLocalRoad(const std::string& commandLine);
// The local road's script path: the command line without its first nine
// characters, white space trimmed from both ends.
std::string LocalScriptPath(const std::string& commandLine);

// RunMain's cutting of a kelvo:// URL, in place in url (a buffer of the URL's
// length plus 5 bytes): ends the URL before the first Reply-To marker, logs
// as it goes, and returns the Reply-To text after the marker, or null when
// there is none or it is too short.
const char* CutReplyTo(char* url);
// "kelvo://..." (the scheme in any letter case) becomes "http://..." in
// place (one character shorter).
void MakeHttpUrl(char* url);
