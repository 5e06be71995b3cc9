#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "platform/desktop.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/posix/desktop_files.h"
#include "platform/posix/mimeapps_list.h"
#include "platform/posix/xdg.h"

namespace plat {

// The program's icon, packaging/icons/kelvo-upgrader.svg, built into the
// program (the build writes it into a generated source).
extern const char kProgramIconSvg[];

namespace {

// Not the name of the packages' entry (kelvo-upgrader.desktop): a user's
// entry of the same name would hide the system one, and the user's
// associations could not tell the two apart, so "unregister" could not
// remove exactly its own.
const char kEntryName[] = "kelvo-upgrader-user.desktop";
// The packages' entry. While a user's registration is in place, it is taken
// out of that user's handlers of the scheme ([Removed Associations]): the
// desktop portal starts a handler without asking only when GIO lists one
// alone. Our entry keeps a note of having done so (kHidesKey), so that
// "unregister" gives it back, and only then: a user who had removed it
// themselves keeps it removed. An older "register" wrote its own entry under
// this name; "register" and "unregister" take such an entry away.
const char kPackageEntryName[] = "kelvo-upgrader.desktop";
const char kHidesKey[] = "X-KelvoUpgrader-Hides";
const char kMimeType[] = "x-scheme-handler/kelvo";
const char kDefaultsSection[] = "[Default Applications]";
const char kAddedSection[] = "[Added Associations]";
const char kRemovedSection[] = "[Removed Associations]";
// The entry names its icon by the name the .deb installs it under in the
// hicolor theme. A program registered from anywhere else brings its own copy
// into the user's part of that theme, where every desktop and browser looks
// for a named icon; an icon beside the program wouldn't survive the program
// being moved, and a path in the entry would hide the installed one.
const char kIconName[] = "kelvo-upgrader";

std::string Code(int errnoValue) { return std::to_string(WindowsCodeFromErrno(errnoValue)); }

// Characters the desktop entry format reserves: an argument holding one must
// be quoted. Control characters count too (the quoted form escapes them).
bool NeedsQuotes(const std::string& path) {
  for (unsigned char c : path) {
    if (c < 0x20 || c == 0x7F || std::strchr(" \"'\\><~|&;$*?#()`", c)) return true;
  }
  return false;
}

// Whether the bytes are UTF-8 text: desktop entries are, and GLib drops the
// Exec key of one that isn't.
bool IsUtf8(const std::string& text) {
  for (size_t i = 0; i < text.size();) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    size_t more = c < 0x80 ? 0 : c >= 0xC2 && c < 0xE0 ? 1 : c >= 0xE0 && c < 0xF0 ? 2
                : c >= 0xF0 && c < 0xF5 ? 3 : 4;
    if (more == 4 || i + more >= text.size()) return false;
    for (size_t k = 1; k <= more; ++k) {
      if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) return false;
    }
    i += more + 1;
  }
  return true;
}

// The Exec key's program argument. Quoted only where the path needs it:
// xdg-open's generic mode (what Chromium-family browsers reach on desktops
// other than GNOME, KDE and Xfce) takes the first word of Exec literally,
// quotes and all. Inside quotes the characters the format reserves there are
// escaped; '%' is doubled for the field codes; then come the string value's
// own escapes (backslash, line breaks).
std::string ExecProgram(const std::string& path) {
  bool quote = NeedsQuotes(path);
  std::string argument = quote ? "\"" : "";
  for (char c : path) {
    if (quote && (c == '"' || c == '`' || c == '$' || c == '\\')) argument.push_back('\\');
    if (c == '%') argument.push_back('%');
    argument.push_back(c);
  }
  if (quote) argument.push_back('"');
  std::string value;
  for (char c : argument) {
    if (c == '\\') {
      value += "\\\\";
    } else if (c == '\n') {
      value += "\\n";
    } else if (c == '\r') {
      value += "\\r";
    } else if (c == '\t') {
      value += "\\t";
    } else {
      value.push_back(c);
    }
  }
  return value;
}

using Groups = MimeGroups;

// The two groups of mimeapps.list that make an entry the scheme's handler:
// the default GIO and xdg-mime pick, and the association that makes GIO list
// the entry as registered, which the desktop portal (sandboxed browsers)
// and GIO's choosers need, since no desktop database indexes the user's
// applications folder.
const Groups& HandlerGroups() {
  static const Groups groups = {kDefaultsSection, kAddedSection};
  return groups;
}
}  // namespace

