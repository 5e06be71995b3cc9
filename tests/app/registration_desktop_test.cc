// The desktop's side of registration (Linux): the desktop entry and the
// handler lines for x-scheme-handler/kelvo in the user's mimeapps.list,
// written by "register" and removed by "unregister" without touching the
// rest of the file, and read back by the desktop's real tools (gio mime,
// xdg-open's generic mode, gio open). Windows has
// nothing beyond the registry here, so these tests skip there.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app/app.h"
#include "app/url_registration.h"
#include "log/log.h"
#include "platform/desktop.h"
#include "platform/files.h"
#include "platform/process.h"
#include "platform/spawn.h"
#include "support/test_support.h"

namespace ts = testing_support;

namespace {

class RegistrationDesktop : public ::testing::Test {
 protected:
  void SetUp() override {
    scoped_.push_back(std::make_unique<ts::ScopedEnv>("HOME", home_.path()));
    scoped_.push_back(std::make_unique<ts::ScopedEnv>("XDG_CONFIG_HOME", home_.File("config")));
    scoped_.push_back(std::make_unique<ts::ScopedEnv>("XDG_DATA_HOME", home_.File("data")));
    bin_ = home_.File("bin");
    std::filesystem::create_directories(bin_);
    scoped_.push_back(std::make_unique<ts::ScopedEnv>("PATH", bin_));
    if (plat::SchemeHandlerDesktopEntryPath().empty()) GTEST_SKIP() << "no desktop entries here";
    logSwapped_ = true;
    std::memcpy(savedLog_, LogFilePath, sizeof savedLog_);
    std::snprintf(LogFilePath, sizeof LogFilePath, "%s", home_.File("test.log").c_str());
    entry_ = home_.path() + "/data/applications/kelvo-upgrader-user.desktop";
    defaults_ = home_.path() + "/config/mimeapps.list";
  }

  void TearDown() override {
    if (logSwapped_) std::memcpy(LogFilePath, savedLog_, sizeof savedLog_);
    scoped_.clear();
  }

  std::vector<std::string> Log() {
    std::vector<std::string> lines = ts::LogMessages(ts::ReadFileBytes(LogFilePath));
    ts::WriteFileBytes(LogFilePath, "");
    return lines;
  }

  // An xdg-mime stand-in that records its arguments and ends with status.
  void InstallXdgMime(int status) {
    std::string script = "#!/bin/sh\necho \"$@\" >> '" + home_.File("xdg-mime.args") +
                         "'\nexit " + std::to_string(status) + "\n";
    std::string path = bin_ + "/xdg-mime";
    ts::WriteFileBytes(path, script);
    std::filesystem::permissions(path, std::filesystem::perms::owner_all);
  }

