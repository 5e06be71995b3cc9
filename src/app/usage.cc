#include "app/usage.h"

const char* UsageText() {
  return "Usage: KelvoUpgrader kelvo://URL\n"
         "       KelvoUpgrader register | unregister\n"
         "       KelvoUpgrader /NOSERVER script\n"
         "       KelvoUpgrader --help | --version\n";
}
