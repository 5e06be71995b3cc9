// Registering and unregistering the kelvo:// scheme against the real
// registry: on Linux the file-backed store in a temporary XDG_CONFIG_HOME, on
// Windows (under wine) the registry itself. A wrapper around the real registry
// makes single calls fail where no real registry can be made to.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "app/app.h"
#include "app/url_registration.h"
#include "log/log.h"
#include "platform/desktop.h"
#include "platform/files.h"
#include "platform/registry.h"
#include "platform/spawn.h"
#include "script/report.h"
#include "support/test_support.h"

namespace ts = testing_support;

namespace {

struct Value {
  bool found = false;
  uint32_t type = 0;
  std::string bytes;  // as stored, terminator included
};

Value ReadValue(plat::RegKey root, const std::string& path, const char* name) {
  Value v;
  plat::Registry& reg = plat::registry();
  plat::RegKey key = 0;
  if (reg.OpenKey(root, path.c_str(), false, &key) != 0) return v;
  char data[1024];
  uint32_t size = sizeof data;
  if (reg.QueryValue(key, name, &v.type, data, &size) == 0) {
    v.found = true;
    v.bytes.assign(data, size);
  }
  reg.CloseKey(key);
  return v;
}

bool KeyExists(plat::RegKey root, const std::string& path) {
  plat::RegKey key = 0;
  if (plat::registry().OpenKey(root, path.c_str(), false, &key) != 0) return false;
  plat::registry().CloseKey(key);
  return true;
}

std::string Sz(const std::string& text) { return text + std::string(1, '\0'); }

// Removes a key with everything under it (leftovers of an earlier run in a wine prefix).
void DeleteTree(plat::RegKey root, const std::string& path) {
  plat::Registry& reg = plat::registry();
  plat::RegKey key = 0;
  if (reg.OpenKey(root, path.c_str(), true, &key) != 0) return;
  std::vector<std::string> children;
  char name[256];
  for (uint32_t i = 0; reg.EnumKey(key, i, name, sizeof name) == 0; ++i) children.push_back(name);
  reg.CloseKey(key);
  for (const auto& child : children) DeleteTree(root, path + "\\" + child);
  reg.DeleteKey(root, path.c_str());
}

void RemoveUserAgentValue() {
  plat::RegKey key = 0;
  if (plat::registry().OpenKey(plat::kHkeyLocalMachine, kUserAgentKeyPath, true, &key) == 0) {
    plat::registry().DeleteValue(key, UpgraderVersion);
    plat::registry().CloseKey(key);
  }
}

// The real registry, with chosen calls refused and open keys counted.
class RefusingRegistry : public plat::Registry {
 public:
  // Calls are counted across CreateKey and SetValue, from 1; that call fails with failCode.
  int failWriteNumber = 0;
  int32_t failCode = 5;
  std::string refuseCreateOf;  // a sub-key path whose CreateKey fails
  std::string refuseSetOf;     // a value name whose SetValue fails
  int writes = 0;
  int openKeys = 0;

  int32_t OpenKey(plat::RegKey parent, const char* subKey, bool allAccess,
                  plat::RegKey* result) override {
    int32_t rc = Real().OpenKey(parent, subKey, allAccess, result);
    if (rc == 0) ++openKeys;
    return rc;
  }
  int32_t CreateKey(plat::RegKey parent, const char* subKey, plat::RegKey* result) override {
    if (++writes == failWriteNumber || refuseCreateOf == subKey) return failCode;
    int32_t rc = Real().CreateKey(parent, subKey, result);
    if (rc == 0) ++openKeys;
    return rc;
  }
  int32_t SetValue(plat::RegKey key, const char* name, uint32_t type, const void* data,
                   uint32_t size) override {
    if (++writes == failWriteNumber || (name && refuseSetOf == name)) return failCode;
    return Real().SetValue(key, name, type, data, size);
  }
  int32_t DeleteKey(plat::RegKey parent, const char* subKey) override {
    return Real().DeleteKey(parent, subKey);
  }
  int32_t DeleteValue(plat::RegKey key, const char* name) override {
    return Real().DeleteValue(key, name);
  }
  int32_t EnumValue(plat::RegKey key, uint32_t index, char* name, uint32_t* nameSize,
                    uint32_t* type, void* data, uint32_t* dataSize) override {
    return Real().EnumValue(key, index, name, nameSize, type, data, dataSize);
  }
  int32_t EnumKey(plat::RegKey key, uint32_t index, char* name, uint32_t nameSize) override {
    return Real().EnumKey(key, index, name, nameSize);
  }
  int32_t QueryValue(plat::RegKey key, const char* name, uint32_t* type, void* data,
                     uint32_t* dataSize) override {
    return Real().QueryValue(key, name, type, data, dataSize);
  }
  int32_t CloseKey(plat::RegKey key) override {
    --openKeys;
    return Real().CloseKey(key);
  }

