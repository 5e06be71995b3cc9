#include "app/usage.h"

#include "platform/language.h"

const char* UsageText() {
  // Read by a person at a terminal: in that person's language.
  return plat::Translate(
      "Usage: KelvoUpgrader kelvo://URL\n"
      "       KelvoUpgrader register | unregister\n"
      "       KelvoUpgrader /NOSERVER script\n"
      "       KelvoUpgrader --help | --version\n");
}