  // Hands the URL to a real launcher, as a browser does, and says what came
  // of it: "started" when the program ran with the URL, unchanged, as its
  // whole command line; otherwise what the launcher and the log showed.
  std::string Launch(const std::string& launcher, const std::vector<std::string>& args,
                     bool generic) {
    ts::ResetLog(home_.path());
    ts::RunResult run = ts::Run(launcher, args, {
        {"PATH", "/usr/local/bin:/usr/bin:/bin"}, {"XDG_STATE_HOME", home_.File("state")},
        {"XDG_DATA_DIRS", home_.File("none")}, {"XDG_CONFIG_DIRS", home_.File("none")},
        // No desktop named: xdg-open takes its generic mode when it has a display.
        {"XDG_CURRENT_DESKTOP", ""}, {"XDG_SESSION_DESKTOP", ""}, {"DESKTOP_SESSION", ""},
        {"KDE_FULL_SESSION", ""}, {"GNOME_DESKTOP_SESSION_ID", ""},
        {"MATE_DESKTOP_SESSION_ID", ""}, {"LXQT_SESSION_CONFIG", ""}, {"WAYLAND_DISPLAY", ""},
        {"DBUS_SESSION_BUS_ADDRESS", ""}, {"DISPLAY", generic ? ":31999" : ""},
        // Never a real browser, should the entry not be found.
        {"BROWSER", "false"},
        // The URL's host is off the allow-list; a proxy on loopback all the same.
        {"http_proxy", "http://127.0.0.1:9"}, {"https_proxy", "http://127.0.0.1:9"},
        {"HTTP_PROXY", ""}, {"HTTPS_PROXY", ""}, {"ALL_PROXY", ""}, {"all_proxy", ""},
        {"no_proxy", ""}, {"NO_PROXY", ""}}, 60000);
    // xdg-open waits for the program; gio leaves it running.
    std::string log = ts::LogPathFor(home_.path());
    for (int i = 0; i < 400 && run.ended && run.exitCode == 0; ++i) {
      if (ts::ReadFileBytes(log).find("Kelvo Upgrader Ended") != std::string::npos) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    for (const std::string& line : ts::LogMessages(ts::ReadFileBytes(log))) {
      if (line == "Command line: [" + args.back() + "]") return "started";
      if (line.rfind("Command line:", 0) == 0) return "started with " + line;
    }
    return "not started: " + (run.ended ? "exit " + std::to_string(run.exitCode) : "time-out") +
           ", " + run.output;
  }

  ts::TempDir home_;
  std::string bin_, entry_, defaults_;
  std::vector<std::unique_ptr<ts::ScopedEnv>> scoped_;
  char savedLog_[kPathMax] = {};
  bool logSwapped_ = false;
};

TEST_F(RegistrationDesktop, RegisterWritesTheEntryAndARegisteredHandler) {
  EXPECT_EQ(plat::SchemeHandlerDesktopEntryPath(), entry_);
  // GIO offers only an entry whose program is there.
  std::string program = home_.File("KelvoUpgrader");
  ts::WriteFileBytes(program, "#!/bin/sh\n");
  std::filesystem::permissions(program, std::filesystem::perms::owner_all);
  EXPECT_TRUE(RegisterURLHandler(program.c_str()));
  EXPECT_EQ(Log(), std::vector<std::string>{});
  EXPECT_EQ(ts::ReadFileBytes(entry_),
            "[Desktop Entry]\n"
            "Type=Application\n"
            "Name=Kelvo Robot Updater\n"
            "Icon=kelvo-upgrader\n"
            "Exec=" + program + " %u\n"
            "NoDisplay=true\n"
            "MimeType=x-scheme-handler/kelvo;\n"
            "X-KelvoUpgrader-Hides=kelvo-upgrader.desktop\n");
  // The packages' entry, should it be there, is taken out for this user.
  EXPECT_EQ(ts::ReadFileBytes(defaults_),
            "[Default Applications]\nx-scheme-handler/kelvo=kelvo-upgrader-user.desktop;\n"
            "[Added Associations]\nx-scheme-handler/kelvo=kelvo-upgrader-user.desktop;\n"
            "[Removed Associations]\nx-scheme-handler/kelvo=kelvo-upgrader.desktop;\n");
  // GIO itself: the default, and a registered handler, which is what the
  // desktop portal (sandboxed browsers) and GIO's choosers offer. No system
  // folders: only the user's registration counts.
  const std::vector<std::pair<std::string, std::string>> env = {
      {"XDG_DATA_DIRS", home_.File("none")}, {"XDG_CONFIG_DIRS", home_.File("none")},
      {"XDG_CURRENT_DESKTOP", ""}, {"LANG", "C.UTF-8"}, {"LC_ALL", "C.UTF-8"},
      {"PATH", "/usr/bin:/bin"}};
  ts::RunResult mime = ts::Run("/usr/bin/gio", {"mime", "x-scheme-handler/kelvo"}, env);
  EXPECT_TRUE(mime.ended && mime.exitCode == 0) << mime.output;
  EXPECT_NE(mime.output.find("x-scheme-handler/kelvo\xe2\x80\x9d: kelvo-upgrader-user.desktop\n"
                             "Registered applications:\n\tkelvo-upgrader-user.desktop\n"),
            std::string::npos)
      << mime.output;
  // The icon the entry names, in the user's part of the hicolor theme: the
  // program's own drawing, byte for byte.
  const std::string icon = home_.path() + "/data/icons/hicolor/scalable/apps/kelvo-upgrader.svg";
  const std::string drawing = ts::EnvOr("KELVO_SOURCE_DIR", ".") + "/packaging/icons/kelvo-upgrader.svg";
  ASSERT_TRUE(ts::FileExists(drawing)) << drawing << " (is KELVO_SOURCE_DIR set?)";
  EXPECT_EQ(ts::ReadFileBytes(icon), ts::ReadFileBytes(drawing));

  EXPECT_TRUE(UnregisterURLHandler());
  EXPECT_EQ(Log(), std::vector<std::string>{});
  EXPECT_FALSE(ts::FileExists(entry_));
  EXPECT_FALSE(ts::FileExists(icon));
  // The file was register's own: nothing of it is left.
  EXPECT_FALSE(ts::FileExists(defaults_));
  mime = ts::Run("/usr/bin/gio", {"mime", "x-scheme-handler/kelvo"}, env);
  EXPECT_EQ(mime.output.find("kelvo-upgrader"), std::string::npos) << mime.output;
}

// What the user's mimeapps.list holds before "register", and after it;
// "unregister" must give back the first, byte for byte: other handlers of
// the scheme, other keys, comments, other groups, blank lines, and the
// packages' entry taken out by the user themselves.
TEST_F(RegistrationDesktop, UnregisterTakesAwayExactlyWhatRegisterAdded) {
  struct Case {
    const char* kind;
    std::string before, registered;
  };
  const std::string ours = "x-scheme-handler/kelvo=kelvo-upgrader-user.desktop;";
  const std::string hidden = "x-scheme-handler/kelvo=kelvo-upgrader.desktop;";
  const std::vector<Case> cases = {
      {"other programs' associations, both groups there",
       "# my own choices\n[Added Associations]\ntext/plain=gedit.desktop;\n\n"
       "[Default Applications]\ntext/html=firefox.desktop\n",
       "# my own choices\n[Added Associations]\ntext/plain=gedit.desktop;\n" + ours + "\n\n"
       "[Default Applications]\ntext/html=firefox.desktop\n" + ours + "\n"
       "[Removed Associations]\n" + hidden + "\n"},
      {"other handlers of the scheme, no trailing ';', blanks around '='",
       "[Default Applications]\nx-scheme-handler/kelvo=old.desktop\n"
       "[Added Associations]\nx-scheme-handler/kelvo = a.desktop;b.desktop;\n"
       "[Removed Associations]\nx-scheme-handler/kelvo=c.desktop\n",
       "[Default Applications]\n" + ours + "old.desktop\n"
       "[Added Associations]\n"
       "x-scheme-handler/kelvo = kelvo-upgrader-user.desktop;a.desktop;b.desktop;\n"
       "[Removed Associations]\n" + hidden + "c.desktop\n"},
      {"the packages' entry removed by the user, other groups",
       "[Removed Associations]\nx-scheme-handler/kelvo=x.desktop;kelvo-upgrader.desktop;\n"
       "[Default Applications]\ntext/html=f.desktop\n[Other Group]\nx-scheme-handler/kelvo=x.desktop;\n",
       "[Removed Associations]\nx-scheme-handler/kelvo=x.desktop;kelvo-upgrader.desktop;\n"
       "[Default Applications]\ntext/html=f.desktop\n" + ours + "\n[Other Group]\nx-scheme-handler/kelvo=x.desktop;\n"
       "[Added Associations]\n" + ours + "\n"},
      {"an empty file", "", "[Default Applications]\n" + ours + "\n[Added Associations]\n" + ours +
                               "\n[Removed Associations]\n" + hidden + "\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.kind);
    std::filesystem::create_directories(home_.File("config"));
    ts::WriteFileBytes(defaults_, c.before);
    EXPECT_TRUE(RegisterURLHandler("/usr/bin/KelvoUpgrader"));
    EXPECT_EQ(ts::ReadFileBytes(defaults_), c.registered);
    // Registering again changes nothing more.
    EXPECT_TRUE(RegisterURLHandler("/usr/bin/KelvoUpgrader"));
    EXPECT_EQ(ts::ReadFileBytes(defaults_), c.registered);
    EXPECT_TRUE(UnregisterURLHandler());
    if (c.before.empty()) {
      EXPECT_FALSE(ts::FileExists(defaults_));
    } else {
      EXPECT_EQ(ts::ReadFileBytes(defaults_), c.before);
    }
    EXPECT_EQ(Log(), std::vector<std::string>{});
  }
  // Handlers added beside ours afterwards are kept, ours is taken out
  // wherever in the list it stands.
  ts::WriteFileBytes(defaults_, "[Default Applications]\n"
                                "x-scheme-handler/kelvo=new.desktop;kelvo-upgrader-user.desktop;\n"
                                "[Added Associations]\n"
                                "x-scheme-handler/kelvo=kelvo-upgrader-user.desktop;new.desktop;\n");
  EXPECT_EQ(plat::UnregisterSchemeHandlerDesktop(), std::vector<std::string>{});
  EXPECT_EQ(ts::ReadFileBytes(defaults_),
            "[Default Applications]\nx-scheme-handler/kelvo=new.desktop;\n"
            "[Added Associations]\nx-scheme-handler/kelvo=new.desktop;\n");
}

// An older "register" wrote its entry under the packages' name, hiding the
// packages' entry from that user: it goes, with its default line, and an
// entry of that name that it didn't write (a user's copy of the packages'
// one) stays.
TEST_F(RegistrationDesktop, AnOlderRegistersEntryIsTakenAway) {
  std::string older = home_.path() + "/data/applications/kelvo-upgrader.desktop";
  std::string olderText =
      "[Desktop Entry]\nType=Application\nName=Kelvo Robot Updater\n"
      "Exec=/home/u/KelvoUpgrader %u\nNoDisplay=true\nMimeType=x-scheme-handler/kelvo;\n";
  std::filesystem::create_directories(home_.File("data") + "/applications");
  std::filesystem::create_directories(home_.File("config"));
  for (bool registerFirst : {true, false}) {
    SCOPED_TRACE(registerFirst ? "register" : "unregister");
    ts::WriteFileBytes(older, olderText);
    ts::WriteFileBytes(defaults_, "[Default Applications]\n"
                                  "x-scheme-handler/kelvo=kelvo-upgrader.desktop\ntext/html=f.desktop\n");
    if (registerFirst) {
      EXPECT_TRUE(RegisterURLHandler("/usr/bin/KelvoUpgrader"));
      EXPECT_FALSE(ts::FileExists(older));
      EXPECT_TRUE(UnregisterURLHandler());
    } else {
      EXPECT_EQ(plat::UnregisterSchemeHandlerDesktop(), std::vector<std::string>{});
    }
    EXPECT_FALSE(ts::FileExists(older));
    EXPECT_EQ(ts::ReadFileBytes(defaults_), "[Default Applications]\ntext/html=f.desktop\n");
    EXPECT_EQ(Log(), std::vector<std::string>{});
  }
  std::string copy = "[Desktop Entry]\nType=Application\nName=Kelvo Robot Updater\n"
                     "Comment=Mine\nExec=/usr/bin/kelvo-upgrader %u\nNoDisplay=true\n"
                     "MimeType=x-scheme-handler/kelvo;\n";
  ts::WriteFileBytes(older, copy);
  ts::WriteFileBytes(defaults_, "[Default Applications]\nx-scheme-handler/kelvo=kelvo-upgrader.desktop\n");
  EXPECT_TRUE(RegisterURLHandler("/usr/bin/KelvoUpgrader"));
  EXPECT_TRUE(UnregisterURLHandler());
  EXPECT_EQ(ts::ReadFileBytes(older), copy);
  EXPECT_EQ(ts::ReadFileBytes(defaults_),
            "[Default Applications]\nx-scheme-handler/kelvo=kelvo-upgrader.desktop\n");
}

// xdg-mime would replace the scheme's whole list with ours and set only the
// default: the file is edited here instead, and an xdg-mime on PATH, even a
// failing one, is neither run nor needed.
TEST_F(RegistrationDesktop, XdgMimeIsNotNeeded) {
  InstallXdgMime(4);
  EXPECT_TRUE(RegisterURLHandler("/usr/bin/KelvoUpgrader"));
  EXPECT_EQ(Log(), std::vector<std::string>{});
  EXPECT_FALSE(ts::FileExists(home_.File("xdg-mime.args")));
  EXPECT_TRUE(ts::FileExists(entry_));
  EXPECT_NE(ts::ReadFileBytes(defaults_).find("[Added Associations]\n"
                                              "x-scheme-handler/kelvo=kelvo-upgrader-user.desktop;\n"),
            std::string::npos);
}

TEST_F(RegistrationDesktop, AnEntryThatCantBeWrittenOnlyWarns) {
  // A file where the applications folder should be.
  std::filesystem::create_directories(home_.File("data"));
  ts::WriteFileBytes(home_.File("data") + "/applications", "not a folder");
  EXPECT_TRUE(RegisterURLHandler("/usr/bin/KelvoUpgrader"));
  std::vector<std::string> lines = Log();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].rfind("WARNING: RegisterURLHandler - Failed to write desktop entry [" + entry_ +
                               "]. Error=",
                           0),
            0u)
      << lines[0];
  EXPECT_TRUE(UnregisterURLHandler());
  Log();