// The launchers that matter: GIO (GNOME and the desktops whose xdg-open hands
// links to gio or exo-open, and Firefox everywhere) reads the entry by the
// format's rules; xdg-open's generic mode (i3, sway, LXDE, LXQt, no desktop
// set: what Chromium-family browsers use there) splits Exec at blanks and
// runs the first word as it stands.
std::string SchemeHandlerPathProblem(const char* applicationPath, bool* noLauncher) {
  std::string path(applicationPath);
  bool percent = path.find('%') != std::string::npos;
  bool quoted = NeedsQuotes(path);
  bool utf8 = IsUtf8(path);
  // GLib looks the program up before it expands the field codes, so a
  // doubled '%' names a file that isn't there.
  bool gioStarts = !percent && utf8;
  bool genericStarts = !percent && !quoted;
  *noLauncher = !gioStarts && !genericStarts;
  if (gioStarts && genericStarts) return std::string();
  std::string why;
  if (percent) {
    why = "holds '%', which neither GIO nor xdg-open can start from a desktop entry: no web link "
          "would start the program";
  } else if (!gioStarts && !genericStarts) {
    why = "is not UTF-8 text and must be quoted in a desktop entry, so neither GIO nor xdg-open "
          "can start it from one: no web link would start the program";
  } else if (!genericStarts) {
    why = "must be quoted in a desktop entry, and xdg-open can't start a quoted program on the "
          "desktops it serves itself (i3, sway, LXDE, LXQt, none set): web links won't start it "
          "from browsers there";
  } else {
    why = "is not UTF-8 text, which GIO (GNOME, Xfce, MATE, Firefox) can't read in a desktop "
          "entry: web links opened through it won't start the program";
  }
  return "The program's path [" + path + "] " + why + ". Move the program to a path of UTF-8 "
         "text without blanks, '%' or any of \"'\\<>~|&;$*?#()` and register again.";
}

std::string SchemeHandlerDesktopEntryPath() {
  std::string data = XdgBaseFolder("XDG_DATA_HOME", ".local/share");
  return data.empty() ? std::string() : data + "/applications/" + kEntryName;
}

std::string SchemeHandlerDefaultsPath() {
  std::string config = XdgBaseFolder("XDG_CONFIG_HOME", ".config");
  return config.empty() ? std::string() : config + "/mimeapps.list";
}