 private:
  static plat::Registry& Real() { return plat::SystemRegistry(); }
};

class Registration : public ::testing::Test {
 protected:
  void SetUp() override {
    // Linux: the store, the desktop entry and mimeapps.list land in here; no
    // xdg-mime on the way. Windows keeps its registry in the wine prefix.
    env_.emplace_back("HOME", home_.path());
    env_.emplace_back("XDG_CONFIG_HOME", home_.File("config"));
    env_.emplace_back("XDG_DATA_HOME", home_.File("data"));
    if (!plat::SchemeHandlerDesktopEntryPath().empty()) env_.emplace_back("PATH", home_.File("bin"));
    for (const auto& kv : env_) scoped_.push_back(std::make_unique<ts::ScopedEnv>(kv.first, kv.second));
    std::memcpy(savedLog_, LogFilePath, sizeof savedLog_);
    std::snprintf(LogFilePath, sizeof LogFilePath, "%s", home_.File("test.log").c_str());
    Clean();
  }

  void TearDown() override {
    plat::SetRegistry(nullptr);
    Clean();
    std::memcpy(LogFilePath, savedLog_, sizeof savedLog_);
    scoped_.clear();
  }

  static void Clean() {
    DeleteTree(plat::kHkeyClassesRoot, kSchemeKeyName);
    RemoveUserAgentValue();
  }

  std::vector<std::string> Log() {
    std::vector<std::string> lines = ts::LogMessages(ts::ReadFileBytes(LogFilePath));
    ts::WriteFileBytes(LogFilePath, "");
    return lines;
  }

  // A path of the given length, in the platform's form.
  static std::string AppPath(size_t length) {
    // No blank: on Linux register warns of one (registration_desktop_test).
    std::string path = std::string("Apps") + plat::kPathSeparator + "KelvoRobot" +
                       plat::kPathSeparator;
    const std::string name = "KelvoUpgrader.exe";
    path += std::string(length - path.size() - name.size(), 'p') + name;
    return path;
  }

  void ExpectRegisteredFor(const std::string& app) {
    Value scheme = ReadValue(plat::kHkeyClassesRoot, "kelvo", nullptr);
    EXPECT_TRUE(scheme.found);
    EXPECT_EQ(scheme.type, plat::kRegSz);
    EXPECT_EQ(scheme.bytes, Sz("URL:Kelvo Robot Updater"));
    Value protocol = ReadValue(plat::kHkeyClassesRoot, "kelvo", "URL Protocol");
    EXPECT_EQ(protocol.type, plat::kRegSz);
    EXPECT_EQ(protocol.bytes, Sz(""));
    Value icon = ReadValue(plat::kHkeyClassesRoot, "kelvo\\DefaultIcon", nullptr);
    EXPECT_EQ(icon.type, plat::kRegSz);
    EXPECT_EQ(icon.bytes, Sz("\"" + app + "\",1"));
    Value command = ReadValue(plat::kHkeyClassesRoot, "kelvo\\shell\\open\\command", "");
    EXPECT_EQ(command.type, plat::kRegSz);
    EXPECT_EQ(command.bytes, Sz("\"" + app + "\" \"%1\""));
    Value agent = ReadValue(plat::kHkeyLocalMachine, kUserAgentKeyPath, UpgraderVersion);
    EXPECT_TRUE(agent.found);
    EXPECT_EQ(agent.type, plat::kRegSz);
    EXPECT_EQ(agent.bytes, Sz(""));
  }