  // Nor does an icon: the entry starts the program all the same.
  std::filesystem::remove(home_.File("data") + "/applications");
  ts::WriteFileBytes(home_.File("data") + "/icons", "not a folder");
  EXPECT_TRUE(RegisterURLHandler("/usr/bin/KelvoUpgrader"));
  lines = Log();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].rfind("WARNING: RegisterURLHandler - Failed to write icon [" + home_.File("data") +
                               "/icons/hicolor/scalable/apps/kelvo-upgrader.svg]. Error=",
                           0),
            0u)
      << lines[0];
  EXPECT_TRUE(ts::FileExists(entry_));
  EXPECT_TRUE(UnregisterURLHandler());
  EXPECT_EQ(Log(), std::vector<std::string>{});
  EXPECT_FALSE(ts::FileExists(entry_));
}

// A link someone placed at a name register writes (seen with a root run under
// a user's HOME) is never written through, nor read into a file of ours: the
// entry and the defaults are written as files of their own in its place. A
// mimeapps.list that is a link (dotfile managers make it one) is edited where
// it points when the link and its file are the user's own; any other link is
// left alone, and "register" fails, on its standard output too.
TEST_F(RegistrationDesktop, ALinkAtANameRegisterWritesIsNeverFollowed) {
  const std::string pid = std::to_string(plat::SystemProcesses().CurrentProcessId());
  const std::string registered =
      "[Default Applications]\nx-scheme-handler/kelvo=kelvo-upgrader-user.desktop;\n"
      "[Added Associations]\nx-scheme-handler/kelvo=kelvo-upgrader-user.desktop;\n"
      "[Removed Associations]\nx-scheme-handler/kelvo=kelvo-upgrader.desktop;\n";
  const std::string mine = "# my dotfiles\n[Default Applications]\ntext/html=f.desktop\n";
  enum Defaults { kOwnFile, kEditedThroughLink, kRefused };
  struct Case {
    std::string link;
    Defaults defaults;
    bool foreignTarget;
  };
  const std::vector<Case> cases = {
      {entry_, kOwnFile, false},
      {entry_ + ".tmp-" + pid, kOwnFile, false},
      {defaults_ + ".tmp-" + pid, kOwnFile, false},
      {defaults_, kEditedThroughLink, false},
      {defaults_, kRefused, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.link + (c.foreignTarget ? " to another user's file" : ""));
    std::filesystem::remove_all(home_.File("data"));
    std::filesystem::remove_all(home_.File("config"));
    std::filesystem::create_directories(home_.File("data/applications"));
    std::filesystem::create_directories(home_.File("config"));
    std::string outside = home_.File("outside");
    std::string before = c.defaults == kOwnFile ? "someone else's file\n" : mine;
    ts::WriteFileBytes(outside, before);
    if (c.foreignTarget && ts::Run("/bin/chown", {"65534:65534", outside}).exitCode != 0) {
      ADD_FAILURE() << "can't give the file to another user (not run as root?)";
      continue;
    }
    std::filesystem::create_symlink(outside, c.link);

    EXPECT_EQ(RegisterURLHandler("/opt/kelvo/KelvoUpgrader"), c.defaults != kRefused);
    std::vector<std::string> lines = Log();
    EXPECT_FALSE(std::filesystem::is_symlink(entry_));
    EXPECT_NE(ts::ReadFileBytes(entry_).find("\nExec=/opt/kelvo/KelvoUpgrader %u\n"),
              std::string::npos);
    if (c.defaults == kRefused) {
      EXPECT_EQ(ts::ReadFileBytes(outside), before);
      EXPECT_EQ(lines, std::vector<std::string>{
                           "ERROR: RegisterURLHandler - Failed to set the default handler in [" +
                           defaults_ + "]. Error=5"});
      EXPECT_TRUE(std::filesystem::is_symlink(defaults_));
      // What the person who ran it sees.
      ts::RunResult run = ts::Run(ts::BinaryPath(), {"register"});
      EXPECT_TRUE(run.ended);
      EXPECT_NE(run.output.find("ERROR - Register failed.\n"), std::string::npos) << run.output;
      EXPECT_EQ(run.output.find("succeeded"), std::string::npos) << run.output;
      EXPECT_EQ(ts::ReadFileBytes(outside), before);
    } else if (c.defaults == kEditedThroughLink) {
      EXPECT_EQ(lines, std::vector<std::string>{});
      EXPECT_TRUE(std::filesystem::is_symlink(defaults_));
      EXPECT_EQ(ts::ReadFileBytes(outside), mine + "x-scheme-handler/kelvo=kelvo-upgrader-user.desktop;\n"
                "[Added Associations]\nx-scheme-handler/kelvo=kelvo-upgrader-user.desktop;\n"
                "[Removed Associations]\nx-scheme-handler/kelvo=kelvo-upgrader.desktop;\n");
    } else {
      EXPECT_EQ(ts::ReadFileBytes(outside), before);
      EXPECT_EQ(lines, std::vector<std::string>{});
      EXPECT_FALSE(std::filesystem::is_symlink(defaults_));
      EXPECT_EQ(ts::ReadFileBytes(defaults_), registered);
    }
    EXPECT_TRUE(UnregisterURLHandler());
    Log();
    if (c.defaults == kEditedThroughLink) {
      EXPECT_TRUE(std::filesystem::is_symlink(defaults_));
      EXPECT_EQ(ts::ReadFileBytes(outside), mine);
    }
  }
}

