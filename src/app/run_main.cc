#include <cstdio>
#include <cstring>
#include <string>

#include "app/app.h"
#include "app/find_no_case.h"
#include "app/other_copies.h"
#include "app/url_registration.h"
#include "app/usage.h"
#include "log/log.h"
#include "platform/language.h"
#include "platform/memory.h"
#include "platform/message_box.h"
#include "platform/text.h"
#include "script/report.h"
#include "script/server_run.h"

namespace {

constexpr size_t kMarkerLength = 10;  // "?Reply-To=" and "&Reply-To="
constexpr size_t kMinReplyToLength = 5;

// The one failure of a URL launch that nobody would otherwise see.
void ShowOutOfMemory() {
  std::string text;
  if (plat::SystemMessageText(8, &text)) {
    plat::ShowMessageBox(AppTitle, text.c_str());
  } else {
    plat::ShowMessageBox(AppTitle, plat::Translate("Unable to allocate memory."));
  }
}

int RunUrl(const char* commandLine, const char* applicationPath) {
  TerminateOtherInstance(applicationPath);

  // A scheme is the same word in any letter case, and launchers hand it on as
  // the page wrote it.
  if (!plat::StartsWithNoCase(commandLine, "kelvo://")) {
    std::fputs("Invalid URL passed. Can not start operation.\n", stdout);
    LogWrite("ERROR: Invalid URL passed. Cannot start operation, returning -1\n");
    return -1;
  }

  size_t length = std::strlen(commandLine);
  char* url = static_cast<char*>(plat::Alloc(length + 5));
  if (!url) {
    ShowOutOfMemory();
    return -1;
  }
  std::memset(url, 0, length + 5);
  std::memcpy(url, commandLine, length);

  const char* replyTo = CutReplyTo(url);
  MakeHttpUrl(url);
  LogWrite("Script file HTTP URL = [%s]\n", url);

  ServerRun(url, replyTo);
  plat::Free(url);
  return 0;
}

}  // namespace

const char* CutReplyTo(char* url) {
  char* marker = const_cast<char*>(FindNoCase(url, "?Reply-To="));
  if (!marker) {
    LogWrite("\"?Reply-To=\" not found. Looking for \"&Reply-To=\" in the command line\n");
    marker = const_cast<char*>(FindNoCase(url, "&Reply-To="));
  }
  if (!marker) return nullptr;
  *marker = '\0';
  const char* value = marker + kMarkerLength;
  if (std::strlen(value) < kMinReplyToLength) {
    LogWrite("ERROR - Reply-To is too short, hence ignoring it\n");
    return nullptr;
  }
  LogWrite("RunMain Reply Url [%s]\n", value);
  return value;
}

void MakeHttpUrl(char* url) {
  // "kelvo" becomes "http": the text gets one character shorter, in place.
  std::memmove(url + 4, url + 5, std::strlen(url + 5) + 1);
  std::memcpy(url, "http", 4);
}

CommandRequest ReadRequest(const char* commandLine) {
  if (!commandLine || commandLine[0] == '\0') return CommandRequest::None;
  std::string line = commandLine;
  if (line == "--help" || line == "-h" || line == "/?" || line == "help") return CommandRequest::Help;
  if (line == "--version") return CommandRequest::Version;
  if (line == "register") return CommandRequest::Register;
  if (line == "unregister") return CommandRequest::Unregister;
  return CommandRequest::Url;
}

int RunMain(const char* commandLine, const char* applicationPath) {
  switch (ReadRequest(commandLine)) {
    case CommandRequest::None:
      std::fputs("No URL passed. Can not start operation.\n", stdout);
      LogWrite("ERROR - No URL passed. Cannot start operation, return -1\n");
      return -1;
    // A person at a prompt asking what the program takes, perhaps while a
    // copy is in the middle of an update: answer, and end nothing.
    case CommandRequest::Help:
      std::fputs(plat::ForStandardOutput(UsageText()).c_str(), stdout);
      LogWrite("Usage text requested with [%s], return -1\n", commandLine);
      return -1;
    case CommandRequest::Version:
      std::printf("%s\n", UpgraderVersion);
      LogWrite("Version requested with [%s], return -1\n", commandLine);
      return -1;
    case CommandRequest::Register:
      if (std::strlen(applicationPath) >= 259) {
        std::fputs("Application path is too long, please move to a shorter path.", stdout);
        LogWrite("ERROR - Application path is too long, please move to a shorter path\n");
      } else if (RegisterURLHandler(applicationPath)) {
        std::fputs("Register succeeded.\n", stdout);
        LogWrite("Registration succeeded\n");
      } else {
        std::fputs("ERROR - Register failed.\n", stdout);
        LogWrite("ERROR: Registration failed.\n");
      }
      return 0;
    case CommandRequest::Unregister:
      if (UnregisterURLHandler()) {
        std::fputs("Unregister succeeded.\n", stdout);
        LogWrite("Unregistration succeeded\n");
      } else {
        std::fputs("ERROR - Unregister failed.\n", stdout);
        LogWrite("ERROR: Unregistration failed\n");
      }
      return 0;
    case CommandRequest::Url:
      break;
  }
  return RunUrl(commandLine, applicationPath);
}
