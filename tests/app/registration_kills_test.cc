// What killed runs and hand-deleted files leave of a desktop registration
// (Linux): "unregister" still undoes every line "register" added, and
// leftovers of runs that have ended go, never a live run's.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "app/url_registration.h"
#include "platform/files.h"
#include "platform/spawn.h"
#include "registration_desktop_fixture.h"
#include "support/test_support.h"

namespace ts = testing_support;

namespace {

using ts::RegistrationDesktop;

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
  // A process id that no process can have: one past the largest the kernel
  // gives (a child's id, ended and reaped, proved not to be dead enough in a
  // PID namespace whose first process is the test itself).
  std::string pidMax = ts::ReadFileBytes("/proc/sys/kernel/pid_max");
  ASSERT_FALSE(pidMax.empty());
  const std::string dead = std::to_string(std::stol(pidMax) + 1);
  plat::SpawnOptions options;
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

}  // namespace