// Every name under root, folders with a '/' at their end.
std::vector<std::string> TreeOf(const std::string& root) {
  std::vector<std::string> names;
  std::error_code ec;
  for (std::filesystem::recursive_directory_iterator it(root, ec), end; !ec && it != end;
       it.increment(ec)) {
    names.push_back(it->path().string().substr(root.size()) + (it->is_directory() ? "/" : ""));
  }
  std::sort(names.begin(), names.end());
  return names;
}

// A run killed half-way, or a user who deleted a file, must not leave the
// packages' entry hidden for good: "unregister" takes away every line that
// "register" added, whatever else of the registration is missing, and after
// it nothing of the registration is left: no lock, no record, no empty
// folder of the store, nor the folders "register" made for the entry and
// the icon.
TEST_F(RegistrationDesktop, UnregisterTakesAwayWhatRegisterAddedWhateverElseIsMissing) {
  const std::string icon = home_.path() + "/data/icons/hicolor/scalable/apps/kelvo-upgrader.svg";
  const std::string record = home_.path() + "/config/KelvoUpgrader/desktop-registration";
  const std::string before = "[Default Applications]\ntext/html=f.desktop\n";
  struct Case {
    const char* missing;
    std::vector<std::string> removed;
  };
  const std::vector<Case> cases = {
      {"nothing", {}},
      // What an "unregister" killed after its first step leaves.
      {"the user's entry", {entry_}},
      {"the entry and the icon", {entry_, icon}},
      // What an older "register" left: the note in the entry alone.
      {"the record", {record}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.missing);
    std::filesystem::remove_all(home_.File("data"));
    std::filesystem::remove_all(home_.File("config"));
    std::filesystem::create_directories(home_.File("config"));
    ts::WriteFileBytes(defaults_, before);
    ASSERT_TRUE(RegisterURLHandler("/usr/bin/KelvoUpgrader"));
    ASSERT_NE(ts::ReadFileBytes(defaults_).find("kelvo-upgrader.desktop;"), std::string::npos);
    for (const std::string& path : c.removed) ASSERT_TRUE(std::filesystem::remove(path)) << path;
    EXPECT_TRUE(UnregisterURLHandler());
    EXPECT_EQ(ts::ReadFileBytes(defaults_), before);
    // And the cycles after it keep giving the file back as it was.
    EXPECT_TRUE(RegisterURLHandler("/usr/bin/KelvoUpgrader"));
    EXPECT_TRUE(UnregisterURLHandler());
    EXPECT_EQ(ts::ReadFileBytes(defaults_), before);
    EXPECT_EQ(Log(), std::vector<std::string>{});
    EXPECT_EQ(TreeOf(home_.File("config")), std::vector<std::string>{"/mimeapps.list"});
    // Which folders "register" made is on record, and only there.
    if (c.removed != std::vector<std::string>{record}) {
      EXPECT_FALSE(std::filesystem::exists(home_.File("data")));
    }
  }
  // Folders the user had stay, even empty.
  std::filesystem::remove_all(home_.File("data"));
  std::filesystem::create_directories(home_.File("data/applications"));
  EXPECT_TRUE(RegisterURLHandler("/usr/bin/KelvoUpgrader"));
  EXPECT_TRUE(UnregisterURLHandler());
  EXPECT_EQ(TreeOf(home_.File("data")), std::vector<std::string>{"/applications/"});
}