  ts::TempDir home_;
  std::vector<std::pair<std::string, std::string>> env_;
  std::vector<std::unique_ptr<ts::ScopedEnv>> scoped_;
  char savedLog_[kPathMax];
};

TEST_F(Registration, RegisterWritesEveryKeyAndValueOfTheScheme) {
  std::string app = AppPath(60);
  EXPECT_TRUE(RegisterURLHandler(app.c_str()));
  ExpectRegisteredFor(app);
  EXPECT_EQ(Log(), std::vector<std::string>{});
}

TEST_F(Registration, RegisteringAgainPointsAtTheLastCopy) {
  std::string first = AppPath(50), second = AppPath(70);
  EXPECT_TRUE(RegisterURLHandler(first.c_str()));
  EXPECT_TRUE(RegisterURLHandler(second.c_str()));
  ExpectRegisteredFor(second);
}

TEST_F(Registration, UnregisterRemovesEverything) {
  ASSERT_TRUE(RegisterURLHandler(AppPath(60).c_str()));
  Log();
  EXPECT_TRUE(UnregisterURLHandler());
  EXPECT_EQ(Log(), std::vector<std::string>{});
  EXPECT_FALSE(KeyExists(plat::kHkeyClassesRoot, "kelvo"));
  EXPECT_FALSE(ReadValue(plat::kHkeyLocalMachine, kUserAgentKeyPath, UpgraderVersion).found);
}

TEST_F(Registration, UnregisterWithNothingRegisteredWarnsAndFails) {
  EXPECT_FALSE(UnregisterURLHandler());
  std::vector<std::string> lines = Log();
  ASSERT_EQ(lines.size(), 2u);
  // The user-agent key may exist without our value (wine's does), or not at all.
  EXPECT_TRUE(lines[0] ==
                  "WARNING: RegisterURLHandler - Failed to Delete upgrader key under IE User Agent. "
                  "Error=2" ||
              lines[0] == "WARNING: RegisterURLHandler - Failed to Open IE User Agent Key. Error=2")
      << lines[0];
  EXPECT_EQ(lines[1], "ERROR: RegisterURLHandler - Failed to open key [kelvo]. Error=2");
}

// What an interrupted register or unregister may leave: unregister removes
// whatever part is there and succeeds; only a real failure (below) or nothing
// at all to remove gives false.
TEST_F(Registration, UnregisterRemovesAPartialRegistrationWhole) {
  struct Case {
    const char* kind;
    std::vector<std::string> keys;  // created under HKEY_CLASSES_ROOT
    bool userAgent, desktop;
  };
  const std::vector<Case> cases = {
      {"command without DefaultIcon", {"kelvo\\shell\\open\\command"}, false, false},
      {"DefaultIcon without shell", {"kelvo\\DefaultIcon"}, true, false},
      {"scheme key alone", {"kelvo"}, false, true},
      {"user-agent value alone", {}, true, false},
      {"desktop entry and default handler alone", {}, false, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.kind);
    if (c.desktop && plat::SchemeHandlerDesktopEntryPath().empty()) continue;
    Clean();
    for (const std::string& path : c.keys) {
      plat::RegKey key = 0;
      ASSERT_EQ(plat::registry().CreateKey(plat::kHkeyClassesRoot, path.c_str(), &key), 0);
      plat::registry().CloseKey(key);
    }
    if (c.userAgent) {
      plat::RegKey key = 0;
      ASSERT_EQ(plat::registry().CreateKey(plat::kHkeyLocalMachine, kUserAgentKeyPath, &key), 0);
      ASSERT_EQ(plat::registry().SetValue(key, UpgraderVersion, plat::kRegSz, "", 1), 0);
      plat::registry().CloseKey(key);
    }
    if (c.desktop) {
      ASSERT_EQ(plat::RegisterSchemeHandlerDesktop(AppTitle, AppPath(60).c_str()),
                std::vector<std::string>{});
    }
    Log();
    EXPECT_TRUE(UnregisterURLHandler());
    for (const std::string& line : Log()) EXPECT_NE(line.rfind("ERROR", 0), 0u) << line;
    EXPECT_FALSE(KeyExists(plat::kHkeyClassesRoot, "kelvo"));
    EXPECT_FALSE(ReadValue(plat::kHkeyLocalMachine, kUserAgentKeyPath, UpgraderVersion).found);
    if (!plat::SchemeHandlerDesktopEntryPath().empty()) {
      EXPECT_FALSE(ts::FileExists(plat::SchemeHandlerDesktopEntryPath()));
      EXPECT_EQ(ts::ReadFileBytes(plat::SchemeHandlerDefaultsPath()).find("kelvo-upgrader"),
                std::string::npos);
    }
  }
}

TEST_F(Registration, RemovalStopsAtAKeyThatStillHasSubkeys) {
  ASSERT_TRUE(RegisterURLHandler(AppPath(60).c_str()));
  plat::RegKey key = 0;
  ASSERT_EQ(plat::registry().CreateKey(plat::kHkeyClassesRoot, "kelvo\\shell\\open\\command\\extra",
                                       &key),
            0);
  plat::registry().CloseKey(key);
  Log();
  EXPECT_FALSE(UnregisterURLHandler());
  EXPECT_EQ(Log(), std::vector<std::string>{"ERROR: RegisterURLHandler - Failed to delete key "
                                            "[shell\\open\\command]. Error=5"});
  EXPECT_TRUE(KeyExists(plat::kHkeyClassesRoot, "kelvo\\DefaultIcon"));
  // The user-agent value went all the same.
  EXPECT_FALSE(ReadValue(plat::kHkeyLocalMachine, kUserAgentKeyPath, UpgraderVersion).found);
}

TEST_F(Registration, AUserAgentKeyThatCantBeWrittenOnlyWarns) {
  RefusingRegistry refusing;
  plat::SetRegistry(&refusing);
  std::string app = AppPath(60);

  refusing.refuseCreateOf = kUserAgentKeyPath;
  EXPECT_TRUE(RegisterURLHandler(app.c_str()));
  EXPECT_EQ(Log(), std::vector<std::string>{"WARNING: RegisterURLHandler - RegCreateKeyEx failed "
                                            "for IE User Agent String. Error=5"});
  EXPECT_EQ(ReadValue(plat::kHkeyClassesRoot, "kelvo\\shell\\open\\command", nullptr).bytes,
            Sz("\"" + app + "\" \"%1\""));

  refusing.refuseCreateOf.clear();
  refusing.refuseSetOf = UpgraderVersion;
  EXPECT_TRUE(RegisterURLHandler(app.c_str()));
  EXPECT_EQ(Log(), std::vector<std::string>{"WARNING: RegisterURLHandler - Failed to set upgrader "
                                            "key under IE User Agent. Error=5"});
  EXPECT_EQ(refusing.openKeys, 0);
}

TEST_F(Registration, EachFailedSchemeStepStopsWithItsOwnLine) {
  std::string app = AppPath(40);
  const std::vector<std::string> expected = {
      "ERROR: RegisterURLHandler - RegCreateKeyEx failed for [kelvo]. Error=5",
      "ERROR: RegisterURLHandler - RegSetValueEx failed for [URL:Kelvo Robot Updater]. Error=5",
      "ERROR: RegisterURLHandler - RegSetValueEx failed for [URL Protocol]. Error=5",
      "ERROR: RegisterURLHandler - RegCreateKeyEx failed for [DefaultIcon]. Error=5",
      "ERROR: RegisterURLHandler - Failed to set value [\"" + app +
          "\",1] for [DefaultIcon]s. Error=5",
      "ERROR: RegisterURLHandler - Failed to Creat [shell\\open\\command]. Error=5",
      "ERROR: RegisterURLHandler - Failed to set value [\"" + app +
          "\" \"%1\"] for [shell\\open\\command]. Error=5",
  };
  for (size_t step = 0; step < expected.size(); ++step) {
    SCOPED_TRACE(step + 1);
    Clean();
    RefusingRegistry refusing;
    refusing.failWriteNumber = static_cast<int>(step + 1);
    plat::SetRegistry(&refusing);
    EXPECT_FALSE(RegisterURLHandler(app.c_str()));
    plat::SetRegistry(nullptr);
    EXPECT_EQ(Log(), std::vector<std::string>{expected[step]});
    EXPECT_EQ(refusing.writes, static_cast<int>(step + 1)) << "nothing is written after a failure";
    EXPECT_EQ(refusing.openKeys, 0) << "every key opened is closed";
    EXPECT_FALSE(ReadValue(plat::kHkeyLocalMachine, kUserAgentKeyPath, UpgraderVersion).found);
  }
}

TEST_F(Registration, PathsWhoseValuesWouldBeCutAreRefusedWhole) {
  // 252 characters: the command text is exactly 259 characters and fits.
  std::string longest = AppPath(252);
  EXPECT_TRUE(RegisterURLHandler(longest.c_str()));
  ExpectRegisteredFor(longest);
  Clean();
  Log();

  std::string tooLong = AppPath(253);
  EXPECT_FALSE(RegisterURLHandler(tooLong.c_str()));
  EXPECT_EQ(Log(), std::vector<std::string>{
                       "ERROR: RegisterURLHandler - Value for [shell\\open\\command] would be 260 "
                       "characters long, more than 259. Nothing registered."});
  EXPECT_FALSE(KeyExists(plat::kHkeyClassesRoot, "kelvo"));

  std::string longer = AppPath(256);
  EXPECT_FALSE(RegisterURLHandler(longer.c_str()));
  EXPECT_EQ(Log(), (std::vector<std::string>{
                       "ERROR: RegisterURLHandler - Value for [DefaultIcon] would be 260 characters "
                       "long, more than 259. Nothing registered.",
                       "ERROR: RegisterURLHandler - Value for [shell\\open\\command] would be 263 "
                       "characters long, more than 259. Nothing registered."}));
  EXPECT_FALSE(KeyExists(plat::kHkeyClassesRoot, "kelvo"));
}

// Registers and unregisters started together by an impatient user: each runs
// whole before the next, so the registry values, the desktop entry and the
// default handler are all there or all gone, the store keeps no half-written
// or half-removed entries, and the unregister that follows succeeds.
TEST_F(Registration, RegistersAndUnregistersStartedTogetherLeaveAllOrNothing) {
  std::string binary = ts::BinaryPath();
  ASSERT_FALSE(binary.empty()) << "KELVO_BINARY is not set";
  const bool desktop = !plat::SchemeHandlerDesktopEntryPath().empty();
  const std::string entry = plat::SchemeHandlerDesktopEntryPath();
  const std::string defaults = plat::SchemeHandlerDefaultsPath();
  constexpr int kEach = 10;
  constexpr int kRounds = 4;
  for (int round = 0; round < kRounds; ++round) {
    SCOPED_TRACE(round);
    std::vector<plat::SpawnedProcess*> runs;
    for (int i = 0; i < kEach; ++i) {
      for (const char* command : {"register", "unregister"}) {
        plat::SpawnOptions options;
        options.args = {command};
        runs.push_back(plat::StartProcess(binary, options));
      }
    }
    for (plat::SpawnedProcess* run : runs) {
      int code = 0;
      EXPECT_TRUE(run && plat::WaitProcess(run, 60000, &code));
      plat::ReleaseProcess(run);
    }

    bool registered = KeyExists(plat::kHkeyClassesRoot, "kelvo");
    std::vector<std::pair<std::string, bool>> parts = {
        {"scheme value", ReadValue(plat::kHkeyClassesRoot, "kelvo", nullptr).found},
        {"URL Protocol", ReadValue(plat::kHkeyClassesRoot, "kelvo", "URL Protocol").found},
        {"DefaultIcon", ReadValue(plat::kHkeyClassesRoot, "kelvo\\DefaultIcon", nullptr).found},
        {"command",
         ReadValue(plat::kHkeyClassesRoot, "kelvo\\shell\\open\\command", nullptr).found},
        {"user agent",
         ReadValue(plat::kHkeyLocalMachine, kUserAgentKeyPath, UpgraderVersion).found},
    };
    if (desktop) {
      parts.push_back({"desktop entry", ts::FileExists(entry)});
      bool handler =
          ts::ReadFileBytes(defaults).find("kelvo-upgrader.desktop") != std::string::npos;
      parts.push_back({"default handler", handler});
    }
    for (const auto& part : parts) EXPECT_EQ(part.second, registered) << part.first;
    if (desktop) {
      std::error_code ec;
      for (std::filesystem::recursive_directory_iterator it(home_.path(), ec), end;
           !ec && it != end; it.increment(ec)) {
        std::string name = it->path().filename().string();
        EXPECT_TRUE(name.rfind(".tmp-", 0) != 0 && name.rfind(".del-", 0) != 0 &&
                    name.find(".tmp-") == std::string::npos)
            << "left behind: " << it->path();
      }
    }
    Log();
    if (registered) {
      EXPECT_TRUE(UnregisterURLHandler());
      EXPECT_EQ(Log(), std::vector<std::string>{});
    }
    EXPECT_FALSE(KeyExists(plat::kHkeyClassesRoot, "kelvo"));
    // No run leaves its lock file behind; on Linux a clean unregister leaves
    // nothing at all of the program's in the user's config folder.
    std::string appData;
    ASSERT_TRUE(plat::LocalAppDataFolder(&appData));
    EXPECT_FALSE(ts::FileExists(appData + plat::kPathSeparator + "KelvoUpgrader" +
                                plat::kPathSeparator + "registration.lock"));
    if (desktop) {
      EXPECT_FALSE(ts::FileExists(entry));
      EXPECT_FALSE(std::filesystem::exists(home_.File("config") + "/KelvoUpgrader"));
    }
  }
}

}  // namespace
