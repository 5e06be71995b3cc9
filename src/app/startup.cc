#include <new>
#include <cstdio>
#include <cstring>
#include <string>

#include "app/app.h"
#include "log/log.h"
#include "platform/console.h"
#include "platform/files.h"
#include "platform/system.h"
#include "platform/text.h"
#include "robot/upload.h"
#include "script/engine.h"
#include "script/report.h"

const char AppTitle[] = "Kelvo Robot Updater";

namespace {

constexpr char kSwitch[] = "/NOSERVER";

// True when text, lower-cased, holds what at pos.
bool HoldsAt(const std::string& text, size_t pos, const char* what) {
  return pos <= text.size() && text.compare(pos, std::strlen(what), what) == 0;
}

// "kelvo" in any letter case, followed by a colon or by a colon's percent
// escape, escaped once or more ("%3a", "%253a", ...).
bool HoldsSchemeName(const std::string& commandLine) {
  std::string lower;
  lower.reserve(commandLine.size());
  for (char c : commandLine) lower.push_back(plat::AsciiLower(c));
  for (size_t at = lower.find("kelvo"); at != std::string::npos; at = lower.find("kelvo", at + 1)) {
    size_t next = at + 5;
    if (HoldsAt(lower, next, ":")) return true;
    if (!HoldsAt(lower, next, "%")) continue;
    ++next;
    while (HoldsAt(lower, next, "25")) next += 2;
    if (HoldsAt(lower, next, "3a")) return true;
  }
  return false;
}

bool IsTrimSpace(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

// The /NOSERVER road.
int RunLocalRoad(const std::string& commandLine) {
  LogWrite("\tCalled with \"No Server\" command line option.\n");
  std::string path = LocalScriptPath(commandLine);

  if (path.empty()) {
    LogWrite("\tERROR - Invalid command line. Script file not specified\n");
    LogWrite("\tUsage - KelvoUpgrader.exe /NoServer <script file path>\n");
    return -1;
  }
  // The path buffer holds 259 characters; a longer path is refused whole
  // rather than cut into the name of some other file.
  if (path.size() >= static_cast<size_t>(kPathMax) || !plat::CanOpenForReading(path.c_str())) {
    LogWrite("\tERROR - Script file [%s] not found\n", path.c_str());
    return -1;
  }
  LogWrite("\tUsing script file [%s].\n", path.c_str());
  return LocalScriptRun(path.c_str());
}

}  // namespace

bool TakesLocalRoad(const std::string& commandLine) {
  // A web page controls the whole of a link, and can make the browser save a
  // file whose path holds the switch: a link must never run a local file.
  // Launchers hand on what they are given: "kelvo:" links without slashes,
  // with blanks, control characters, a byte-order mark or quotes before the
  // scheme, or with the colon percent-encoded. The first nine characters are
  // dropped whatever they are, so only a line that begins with the switch,
  // as a person types it, may take this road.
  return plat::StartsWithNoCase(commandLine, kSwitch) && !HoldsSchemeName(commandLine);
}

std::string LocalScriptPath(const std::string& commandLine) {
  // Whatever follows the first nine characters: the switch, on this road.
  std::string rest = commandLine.size() > 9 ? commandLine.substr(9) : std::string();
  size_t first = 0;
  while (first < rest.size() && IsTrimSpace(rest[first])) ++first;
  size_t last = rest.size();
  while (last > first && IsTrimSpace(rest[last - 1])) --last;
  return rest.substr(first, last - first);
}

int StartUp(const char* commandLine) {
  std::string applicationPath = plat::ModulePath(kPathMax - 1);

  SetUpLog();

  LogWrite("********************* Kelvo Upgrader Started *********************\n");
  LogWrite("Upgrader Build Number: [%s]\n", UpgraderVersion);
  LogWrite("USING 8KB BLOCKS TO WRITE DATA TO THE ROBOT\n");
  LogWrite("App executed from [%s]\n", applicationPath.c_str());
  LogWrite("Log file = [%s]\n", LogFilePath);
  int major = 0, minor = 0;
  if (plat::GetWindowsVersion(&major, &minor)) {
    LogWrite("Windows OS version. Major: [%d], Minor: [%d]\n", major, minor);
  }

  std::string working;
  if (!commandLine) {
    LogWrite("Command line is empty.\n");
  } else {
    LogWrite("Command line: [%s]\n", commandLine);
    try {
      working = commandLine;
    } catch (const std::bad_alloc&) {
      LogWrite("ERROR - Not enough memory to copy the command line, return -1\n");
      return -1;
    }
    if (!working.empty() && working.front() == '"') working.erase(0, 1);
    if (!working.empty() && working.back() == '"') working.pop_back();
  }

  bool console = plat::AttachParentConsole();
  if (console) plat::ClearConsole();
  // A firmware upload at 9600 baud takes minutes: a person at a console sees it move.
  ShowUploadProgress = console;

  bool localRoad = false;
  try {
    localRoad = TakesLocalRoad(working);
  } catch (const std::bad_alloc&) {
    LogWrite("ERROR - Not enough memory to copy the command line, return -1\n");
    return -1;
  }
  if (localRoad) {
    // The local road ends here: no end banner, no console courtesy.
    return RunLocalRoad(working);
  }

  int exitCode = RunMain(working.c_str(), applicationPath.c_str());

  if (console) {
    std::fputs(" -- Finished --\n", stdout);
    std::fflush(stdout);
    plat::SendEnterKey();
  }
  LogWrite("************ Kelvo Upgrader Ended - ret code = %d *****************\n\n", exitCode);
  return exitCode;
}