// What runs that were killed left under temporary names (they carry the
// process id) goes with the next "register" or "unregister", but never what
// a process that still runs is writing.
TEST_F(RegistrationDesktop, KilledRunsLeftoversGoButALiveRunsStay) {
  // A process id that no process has any more.
  plat::SpawnOptions options;
  plat::SpawnedProcess* child = plat::StartProcess("/bin/true", options);
  ASSERT_NE(child, nullptr);
  const std::string dead = std::to_string(plat::SpawnedProcessId(child));
  int code = -1;
  ASSERT_TRUE(plat::WaitProcess(child, 60000, &code));
  plat::ReleaseProcess(child);
  // And one that runs all along (ended at the end of the test).
  options.args = {"600"};
  std::unique_ptr<plat::SpawnedProcess, void (*)(plat::SpawnedProcess*)> running(
      plat::StartProcess("/bin/sleep", options), [](plat::SpawnedProcess* p) {
        plat::KillProcess(p);
        plat::ReleaseProcess(p);
      });
  ASSERT_NE(running, nullptr);
  const std::string live = std::to_string(plat::SpawnedProcessId(running.get()));
  const std::string store = home_.File("config") + "/KelvoUpgrader/registry";
  const std::string icons = home_.path() + "/data/icons/hicolor/scalable/apps";
  std::filesystem::create_directories(home_.File("data/applications"));
  std::filesystem::create_directories(icons);
  std::vector<std::string> leftovers;
  for (const std::string& pid : {dead, live}) {
    for (const std::string& path :
         {entry_ + ".tmp-" + pid, icons + "/kelvo-upgrader.svg.tmp-" + pid,
          defaults_ + ".tmp-" + pid, store + "/HKEY_CLASSES_ROOT/.tmp-" + pid + "-4",
          store + "/HKEY_CLASSES_ROOT/.del-" + pid + "-7/@"}) {
      std::filesystem::create_directories(plat::FolderOf(path));
      ts::WriteFileBytes(path, "half written");
      leftovers.push_back(path);
    }
  }
  for (const char* command : {"register", "unregister"}) {
    SCOPED_TRACE(command);
    for (const std::string& path : leftovers) ts::WriteFileBytes(path, "half written");
    if (std::string(command) == "register") {
      EXPECT_TRUE(RegisterURLHandler("/usr/bin/KelvoUpgrader"));
    } else {
      EXPECT_TRUE(UnregisterURLHandler());
    }
    for (const std::string& path : leftovers) {
      bool ofTheDead = path.find("-" + dead) != std::string::npos;
      EXPECT_EQ(ts::FileExists(path), !ofTheDead) << path;
    }
    EXPECT_FALSE(std::filesystem::exists(store + "/HKEY_CLASSES_ROOT/.del-" + dead + "-7"));
  }
  EXPECT_EQ(Log(), std::vector<std::string>{});
}

