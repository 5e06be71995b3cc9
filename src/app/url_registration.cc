#include "app/url_registration.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "app/app.h"
#include "log/log.h"
#include "platform/desktop.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/registry.h"
#include "script/report.h"

const char kSchemeKeyName[] = "kelvo";
const char kUserAgentKeyPath[] =
    "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Internet Settings\\User Agent\\Post Platform";

namespace {

constexpr int kValueTextSize = 260;  // 259 characters and the terminator
constexpr int32_t kErrorSharingViolation = 32;
// Another "register" or "unregister" takes a few milliseconds, xdg-mime
// included (it is stopped after ten seconds).
constexpr int kRegistrationWaitMs = 20000;

// Sets a REG_SZ value, its terminator counted in the size.
int32_t SetText(plat::RegKey key, const char* name, const char* text) {
  return plat::registry().SetValue(key, name, plat::kRegSz, text,
                                   static_cast<uint32_t>(std::strlen(text) + 1));
}

// A value text that doesn't fit its buffer would be stored cut, and the
// shell would start a path that doesn't exist; refuse it whole instead.
bool FitsValueText(const char* keyName, int length) {
  if (length < kValueTextSize) return true;
  LogWrite("ERROR: RegisterURLHandler - Value for [%s] would be %d characters long, more than "
           "%d. Nothing registered.\n",
           keyName, length, kValueTextSize - 1);
  return false;
}

// In the log, and on the console too: whoever ran "register" in a terminal
// has to move the program, and would not look in the log after a success.
void WarnOfLaunchers(const std::string& problem) {
  LogWrite("WARNING: RegisterURLHandler - %s\n", problem.c_str());
  std::printf("WARNING: %s\n", problem.c_str());
  std::fflush(stdout);
}

// Each "register" and "unregister" runs whole before another of this user
// starts, so the registry, the desktop entry and the default handler always
// come out of one of them and never of a mix. False (logged) when another
// held the lock all the while; when no lock can be made at all the work goes
// on without one, with a warning.
bool TakeRegistrationLock(plat::HeldFile** lock) {
  *lock = plat::LockSchemeRegistration(kRegistrationWaitMs);
  if (*lock) return true;
  int32_t code = plat::LastErrorCode();
  if (code == kErrorSharingViolation) {
    LogWrite("ERROR: RegisterURLHandler - Another register or unregister still runs after %d "
             "seconds. Nothing done.\n",
             kRegistrationWaitMs / 1000);
    return false;
  }
  LogWrite("WARNING: RegisterURLHandler - Failed to take the registration lock. Error=%d\n", code);
  return true;
}

bool WriteRegistration(const char* applicationPath);
bool RemoveRegistration();

}  // namespace

bool RegisterURLHandler(const char* applicationPath) {
  plat::HeldFile* lock = nullptr;
  if (!TakeRegistrationLock(&lock)) return false;
  bool registered = WriteRegistration(applicationPath);
  plat::ReleaseSchemeRegistrationLock(lock, false);
  return registered;
}

bool UnregisterURLHandler() {
  plat::HeldFile* lock = nullptr;
  if (!TakeRegistrationLock(&lock)) return false;
  bool removed = RemoveRegistration();
  plat::ReleaseSchemeRegistrationLock(lock, true);
  return removed;
}

