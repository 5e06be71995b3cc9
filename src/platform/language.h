// The texts that a person at the desktop reads (upload progress and outcome,
// the message boxes, the usage text) in that person's own language, with the
// English text as the fallback. Everything else the program writes (the log,
// the report, what a run prints) stays English: servers, scripts and support
// read it.
//
// Linux: gettext, domain "kelvo-upgrader", following LANGUAGE, LC_ALL,
// LC_MESSAGES and LANG; the catalogs are found beside the program (the build
// tree's locale/) or in the share/locale of the installation it belongs to.
// Windows: the string tables built into the program, in the user's UI language.
#pragma once
#include <string>

namespace plat {

// english in the user's language, in UTF-8, or english itself when there is
// no translation. The result lives as long as the process. Safe on any thread.
const char* Translate(const char* english);

// A translated text as standard output must carry it to be read at a
// command prompt: Windows' console shows its own code page (the ANSI one
// when output goes elsewhere), so the UTF-8 is converted there, letters the
// page lacks becoming '?'; elsewhere terminals take UTF-8 and it is unchanged.
std::string ForStandardOutput(const char* text);

}  // namespace plat