// Each kind of path against the launchers themselves: the entry is quoted
// only where the format needs it, each launcher that can read it starts the
// program with the link's URL unchanged, and register's warning (or refusal)
// names exactly the launchers that can't.
TEST_F(RegistrationDesktop, TheLaunchersStartTheProgramWhereverItsPathLetsThem) {
  std::string source = ts::BinaryPath();
  ASSERT_FALSE(source.empty()) << "KELVO_BINARY is not set";
  const std::string xdgOpen = "/usr/bin/xdg-open", gio = "/usr/bin/gio";
  ASSERT_TRUE(ts::FileExists(xdgOpen) && ts::FileExists(gio))
      << "needs xdg-utils and libglib2.0-bin (scripts/test installs them)";
  // Off the allow-list: the program logs its command line and stops there.
  const std::string url = "kelvo://desk.example/s.txt?Reply-To=http://desk.example/r&a=1&b=%41";
  // A name of its own: a URL launch ends other copies by name.
  std::ostringstream name;
  name << "kelvo-desk-" << std::hex << std::random_device()();
  struct Case {
    const char* kind;
    std::string folder;        // under the home folder
    std::string folderInExec;  // as the entry writes it
    bool quoted;
    const char* warning;       // part of register's warning, if any
    bool registers, generic, gio;
  };
  const std::vector<Case> cases = {
      {"plain", "kelvo", "kelvo", false, nullptr, true, true, true},
      {"UTF-8", "T\xc3\xa9l\xc3\xa9", "T\xc3\xa9l\xc3\xa9", false, nullptr, true, true, true},
      {"blank", "Kelvo Robot", "Kelvo Robot", true, "must be quoted", true, false, true},
      {"shell characters", "it's $HOME \"q\" \\ (1)", "it's \\\\$HOME \\\\\"q\\\\\" \\\\\\\\ (1)", true,
       "must be quoted", true, false, true},
      {"percent", "100%", "100%%", false, "holds '%'", false, false, false},
      {"not UTF-8", "T\xe9l\xe9", "T\xe9l\xe9", false, "is not UTF-8", true, true, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.kind);
    std::string folder = home_.File(c.folder);
    std::filesystem::create_directories(folder);
    std::string program = folder + "/" + name.str();
    ts::CopyFileBytes(source, program);

    ::testing::internal::CaptureStdout();
    EXPECT_EQ(RegisterURLHandler(program.c_str()), c.registers);
    std::string console = ::testing::internal::GetCapturedStdout();
    std::vector<std::string> lines = Log();
    if (c.warning) {
      ASSERT_EQ(lines.size(), 1u);
      // Whoever ran register in a terminal sees it too.
      EXPECT_EQ(console, "WARNING: " + lines[0].substr(lines[0].find(" - ") + 3) + "\n");
      EXPECT_EQ(lines[0].rfind("WARNING: RegisterURLHandler - The program's path [" + program + "] ",
                               0),
                0u)
          << lines[0];
      EXPECT_NE(lines[0].find(c.warning), std::string::npos) << lines[0];
      EXPECT_EQ(lines[0].find("Nothing registered.") != std::string::npos, !c.registers);
    } else {
      EXPECT_EQ(lines, std::vector<std::string>{});
      EXPECT_EQ(console, "");
    }
    if (!c.registers) {
      EXPECT_FALSE(ts::FileExists(entry_));
      // The entry it would have been, to show that no launcher starts it.
      EXPECT_EQ(plat::RegisterSchemeHandlerDesktop(AppTitle, program.c_str()),
                std::vector<std::string>{});
    }
    std::string exec = home_.path() + "/" + c.folderInExec + "/" + name.str();
    if (c.quoted) exec = "\"" + exec + "\"";
    std::string entry = ts::ReadFileBytes(entry_);
    EXPECT_NE(entry.find("\nExec=" + exec + " %u\n"), std::string::npos) << entry;

    std::string generic = Launch(xdgOpen, {url}, true);
    EXPECT_EQ(generic == "started", c.generic) << "xdg-open (generic): " << generic;
    std::string viaGio = Launch(gio, {"open", url}, false);
    EXPECT_EQ(viaGio == "started", c.gio) << "gio open: " << viaGio;
    // The entry written by hand above is all there is of a registration, and
    // unregister removes it like any other part left behind.
    EXPECT_TRUE(UnregisterURLHandler());
    EXPECT_FALSE(ts::FileExists(entry_));
    Log();
  }
}

}  // namespace
