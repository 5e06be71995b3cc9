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
#include "registration_desktop_fixture.h"
#include "support/test_support.h"

namespace ts = testing_support;

namespace {

using ts::RegistrationDesktop;


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

// xdg-open's generic mode finds the scheme on any line of what it is given,
// and hands the whole text on, a line end before the scheme name included:
// a page's link to the script it had the browser download reaches the
// program, which must refuse it and run nothing.
TEST_F(RegistrationDesktop, XdgOpenHandsOnALineEndBeforeTheSchemeAndNoScriptRuns) {
  std::string source = ts::BinaryPath();
  ASSERT_FALSE(source.empty()) << "KELVO_BINARY is not set";
  ASSERT_TRUE(ts::FileExists("/usr/bin/xdg-open")) << "needs xdg-utils (scripts/test installs it)";
  std::ostringstream name;
  name << "kelvo-desk-" << std::hex << std::random_device()();
  std::string program = home_.File(name.str());
  ts::CopyFileBytes(source, program);
  ASSERT_TRUE(RegisterURLHandler(program.c_str()));
  Log();
  // The download, relative to the folder the launcher and the program start in.
  std::string downloads = name.str() + "-Downloads";
  std::filesystem::create_directories(downloads);
  struct Removed {
    std::string path;
    ~Removed() { ts::RemoveTree(path); }
  } removed{downloads};
  std::string secret = home_.File("secret.bin");
  ts::WriteFileBytes(secret, "SECRET");
  ts::WriteFileBytes(downloads + "/noserver.txt", "getlocal " + secret + "\r\nsend EVILMARK\r\n");

  const std::string link = "\nkelvo:AA" + downloads + "/noserver.txt";
  Launch("/usr/bin/xdg-open", {link}, true);
  std::string log = ts::ReadFileBytes(ts::LogPathFor(home_.path()));
  // It reached the program as written, and went no further than the scheme test.
  EXPECT_NE(log.find("Command line: [" + link + "]\n"), std::string::npos) << log;
  EXPECT_NE(log.find("ERROR: Invalid URL passed. Cannot start operation, returning -1"), std::string::npos)
      << log;
  EXPECT_NE(log.find("Kelvo Upgrader Ended - ret code = -1"), std::string::npos) << log;
  EXPECT_EQ(log.find("Called with \"No Server\""), std::string::npos) << log;
  EXPECT_EQ(log.find("] Run: ["), std::string::npos) << log;
  EXPECT_TRUE(UnregisterURLHandler());
  Log();
}

}  // namespace
