#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/desktop.h"
#include "platform/errors.h"
#include "platform/posix/xdg.h"

extern char** environ;

namespace plat {

// The program's icon, packaging/icons/kelvo-upgrader.svg, built into the
// program (the build writes it into a generated source).
extern const char kProgramIconSvg[];

namespace {

const char kEntryName[] = "kelvo-upgrader.desktop";
const char kMimeType[] = "x-scheme-handler/kelvo";
const char kDefaultsSection[] = "[Default Applications]";
// The entry names its icon by the name the .deb installs it under in the
// hicolor theme. A program registered from anywhere else brings its own copy
// into the user's part of that theme, where every desktop and browser looks
// for a named icon; an icon beside the program wouldn't survive the program
// being moved, and a path in the entry would hide the installed one.
const char kIconName[] = "kelvo-upgrader";
constexpr int kXdgMimeTimeoutMs = 10000;

std::string Code(int errnoValue) { return std::to_string(WindowsCodeFromErrno(errnoValue)); }

int MakeFolders(const std::string& path) {
  for (size_t at = 1; at <= path.size(); ++at) {
    if (at != path.size() && path[at] != '/') continue;
    if (::mkdir(path.substr(0, at).c_str(), 0755) != 0 && errno != EEXIST) return errno;
  }
  return 0;
}

// Writes beside the target and renames, so a reader never sees half a file.
// Returns 0 or the errno of the failing step.
int WriteFileAtomically(const std::string& path, const std::string& text) {
  int err = MakeFolders(path.substr(0, path.rfind('/')));
  if (err) return err;
  // The temporary name is easy to guess, so anything already there (a link
  // someone placed, a file a dead copy left) is cleared, and the open refuses
  // rather than follows whatever appears in between.
  std::string temp = path + ".tmp-" + std::to_string(::getpid());
  ::unlink(temp.c_str());
  int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (fd < 0) return errno;
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      err = errno;
      break;
    }
    done += static_cast<size_t>(n);
  }
  if (!err && ::fsync(fd) != 0) err = errno;
  if (::close(fd) != 0 && !err) err = errno;
  if (!err && ::rename(temp.c_str(), path.c_str()) != 0) err = errno;
  if (err) ::unlink(temp.c_str());
  return err;
}

// 0 and the text, ENOENT when there is no file, or another errno. A link is
// refused: what it points at would be written back, as our own file, beside it.
int ReadFile(const std::string& path, std::string* text) {
  int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return errno;
  text->clear();
  char buffer[4096];
  for (;;) {
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      int err = errno;
      ::close(fd);
      return err;
    }
    if (n == 0) break;
    text->append(buffer, static_cast<size_t>(n));
  }
  ::close(fd);
  return 0;
}

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

// The first executable file named name in a folder of $PATH, or "".
std::string FindOnPath(const char* name) {
  const char* path = std::getenv("PATH");
  if (!path) return std::string();
  std::string list(path);
  size_t start = 0;
  for (;;) {
    size_t end = list.find(':', start);
    std::string folder = list.substr(start, end == std::string::npos ? std::string::npos : end - start);
    if (!folder.empty()) {
      std::string candidate = folder + "/" + name;
      struct stat st {};
      if (::stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
          ::access(candidate.c_str(), X_OK) == 0) {
        return candidate;
      }
    }
    if (end == std::string::npos) return std::string();
    start = end + 1;
  }
}

// Runs a program with its output thrown away; true when it ended with 0
// within the time-out (it is killed after it).
bool RunQuietly(const std::string& program, const std::vector<std::string>& args,
                std::string* failure) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  pid_t pid = 0;
  int err = ::posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (err) {
    *failure = "could not be started. Error=" + Code(err);
    return false;
  }
  int status = 0;
  for (int waited = 0;; waited += 10) {
    pid_t r = ::waitpid(pid, &status, WNOHANG);
    if (r == pid) break;
    if (r < 0 && errno != EINTR) {
      *failure = "could not be waited for. Error=" + Code(errno);
      return false;
    }
    if (waited >= kXdgMimeTimeoutMs) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      *failure = "did not finish in time";
      return false;
    }
    struct timespec ts {0, 10 * 1000000L};
    ::nanosleep(&ts, nullptr);
  }
  if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return true;
  *failure = WIFEXITED(status) ? "ended with exit code " + std::to_string(WEXITSTATUS(status))
                               : "was ended by signal " + std::to_string(WTERMSIG(status));
  return false;
}

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

std::string JoinLines(const std::vector<std::string>& lines) {
  std::string text;
  for (const auto& l : lines) text += l + "\n";
  return text;
}

bool IsSectionLine(const std::string& line) { return !line.empty() && line[0] == '['; }

bool IsOurKeyLine(const std::string& line) {
  std::string key = std::string(kMimeType) + "=";
  return line.compare(0, key.size(), key) == 0;
}

// Sets our scheme's default handler in a mimeapps.list text.
std::string WithDefaultHandler(const std::string& text) {
  std::vector<std::string> lines = SplitLines(text);
  std::vector<std::string> out;
  bool inDefaults = false, placed = false;
  std::string entry = std::string(kMimeType) + "=" + kEntryName;
  for (const auto& line : lines) {
    if (IsSectionLine(line)) {
      if (inDefaults && !placed) {
        out.push_back(entry);
        placed = true;
      }
      inDefaults = line == kDefaultsSection;
    } else if (inDefaults && IsOurKeyLine(line)) {
      if (!placed) out.push_back(entry);
      placed = true;
      continue;
    }
    out.push_back(line);
  }
  if (inDefaults && !placed) {
    out.push_back(entry);
    placed = true;
  }
  if (!placed) {
    out.push_back(kDefaultsSection);
    out.push_back(entry);
  }
  return JoinLines(out);
}

