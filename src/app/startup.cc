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
  // Browsers hand on any "kelvo:" link, slashes or not ("kelvo:AAADownloads/
  // noserver.txt" would otherwise run a downloaded script, the first nine
  // characters being dropped), so everything that starts with the scheme name
  // goes to RunMain, which refuses what isn't a well-formed URL.
  if (plat::StartsWithNoCase(commandLine, "kelvo:")) return false;
  std::string upper = commandLine;
  for (char& c : upper) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return upper.find("/NOSERVER") != std::string::npos;
}

std::string LocalScriptPath(const std::string& commandLine) {
  // Whatever follows the first nine characters, wherever the switch stood.
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