namespace {

// The user's copy of the icon, and the theme folder whose time says that the
// theme has changed (the desktops' icon caches go by it).
std::string SchemeHandlerIconPath(std::string* themeFolder) {
  std::string data = XdgBaseFolder("XDG_DATA_HOME", ".local/share");
  if (data.empty()) return std::string();
  *themeFolder = data + "/icons/hicolor";
  return *themeFolder + "/scalable/apps/" + kIconName + ".svg";
}

void TouchFolder(const std::string& folder) { ::utimensat(AT_FDCWD, folder.c_str(), nullptr, 0); }

// Edits the user's mimeapps.list: a file that isn't there is treated as
// empty, and nothing is written when nothing changes. A link that the user
// owns to a file the user owns (dotfile managers make it one) is kept, and
// the file it points at is edited; any other link is refused (EACCES).
int EditDefaults(const std::string& defaults, bool create,
                 const std::function<std::string(const std::string&, bool*)>& edit,
                 bool* edited = nullptr) {
  std::string file;
  int err = DefaultsFileToEdit(defaults, &file);
  if (err) return err;
  RemoveStaleTemporariesOf(defaults);
  if (file != defaults) RemoveStaleTemporariesOf(file);
  std::string text;
  err = ReadFileNoFollow(file, &text);
  if (err == ENOENT && !create) return 0;
  if (err == ENOENT) text.clear();
  else if (err) return err;
  bool changed = false;
  std::string updated = edit(text, &changed);
  if (!changed) return 0;
  struct stat st {};
  unsigned mode = ::lstat(file.c_str(), &st) == 0 ? st.st_mode & 07777 : 0644;
  // Nothing but our lines was in it: "register" made it. A linked file is
  // the user's own and stays, emptied.
  if (updated.empty() && file == defaults) {
    err = ::unlink(file.c_str()) == 0 || errno == ENOENT ? 0 : errno;
  } else {
    err = WriteFileAtomically(file, updated, mode);
  }
  if (!err && edited) *edited = true;
  return err;
}

// The folders on the way to path that aren't there yet, the outermost first.
std::vector<std::string> MissingFolders(const std::string& path) {
  std::vector<std::string> missing;
  for (size_t at = 1; at <= path.size(); ++at) {
    if (at != path.size() && path[at] != '/') continue;
    struct stat st {};
    std::string part = path.substr(0, at);
    if (::lstat(part.c_str(), &st) != 0) missing.push_back(part);
  }
  return missing;
}

// The folders "register" made, deepest first, each only while empty.
void RemoveMadeFolders(std::vector<std::string> folders) {
  std::sort(folders.begin(), folders.end(),
            [](const std::string& a, const std::string& b) { return a.size() > b.size(); });
  for (const std::string& folder : folders) ::rmdir(folder.c_str());
}

// Whether our entry's text notes that it took the packages' entry out.
bool NotesHiding(const std::string& entry) {
  return entry.find("\n" + std::string(kHidesKey) + "=" + kPackageEntryName + "\n") !=
         std::string::npos;
}

// An entry under the packages' name that an older "register" wrote: exactly
// its six lines, or seven with its icon (the packages' own entry, or a
// user's copy of it, has more).
bool IsOlderRegistersEntry(const std::string& text) {
  static const char kHead[] = "[Desktop Entry]\nType=Application\nName=";
  static const char kTail[] = "\nNoDisplay=true\nMimeType=x-scheme-handler/kelvo;\n";
  size_t lines = 0;
  for (char c : text) lines += c == '\n';
  if (lines == 7 && text.find("\nIcon=" + std::string(kIconName) + "\n") != std::string::npos) {
    lines = 6;
  }
  return lines == 6 && text.rfind(kHead, 0) == 0 && text.size() > sizeof kTail &&
         text.compare(text.size() - (sizeof kTail - 1), sizeof kTail - 1, kTail) == 0 &&
         text.find("\nExec=") != std::string::npos;
}

void RemoveOlderRegistration(const std::string& defaults, std::vector<std::string>* failures) {
  std::string data = XdgBaseFolder("XDG_DATA_HOME", ".local/share");
  if (data.empty()) return;
  std::string path = data + "/applications/" + kPackageEntryName;
  std::string text;
  if (ReadFileNoFollow(path, &text) != 0 || !IsOlderRegistersEntry(text)) return;
  if (::unlink(path.c_str()) != 0) {
    failures->push_back("Failed to remove the older desktop entry [" + path + "]. Error=" +
                        Code(errno));
    return;
  }
  if (defaults.empty()) return;
  auto edit = [](const std::string& text, bool* changed) {
    return WithoutHandler(text, kPackageEntryName, HandlerGroups(), changed);
  };
  if (int err = EditDefaults(defaults, false, edit)) {
    failures->push_back("Failed to remove the older handler from [" + defaults + "]. Error=" +
                        Code(err));
  }
}

}  // namespace