// Takes our desktop entry out of the scheme's lines in every section, and
// drops a line left without any handler; another program's handler stays.
std::string WithoutOurHandler(const std::string& text, bool* changed) {
  std::vector<std::string> out;
  for (const auto& line : SplitLines(text)) {
    if (!IsSectionLine(line) && IsOurKeyLine(line)) {
      std::string values = line.substr(std::string(kMimeType).size() + 1);
      std::string kept;
      size_t start = 0;
      while (start <= values.size()) {
        size_t end = values.find(';', start);
        if (end == std::string::npos) end = values.size();
        std::string id = values.substr(start, end - start);
        if (!id.empty() && id != kEntryName) kept += id + ";";
        start = end + 1;
      }
      *changed = true;
      if (!kept.empty()) out.push_back(std::string(kMimeType) + "=" + kept);
      continue;
    }
    out.push_back(line);
  }
  return JoinLines(out);
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

}  // namespace

std::string SchemeHandlerDefaultsPath() {
  std::string config = XdgBaseFolder("XDG_CONFIG_HOME", ".config");
  return config.empty() ? std::string() : config + "/mimeapps.list";
}

std::vector<std::string> RegisterSchemeHandlerDesktop(const char* title,
                                                      const char* applicationPath) {
  std::vector<std::string> failures;
  std::string entryPath = SchemeHandlerDesktopEntryPath();
  if (entryPath.empty()) {
    failures.push_back("No folder for the desktop entry: neither XDG_DATA_HOME nor HOME is set");
    return failures;
  }
  std::string entry = std::string("[Desktop Entry]\n") +
                      "Type=Application\n"
                      "Name=" + title + "\n" +
                      "Icon=" + kIconName + "\n" +
                      "Exec=" + ExecProgram(applicationPath) + " %u\n" +
                      "NoDisplay=true\n"
                      "MimeType=" + kMimeType + ";\n";
  if (int err = WriteFileAtomically(entryPath, entry)) {
    failures.push_back("Failed to write desktop entry [" + entryPath + "]. Error=" + Code(err));
    return failures;
  }
  // Without it the entry still starts the program; the desktop shows a
  // blank instead of the icon.
  std::string theme, iconPath = SchemeHandlerIconPath(&theme);
  if (int err = WriteFileAtomically(iconPath, kProgramIconSvg)) {
    failures.push_back("Failed to write icon [" + iconPath + "]. Error=" + Code(err));
  } else {
    TouchFolder(theme);
  }

  std::string xdgMime = FindOnPath("xdg-mime");
  if (!xdgMime.empty()) {
    std::string failure;
    if (RunQuietly(xdgMime, {"default", kEntryName, kMimeType}, &failure)) return failures;
    failures.push_back("xdg-mime [" + xdgMime + "] " + failure);
  }
  std::string defaults = SchemeHandlerDefaultsPath();
  std::string text;
  int err = defaults.empty() ? ENOENT : ReadFile(defaults, &text);
  if (err == ENOENT) {
    text.clear();
    err = 0;
  }
  if (!err && !defaults.empty()) err = WriteFileAtomically(defaults, WithDefaultHandler(text));
  if (err || defaults.empty()) {
    failures.push_back("Failed to set the default handler in [" + defaults + "]. Error=" +
                       Code(defaults.empty() ? ENOENT : err));
  }
  return failures;
}

std::vector<std::string> UnregisterSchemeHandlerDesktop(bool* removedAny) {
  std::vector<std::string> failures;
  bool removed = false;
  if (!removedAny) removedAny = &removed;
  *removedAny = false;
  std::string entryPath = SchemeHandlerDesktopEntryPath();
  if (!entryPath.empty()) {
    if (::unlink(entryPath.c_str()) == 0) {
      *removedAny = true;
    } else if (errno != ENOENT) {
      failures.push_back("Failed to remove desktop entry [" + entryPath +
                         "]. Error=" + Code(errno));
    }
  }
  std::string theme, iconPath = SchemeHandlerIconPath(&theme);
  if (!iconPath.empty()) {
    if (::unlink(iconPath.c_str()) == 0) {
      TouchFolder(theme);
    } else if (errno != ENOENT && errno != ENOTDIR) {  // none there to remove
      failures.push_back("Failed to remove icon [" + iconPath + "]. Error=" + Code(errno));
    }
  }
  std::string defaults = SchemeHandlerDefaultsPath();
  if (defaults.empty()) return failures;
  std::string text;
  int err = ReadFile(defaults, &text);
  if (err == ENOENT) return failures;
  bool changed = false;
  std::string updated;
  if (!err) updated = WithoutOurHandler(text, &changed);
  if (!err && changed) err = WriteFileAtomically(defaults, updated);
  if (!err && changed) *removedAny = true;
  if (err) {
    failures.push_back("Failed to remove the default handler from [" + defaults + "]. Error=" +
                       Code(err));
  }
  return failures;
}

}  // namespace plat
