// gettext in a locale of its own: only the messages category follows the
// user, and only for the calls made here, so that the log, the report and
// every other text the process formats stay exactly as they are whatever the
// user's locale.
#include <libintl.h>
#include <locale.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <mutex>
#include <string>

#include "platform/language.h"
#include "platform/posix/language_posix.h"

namespace plat {

namespace {

const char kDomain[] = "kelvo-upgrader";

locale_t messagesLocale = nullptr;

bool IsFolder(const std::string& path) {
  struct stat info;
  return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// Where the catalogs are: beside a program in the build tree (locale/), or
// the share/locale of the installation the program belongs to, whether it
// lies in <prefix>/bin or in <prefix>/lib/<package>/ as the .deb puts it.
std::string CatalogFolder() {
  char buffer[PATH_MAX + 1];
  ssize_t n = ::readlink("/proc/self/exe", buffer, PATH_MAX);
  if (n > 0) {
    std::string folder(buffer, static_cast<size_t>(n));
    folder.erase(folder.rfind('/') + 1);
    for (const char* relative : {"locale", "../share/locale", "../../share/locale"}) {
      if (IsFolder(folder + relative)) return folder + relative;
    }
  }
  return "/usr/share/locale";
}

// The user's messages locale, named as setlocale would find it. "C" (or
// nothing, or a locale that isn't installed) becomes C.UTF-8: gettext ignores
// LANGUAGE in "C", a rule made so that the output of programs that scripts
// read doesn't change, and these texts are read by people only.
locale_t UserLocale() {
  std::string name;
  for (const char* variable : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    const char* value = std::getenv(variable);
    if (value && *value) {
      name = value;
      break;
    }
  }
  locale_t user = nullptr;
  if (!name.empty() && name != "C" && name != "POSIX") user = ::newlocale(LC_MESSAGES_MASK, name.c_str(), nullptr);
  if (!user) user = ::newlocale(LC_MESSAGES_MASK, "C.UTF-8", nullptr);
  // Texts come out in UTF-8 (the system's own too, strerror_l), whatever
  // the user's character set: the desktop wants UTF-8.
  if (user) {
    locale_t utf8 = ::newlocale(LC_CTYPE_MASK, "C.UTF-8", user);
    if (utf8) user = utf8;
  }
  return user;
}

void SetUp() {
  messagesLocale = UserLocale();
  ::bindtextdomain(kDomain, CatalogFolder().c_str());
  ::bind_textdomain_codeset(kDomain, "UTF-8");
}

}  // namespace

locale_t UserMessagesLocale() {
  static std::once_flag once;
  std::call_once(once, SetUp);
  return messagesLocale;
}

const char* Translate(const char* english) {
  locale_t messages = UserMessagesLocale();
  if (!messages) return english;
  locale_t saved = ::uselocale(messages);
  const char* text = ::dgettext(kDomain, english);
  ::uselocale(saved);
  return text;
}

std::string ForStandardOutput(const char* text) { return text; }

}  // namespace plat