std::vector<std::string> RegisterSchemeHandlerDesktop(const char* title, const char* applicationPath,
                                                      bool* handlerSet) {
  std::vector<std::string> failures;
  bool set = true;
  if (!handlerSet) handlerSet = &set;
  *handlerSet = true;
  std::string entryPath = SchemeHandlerDesktopEntryPath();
  if (entryPath.empty()) {
    failures.push_back("No folder for the desktop entry: neither XDG_DATA_HOME nor HOME is set");
    return failures;
  }
  std::string defaults = SchemeHandlerDefaultsPath();
  std::string theme, iconPath = SchemeHandlerIconPath(&theme);
  RemoveStaleTemporariesOf(entryPath);
  RemoveStaleTemporariesOf(iconPath);
  // The packages' entry is taken out unless the user had taken it out
  // already, or this registration did (registering again).
  DesktopRecord record;
  ReadDesktopRecord(&record);
  std::string before;
  bool hides = record.hides ||
               (ReadFileNoFollow(entryPath, &before) == 0 && NotesHiding(before));
  std::string defaultsFile;
  if (!hides && !defaults.empty() && DefaultsFileToEdit(defaults, &defaultsFile) == 0) {
    std::string current;
    hides = ReadFileNoFollow(defaultsFile, &current) != 0 ||
            !ListsHandler(current, kPackageEntryName, kRemovedSection);
  }
  // What this run is about to change is on record first: killed at any
  // point from here on, it leaves "unregister" all it needs to undo it.
  record.hides = hides;
  for (const std::string& file : {entryPath, iconPath, defaults}) {
    if (file.empty()) continue;
    for (const std::string& folder : MissingFolders(FolderOf(file))) {
      if (std::find(record.madeFolders.begin(), record.madeFolders.end(), folder) ==
          record.madeFolders.end()) {
        record.madeFolders.push_back(folder);
      }
    }
  }
  if (int err = WriteDesktopRecord(record)) {
    failures.push_back("Failed to write [" + DesktopRecordPath() + "]. Error=" + Code(err));
  }
  std::string entry = std::string("[Desktop Entry]\n") +
                      "Type=Application\n"
                      "Name=" + title + "\n" +
                      "Icon=" + kIconName + "\n" +
                      "Exec=" + ExecProgram(applicationPath) + " %u\n" +
                      "NoDisplay=true\n"
                      "MimeType=" + kMimeType + ";\n";
  if (hides) entry += std::string(kHidesKey) + "=" + kPackageEntryName + "\n";
  if (int err = WriteFileAtomically(entryPath, entry)) {
    failures.push_back("Failed to write desktop entry [" + entryPath + "]. Error=" + Code(err));
    return failures;
  }
  // Without it the entry still starts the program; the desktop shows a
  // blank instead of the icon.
  if (int err = WriteFileAtomically(iconPath, kProgramIconSvg)) {
    failures.push_back("Failed to write icon [" + iconPath + "]. Error=" + Code(err));
  } else {
    TouchFolder(theme);
  }
  RemoveOlderRegistration(defaults, &failures);
  // Written here rather than by xdg-mime, which replaces the whole list of
  // handlers with ours and sets only the default: the other entries could
  // not come back on "unregister", and GIO would not list ours as registered.
  auto edit = [hides](const std::string& text, bool* changed) {
    std::string updated = WithHandler(text, kEntryName, HandlerGroups());
    if (hides) updated = WithHandler(updated, kPackageEntryName, {kRemovedSection});
    *changed = updated != text;
    return updated;
  };
  int err = defaults.empty() ? ENOENT : EditDefaults(defaults, true, edit);
  if (err) {
    failures.push_back("Failed to set the default handler in [" + defaults + "]. Error=" +
                       Code(err));
    *handlerSet = false;
  }
  return failures;
}

std::vector<std::string> UnregisterSchemeHandlerDesktop(bool* removedAny) {
  std::vector<std::string> failures;
  bool removed = false;
  if (!removedAny) removedAny = &removed;
  *removedAny = false;
  std::string entryPath = SchemeHandlerDesktopEntryPath();
  std::string defaults = SchemeHandlerDefaultsPath();
  std::string theme, iconPath = SchemeHandlerIconPath(&theme);
  if (!entryPath.empty()) RemoveStaleTemporariesOf(entryPath);
  if (!iconPath.empty()) RemoveStaleTemporariesOf(iconPath);
  // Whether a "register" took the packages' entry out: on record, or noted
  // in our entry by an older one. The lines go first, the entry and the
  // record after them, so that a run killed in between leaves the note for
  // the next.
  DesktopRecord record;
  bool recorded = ReadDesktopRecord(&record);
  std::string entry;
  bool hid = record.hides ||
             (!entryPath.empty() && ReadFileNoFollow(entryPath, &entry) == 0 && NotesHiding(entry));
  RemoveOlderRegistration(defaults, &failures);
  bool linesGone = true;
  if (!defaults.empty()) {
    auto edit = [hid](const std::string& text, bool* changed) {
      std::string updated = WithoutHandler(text, kEntryName, HandlerGroups(), changed);
      if (hid) updated = WithoutHandler(updated, kPackageEntryName, {kRemovedSection}, changed);
      return updated;
    };
    if (int err = EditDefaults(defaults, false, edit, removedAny)) {
      linesGone = false;
      failures.push_back("Failed to remove the default handler from [" + defaults + "]. Error=" +
                         Code(err));
    }
  }
  if (!entryPath.empty()) {
    if (::unlink(entryPath.c_str()) == 0) {
      *removedAny = true;
    } else if (errno != ENOENT) {
      failures.push_back("Failed to remove desktop entry [" + entryPath +
                         "]. Error=" + Code(errno));
    }
  }
  if (!iconPath.empty()) {
    if (::unlink(iconPath.c_str()) == 0) {
      TouchFolder(theme);
    } else if (errno != ENOENT && errno != ENOTDIR) {  // none there to remove
      failures.push_back("Failed to remove icon [" + iconPath + "]. Error=" + Code(errno));
    }
  }
  if (recorded && linesGone) {
    RemoveMadeFolders(record.madeFolders);
    RemoveDesktopRecord();
    *removedAny = true;
  }
  return failures;
}

}  // namespace plat