namespace {

bool WriteRegistration(const char* applicationPath) {
  plat::Registry& reg = plat::registry();
  char schemeText[kValueTextSize];
  char iconText[kValueTextSize];
  char commandText[kValueTextSize];
  std::snprintf(schemeText, sizeof schemeText, "URL:%s", AppTitle);
  int iconLength = std::snprintf(iconText, sizeof iconText, "\"%s\",1", applicationPath);
  int commandLength =
      std::snprintf(commandText, sizeof commandText, "\"%s\" \"%%1\"", applicationPath);
  // Both checks run, so the log names every value that doesn't fit.
  bool iconFits = FitsValueText("DefaultIcon", iconLength);
  bool commandFits = FitsValueText("shell\\open\\command", commandLength);
  if (!iconFits || !commandFits) return false;
  // A path the desktop's launchers can't start from an entry: said before
  // anything is written, and refused when no launcher at all could start it,
  // so "register" never reports success for links that can't work.
  bool noLauncher = false;
  std::string launchProblem = plat::SchemeHandlerPathProblem(applicationPath, &noLauncher);
  if (noLauncher) {
    WarnOfLaunchers(launchProblem + " Nothing registered.");
    return false;
  }

  plat::RegKey scheme = 0;
  int32_t rc = reg.CreateKey(plat::kHkeyClassesRoot, kSchemeKeyName, &scheme);
  if (rc != 0) {
    LogWrite("ERROR: RegisterURLHandler - RegCreateKeyEx failed for [%s]. Error=%d\n",
             kSchemeKeyName, rc);
    return false;
  }
  rc = SetText(scheme, nullptr, schemeText);
  if (rc != 0) {
    LogWrite("ERROR: RegisterURLHandler - RegSetValueEx failed for [%s]. Error=%d\n", schemeText,
             rc);
    reg.CloseKey(scheme);
    return false;
  }
  rc = SetText(scheme, "URL Protocol", "");
  if (rc != 0) {
    LogWrite("ERROR: RegisterURLHandler - RegSetValueEx failed for [URL Protocol]. Error=%d\n", rc);
    reg.CloseKey(scheme);
    return false;
  }

  plat::RegKey icon = 0;
  rc = reg.CreateKey(scheme, "DefaultIcon", &icon);
  if (rc != 0) {
    LogWrite("ERROR: RegisterURLHandler - RegCreateKeyEx failed for [DefaultIcon]. Error=%d\n", rc);
    reg.CloseKey(scheme);
    return false;
  }
  rc = SetText(icon, nullptr, iconText);
  if (rc != 0) {
    LogWrite("ERROR: RegisterURLHandler - Failed to set value [%s] for [DefaultIcon]s. Error=%d\n",
             iconText, rc);
    reg.CloseKey(icon);
    reg.CloseKey(scheme);
    return false;
  }
  reg.CloseKey(icon);

  plat::RegKey command = 0;
  rc = reg.CreateKey(scheme, "shell\\open\\command", &command);
  if (rc != 0) {
    LogWrite("ERROR: RegisterURLHandler - Failed to Creat [shell\\open\\command]. Error=%d\n", rc);
    reg.CloseKey(scheme);
    return false;
  }
  rc = SetText(command, nullptr, commandText);
  if (rc != 0) {
    LogWrite("ERROR: RegisterURLHandler - Failed to set value [%s] for [shell\\open\\command]. "
             "Error=%d\n",
             commandText, rc);
    reg.CloseKey(command);
    reg.CloseKey(scheme);
    return false;
  }
  reg.CloseKey(command);
  reg.CloseKey(scheme);

  // The scheme is registered. What follows is best effort, but for the
  // desktop's default handler: without it the user's links go elsewhere, or
  // nowhere, and "register" must not say it succeeded.
  bool handlerSet = true;
  std::vector<std::string> failures =
      plat::RegisterSchemeHandlerDesktop(AppTitle, applicationPath, &handlerSet);
  for (size_t i = 0; i < failures.size(); ++i) {
    bool fatal = !handlerSet && i + 1 == failures.size();
    LogWrite("%s: RegisterURLHandler - %s\n", fatal ? "ERROR" : "WARNING", failures[i].c_str());
  }
  if (!handlerSet) return false;
  if (!launchProblem.empty()) WarnOfLaunchers(launchProblem);

  plat::RegKey userAgent = 0;
  rc = reg.CreateKey(plat::kHkeyLocalMachine, kUserAgentKeyPath, &userAgent);
  if (rc != 0) {
    LogWrite("WARNING: RegisterURLHandler - RegCreateKeyEx failed for IE User Agent String. "
             "Error=%d\n",
             rc);
    return true;
  }
  rc = SetText(userAgent, UpgraderVersion, "");
  if (rc != 0) {
    LogWrite("WARNING: RegisterURLHandler - Failed to set upgrader key under IE User Agent. "
             "Error=%d\n",
             rc);
  }
  reg.CloseKey(userAgent);
  return true;
}

// Removes whatever there is of a registration. One that another run left
// half done (a crash, or an older copy without the lock) is removed too, and
// counts as removed; only when nothing of it was there is the result false.
bool RemoveRegistration() {
  plat::Registry& reg = plat::registry();
  bool removedAny = false;

  plat::RegKey userAgent = 0;
  int32_t rc = reg.OpenKey(plat::kHkeyLocalMachine, kUserAgentKeyPath, true, &userAgent);
  if (rc == 0) {
    rc = reg.DeleteValue(userAgent, UpgraderVersion);
    if (rc != 0) {
      LogWrite("WARNING: RegisterURLHandler - Failed to Delete upgrader key under IE User Agent. "
               "Error=%d\n",
               rc);
    } else {
      removedAny = true;
    }
    reg.CloseKey(userAgent);
  } else {
    LogWrite("WARNING: RegisterURLHandler - Failed to Open IE User Agent Key. Error=%d\n", rc);
  }

  bool removedDesktop = false;
  for (const std::string& failure : plat::UnregisterSchemeHandlerDesktop(&removedDesktop)) {
    LogWrite("WARNING: RegisterURLHandler - %s\n", failure.c_str());
  }
  removedAny = removedAny || removedDesktop;

  plat::RegKey scheme = 0;
  rc = reg.OpenKey(plat::kHkeyClassesRoot, kSchemeKeyName, true, &scheme);
  if (rc == plat::kErrorFileNotFound && removedAny) return true;
  if (rc != 0) {
    LogWrite("ERROR: RegisterURLHandler - Failed to open key [%s]. Error=%d\n", kSchemeKeyName, rc);
    return false;
  }
  // One key at a time, deepest first: RegDeleteKey removes only keys without
  // subkeys. A key that isn't there is one less to remove.
  static const char* const kSubKeys[] = {"shell\\open\\command", "shell\\open", "shell",
                                         "DefaultIcon"};
  for (const char* subKey : kSubKeys) {
    rc = reg.DeleteKey(scheme, subKey);
    if (rc != 0 && rc != plat::kErrorFileNotFound) {
      LogWrite("ERROR: RegisterURLHandler - Failed to delete key [%s]. Error=%d\n", subKey, rc);
      reg.CloseKey(scheme);
      return false;
    }
  }
  reg.CloseKey(scheme);
  rc = reg.DeleteKey(plat::kHkeyClassesRoot, kSchemeKeyName);
  if (rc != 0) {
    LogWrite("ERROR: RegisterURLHandler - Failed to delete key [%s]. Error=%d\n", kSchemeKeyName,
             rc);
    return false;
  }
  return true;
}

}  // namespace
